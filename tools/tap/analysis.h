#ifndef ANALYSIS_H
#define ANALYSIS_H

#include "link/anchorconfig.h"
#include "link/framereader.h"
#include "link/positionreport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTextStream>

#include <array>
#include <functional>

// Reads a run of the kit as the viewer does, with the library's own frame reader and decoder,
// and checks each frame: the distance from the reported tag to each reported anchor should
// match the reported range. Used live by the tap and offline on a capture.
class StreamAnalysis
{
public:
    static constexpr int AnchorCount = PositionReport::AnchorCount;

    // A frame as exact centimetres, with its residuals: distance minus range, whole cm.
    struct Frame
    {
        qint64 micros = 0;
        int tagId = 0;
        std::array<int, 3> tag = {};
        std::array<int, AnchorCount> anchorId = {};
        std::array<int, AnchorCount> range = {};
        std::array<std::array<int, 3>, AnchorCount> anchor = {};
        std::array<int, AnchorCount> residual = {};
    };

    struct Totals
    {
        qint64 frames = 0;
        qint64 bytes = 0;
        qint64 junk = 0;
        qint64 commands = 0;
        qint64 inconsistent = 0; // frames with some residual beyond the limit
        std::array<qint64, AnchorCount> inconsistentByAnchor = {};
        std::array<int, AnchorCount> anchorId = {}; // of the latest frame's entries
    };

    explicit StreamAnalysis(int maxResidualCm);

    // Bytes from the kit, arrived `micros` after the start.
    void fromKit(qint64 micros, const QByteArray &bytes);
    // Bytes relayed to the kit; complete configuration commands are counted and described.
    void toKit(qint64 micros, const QByteArray &bytes);

    std::function<void(const Frame &)> onFrame;
    std::function<void(qint64 micros, const QString &description)> onCommand;

    // Junk counts bytes still waiting to complete a frame as not junk.
    const Totals &totals() const { return m_totals; }

    // Every residual seen for anchor entry k, kept for the summary when asked.
    void keepResiduals(bool keep) { m_keep = keep; }
    const QList<int> &residuals(int k) const { return m_residuals[size_t(k)]; }

    static QString csvHeader();
    static QString csvRow(const Frame &frame);

private:
    FrameReader m_reader;
    AnchorConfigCommand::Reader m_commands;
    Totals m_totals;
    int m_maxResidual;
    bool m_keep = false;
    std::array<QList<int>, AnchorCount> m_residuals;
};

#endif // ANALYSIS_H
