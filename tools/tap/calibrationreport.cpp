#include "calibrationreport.h"

#include "analysis.h"
#include "calibration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

using Configured = std::array<std::pair<int, std::array<double, 3>>, calibration::AnchorCount>;

QString point(const std::array<double, 3> &p)
{
    return QStringLiteral("(%1, %2, %3)")
        .arg(p[0], 0, 'f', 0)
        .arg(p[1], 0, 'f', 0)
        .arg(p[2], 0, 'f', 0);
}

QJsonArray array(const std::array<double, 3> &p, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    QJsonArray values;
    for (double v : p)
        values << std::round(v * scale) / scale;
    return values;
}

double distance(const std::array<double, 3> &a, const std::array<double, 3> &b)
{
    return std::sqrt(std::pow(a[0] - b[0], 2) + std::pow(a[1] - b[1], 2)
                     + std::pow(a[2] - b[2], 2));
}

void printText(const calibration::Result &r, const CalibrationOptions &options,
               const QList<int> &tags, QTextStream &out)
{
    out << "frames: " << r.framesUsed << " used of " << r.framesRead
        << (options.tag >= 0 ? QStringLiteral(" of tag %1").arg(options.tag) : QString())
        << ", spread over the area; the tag's positions spread " << qRound(r.spreadMajor) << " by "
        << qRound(r.spreadMinor) << " cm (1 sigma)\n";
    out << "fit RMS: " << QString::number(r.rms, 'f', 1) << " cm\n";
    for (int t = 0; t < r.tagHeights.size(); ++t)
        out << "tag " << tags.value(t) << " carried at " << qRound(r.tagHeights[t]) << " cm\n";
    if (!r.pinned)
        out << "The estimate cannot be pinned to the configured layout: two or more anchors "
               "disagree with it. It is given with anchor "
            << r.anchors[0].id << " at the origin and anchor " << r.anchors[1].id << " on +x.\n";
    for (const calibration::AnchorEstimate &a : r.anchors) {
        const double sigma = std::sqrt(a.sigma[0] * a.sigma[0] + a.sigma[1] * a.sigma[1]
                                       + a.sigma[2] * a.sigma[2]);
        out << "anchor " << a.id << ": configured " << point(a.configured) << ", estimated "
            << point(a.estimated) << " +/- " << QString::number(sigma, 'f', 1) << " cm";
        if (r.pinned)
            out << ", " << QString::number(distance(a.estimated, a.configured), 'f', 0)
                << " cm apart";
        out << "; range offset " << QString::number(a.offset, 'f', 1) << " +/- "
            << QString::number(a.offsetSigma, 'f', 1) << " cm: ";
        if (!a.separable)
            out << "this capture cannot tell a move of this anchor from a range offset; "
                   "record with the tag carried around it\n";
        else if (!r.pinned)
            out << "no verdict\n";
        else if (a.misplaced)
            out << "misplaced: stands at " << point(a.estimated) << '\n';
        else
            out << "where configured\n";
    }
    out << "to type under Setting (cm):\n";
    for (const calibration::AnchorEstimate &a : r.anchors)
        out << "  anchor " << a.id << ": X " << qRound(a.estimated[0]) << ", Y "
            << qRound(a.estimated[1]) << ", Z " << qRound(a.estimated[2]) << '\n';
}

void printJson(const calibration::Result &r, QTextStream &out)
{
    QJsonArray anchors;
    for (const calibration::AnchorEstimate &a : r.anchors) {
        anchors << QJsonObject { { "id", a.id },
                                 { "configured", array(a.configured, 0) },
                                 { "estimated", array(a.estimated, 1) },
                                 { "sigma", array(a.sigma, 1) },
                                 { "offset_cm", std::round(a.offset * 10) / 10 },
                                 { "offset_sigma_cm", std::round(a.offsetSigma * 10) / 10 },
                                 { "separable", a.separable },
                                 { "misplaced", a.misplaced } };
    }
    const QJsonObject object { { "anchors", anchors },
                               { "rms_cm", std::round(r.rms * 100) / 100 },
                               { "frames", r.framesUsed },
                               { "frames_read", r.framesRead },
                               { "pinned", r.pinned } };
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
}

} // namespace

int calibrateCapture(const CalibrationOptions &options, QTextStream &out, QTextStream &err)
{
    capture::Reader reader;
    QString error;
    if (!reader.open(options.capture, &error)) {
        err << "zorvan-tap: " << error << Qt::endl;
        return 2;
    }
    // The ranges are measured to where the anchors stand, whatever the kit was told; the
    // latest configured layout is what the estimate is compared with.
    StreamAnalysis analysis(0);
    QList<calibration::Observation> observations;
    Configured configured;
    QList<int> tags;
    analysis.onFrame = [&](const StreamAnalysis::Frame &frame) {
        if (options.tag >= 0 && frame.tagId != options.tag)
            return;
        calibration::Observation o;
        o.tag = int(tags.indexOf(frame.tagId));
        if (o.tag < 0) {
            o.tag = int(tags.size());
            tags << frame.tagId;
        }
        for (size_t k = 0; k < size_t(calibration::AnchorCount); ++k) {
            o.ranges[k] = frame.range[k];
            configured[k] = { frame.anchorId[k],
                              { double(frame.anchor[k][0]), double(frame.anchor[k][1]),
                                double(frame.anchor[k][2]) } };
        }
        o.fit = frame.fit;
        observations << o;
    };
    analyseCapture(reader, analysis);

    calibration::Options settings;
    settings.freeHeights = options.freeHeights;
    const calibration::Result result = calibration::calibrate(observations, configured, settings);
    if (!result.error.isEmpty()) {
        if (options.json)
            out << QJsonDocument(QJsonObject { { "error", result.error } })
                       .toJson(QJsonDocument::Compact)
                << '\n';
        else
            err << "zorvan-tap: " << options.capture << ": " << result.error << Qt::endl;
        return 3;
    }
    if (options.json)
        printJson(result, out);
    else
        printText(result, options, tags, out);
    out.flush();
    if (!reader.damage().isEmpty()) {
        err << "zorvan-tap: " << options.capture << ": " << reader.damage()
            << "; calibrated from what came before" << Qt::endl;
        return 1;
    }
    return 0;
}
