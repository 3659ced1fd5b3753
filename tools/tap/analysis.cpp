#include "analysis.h"

#include "trilateration.h"

#include <QStringList>

#include <cmath>

StreamAnalysis::StreamAnalysis(int maxRmsCm)
    : m_maxRms(maxRmsCm)
{ }

void StreamAnalysis::fromKit(qint64 micros, const QByteArray &bytes)
{
    m_totals.bytes += bytes.size();
    m_reader.append(bytes);
    PositionReport report;
    while (const char *data = m_reader.nextFrame()) {
        decodePositionReport(data, ReportFrame::Size, report);
        Frame frame;
        frame.micros = micros;
        frame.tagId = report.tagId;
        frame.tag
            = { centimetres(report.tagX), centimetres(report.tagY), centimetres(report.tagZ) };
        tools::Anchors anchors;
        tools::Ranges ranges;
        const Eigen::Vector3d tag(frame.tag[0], frame.tag[1], frame.tag[2]);
        for (size_t k = 0; k < size_t(AnchorCount); ++k) {
            frame.anchorId[k] = report.anchorId[k];
            frame.range[k] = report.range[k];
            frame.anchor[k] = { centimetres(report.anchorX[k]), centimetres(report.anchorY[k]),
                                centimetres(report.anchorZ[k]) };
            anchors[k] = { double(frame.anchor[k][0]), double(frame.anchor[k][1]),
                           double(frame.anchor[k][2]) };
            ranges[k] = frame.range[k];
            frame.residual[k] = int(std::lround((tag - anchors[k]).norm() - frame.range[k]));
        }
        const tools::Fix fix = tools::trilaterate(anchors, ranges, tools::startBelow(anchors));
        frame.fit = { fix.position.x(), fix.position.y(), fix.position.z() };
        frame.rms = fix.rms;
        frame.gdop = fix.gdop;
        frame.offset = (fix.position - tag).norm();
        frame.inconsistent = fix.rms > m_maxRms;

        TagTotals &tagTotals = m_totals.tags[frame.tagId];
        ++tagTotals.frames;
        tagTotals.inconsistent += frame.inconsistent;
        ++m_totals.frames;
        m_totals.inconsistent += frame.inconsistent;
        if (onFrame)
            onFrame(frame);
    }
    m_totals.junk = m_totals.bytes - m_totals.frames * ReportFrame::Size - m_reader.pendingSize();
}

void StreamAnalysis::toKit(qint64 micros, const QByteArray &bytes)
{
    m_commands.append(bytes);
    AnchorConfigCommand::Decoded command;
    while (m_commands.next(command)) {
        ++m_totals.commands;
        if (onCommand)
            onCommand(micros, command);
    }
}

QString StreamAnalysis::csvHeader()
{
    QStringList columns { QStringLiteral("time_s"), QStringLiteral("tag_id"),
                          QStringLiteral("tag_x_cm"), QStringLiteral("tag_y_cm"),
                          QStringLiteral("tag_z_cm") };
    for (int k = 0; k < AnchorCount; ++k) {
        for (const char *field : { "id", "range_cm", "x_cm", "y_cm", "z_cm", "residual_cm" })
            columns << QStringLiteral("a%1_%2").arg(k).arg(QLatin1String(field));
    }
    columns << QStringLiteral("fit_x_cm") << QStringLiteral("fit_y_cm")
            << QStringLiteral("fit_z_cm") << QStringLiteral("fit_rms_cm") << QStringLiteral("gdop")
            << QStringLiteral("kit_offset_cm");
    return columns.join(QLatin1Char(','));
}

QString StreamAnalysis::csvRow(const Frame &frame)
{
    QStringList cells { QString::number(double(frame.micros) / 1e6, 'f', 6),
                        QString::number(frame.tagId) };
    for (int value : frame.tag)
        cells << QString::number(value);
    for (size_t k = 0; k < size_t(AnchorCount); ++k) {
        cells << QString::number(frame.anchorId[k]) << QString::number(frame.range[k]);
        for (int value : frame.anchor[k])
            cells << QString::number(value);
        cells << QString::number(frame.residual[k]);
    }
    for (double value : frame.fit)
        cells << QString::number(value, 'f', 1);
    cells << QString::number(frame.rms, 'f', 2) << QString::number(frame.gdop, 'f', 2)
          << QString::number(frame.offset, 'f', 1);
    return cells.join(QLatin1Char(','));
}

void analyseCapture(capture::Reader &reader, StreamAnalysis &analysis,
                    const std::function<void(const capture::Record &)> &onRecord)
{
    capture::Record record;
    while (reader.next(record)) {
        if (onRecord)
            onRecord(record);
        if (record.direction == capture::Direction::FromKit)
            analysis.fromKit(record.micros, record.bytes);
        else if (record.direction == capture::Direction::ToKit)
            analysis.toKit(record.micros, record.bytes);
    }
}

QString layoutVerdict(const StreamAnalysis::TagTotals &totals)
{
    return 2 * totals.inconsistent > totals.frames
        ? QStringLiteral("layout inconsistent: run --calibrate on the recording")
        : QStringLiteral("layout consistent");
}
