#include "analysis.h"

#include <QStringList>

#include <cmath>
#include <cstdlib>

StreamAnalysis::StreamAnalysis(int maxResidualCm)
    : m_maxResidual(maxResidualCm)
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
        bool inconsistent = false;
        for (size_t k = 0; k < size_t(AnchorCount); ++k) {
            frame.anchorId[k] = report.anchorId[k];
            frame.range[k] = report.range[k];
            frame.anchor[k] = { centimetres(report.anchorX[k]), centimetres(report.anchorY[k]),
                                centimetres(report.anchorZ[k]) };
            const double dx = frame.tag[0] - frame.anchor[k][0];
            const double dy = frame.tag[1] - frame.anchor[k][1];
            const double dz = frame.tag[2] - frame.anchor[k][2];
            frame.residual[k]
                = int(std::lround(std::sqrt(dx * dx + dy * dy + dz * dz) - frame.range[k]));
            if (std::abs(frame.residual[k]) > m_maxResidual) {
                ++m_totals.inconsistentByAnchor[k];
                inconsistent = true;
            }
            if (m_keep)
                m_residuals[k] << frame.residual[k];
        }
        ++m_totals.frames;
        m_totals.inconsistent += inconsistent;
        m_totals.anchorId = frame.anchorId;
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
            onCommand(micros, AnchorConfigCommand::describe(command));
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
    return cells.join(QLatin1Char(','));
}
