#ifndef ANALYSIS_H
#define ANALYSIS_H

#include "capture.h"
#include "link/anchorconfig.h"
#include "link/framereader.h"
#include "link/positionreport.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <array>
#include <functional>

// Reads a run of the kit as the viewer does, with the protocol library's frame reader and
// decoder, and checks each frame: the tap solves the tag's position itself from the four
// ranges and the reported anchors. Used live by the tap and offline on a capture.
class StreamAnalysis
{
public:
    static constexpr int AnchorCount = PositionReport::AnchorCount;

    // A frame as exact centimetres, with what the tap makes of it.
    struct Frame
    {
        qint64 micros = 0;
        int tagId = 0;
        std::array<int, 3> tag = {};
        std::array<int, AnchorCount> anchorId = {};
        std::array<int, AnchorCount> range = {};
        std::array<std::array<int, 3>, AnchorCount> anchor = {};
        // Distance from the reported tag to each anchor, minus its range, whole cm.
        std::array<int, AnchorCount> residual = {};
        // The tap's own solution: position, the ranges' RMS misfit there, the geometry's
        // dilution of precision, and how far the kit's position is from it.
        std::array<double, 3> fit = {};
        double rms = 0;
        double gdop = 0;
        double offset = 0;
        // The fit's RMS passes the limit: the ranges do not agree with the anchors' places.
        bool inconsistent = false;
    };

    struct TagTotals
    {
        qint64 frames = 0;
        qint64 inconsistent = 0;
    };

    struct Totals
    {
        qint64 frames = 0;
        qint64 bytes = 0;
        qint64 junk = 0;
        qint64 commands = 0;
        qint64 inconsistent = 0;
        QMap<int, TagTotals> tags;
    };

    explicit StreamAnalysis(int maxRmsCm);

    // Bytes from the kit, arrived `micros` after the start.
    void fromKit(qint64 micros, const QByteArray &bytes);
    // Bytes relayed to the kit; complete configuration commands are counted and described.
    void toKit(qint64 micros, const QByteArray &bytes);

    std::function<void(const Frame &)> onFrame;
    std::function<void(qint64 micros, const AnchorConfigCommand::Decoded &command)> onCommand;

    // Junk counts bytes still waiting to complete a frame as not junk.
    const Totals &totals() const { return m_totals; }
    int maxRms() const { return m_maxRms; }

    static QString csvHeader();
    static QString csvRow(const Frame &frame);

private:
    FrameReader m_reader;
    AnchorConfigCommand::Reader m_commands;
    Totals m_totals;
    int m_maxRms;
};

// Feeds every record of an open capture to `analysis` in order, up to its end or its damage;
// `onRecord` sees each record first.
void analyseCapture(capture::Reader &reader, StreamAnalysis &analysis,
                    const std::function<void(const capture::Record &)> &onRecord = {});

// Whether a tag's layout looks right, from its frames over a stretch of time: a few noisy
// frames do not make it wrong, a majority does. The words the status line and summary use.
QString layoutVerdict(const StreamAnalysis::TagTotals &totals);

#endif // ANALYSIS_H
