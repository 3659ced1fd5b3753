#include "summary.h"

#include "analysis.h"
#include "capture.h"
#include "statistics.h"
#include "toolsupport.h"

#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QTextStream>

int summarize(const SummaryOptions &options, QTextStream &out, QTextStream &err)
{
    capture::Reader reader;
    QString error;
    if (!reader.open(options.capture, &error)) {
        err << "zorvan-tap: " << error << Qt::endl;
        return 2;
    }
    QFile csvFile;
    QTextStream csv;
    if (!options.csv.isEmpty()) {
        if (!tools::createFile(csvFile, options.csv, options.force, &error)) {
            err << "zorvan-tap: " << error << Qt::endl;
            return 2;
        }
        csv.setDevice(&csvFile);
        csv << StreamAnalysis::csvHeader() << '\n';
    }

    StreamAnalysis analysis(options.maxResidual);
    QMap<int, QList<double>> rms;
    QMap<int, QList<double>> gdop;
    analysis.onFrame = [&](const StreamAnalysis::Frame &frame) {
        rms[frame.tagId] << frame.rms;
        gdop[frame.tagId] << frame.gdop;
        if (csvFile.isOpen())
            csv << StreamAnalysis::csvRow(frame) << '\n';
    };
    QStringList commands;
    analysis.onCommand = [&](qint64 micros, const AnchorConfigCommand::Decoded &command) {
        commands << QStringLiteral("  at %1 s: %2")
                        .arg(double(micros) / 1e6, 0, 'f', 3)
                        .arg(AnchorConfigCommand::describe(command));
    };
    qint64 first = -1;
    qint64 last = 0;
    int losses = 0;
    analyseCapture(reader, analysis, [&](const capture::Record &record) {
        if (first < 0)
            first = record.micros;
        last = record.micros;
        losses += record.direction == capture::Direction::KitLost;
    });
    csv.flush();

    const StreamAnalysis::Totals &totals = analysis.totals();
    const double seconds = first < 0 ? 0 : double(last - first) / 1e6;
    out << "capture: " << options.capture << '\n';
    out << "started: "
        << QDateTime::fromMSecsSinceEpoch(reader.startUnixMicros() / 1000, Qt::UTC)
               .toString(Qt::ISODateWithMs)
        << '\n';
    out << "duration: " << QString::number(seconds, 'f', 3) << " s\n";
    out << "frames: " << totals.frames << ", "
        << QString::number(seconds > 0 ? double(totals.frames) / seconds : 0, 'f', 1)
        << " per second\n";
    out << "bytes from the kit: " << totals.bytes << ", junk: " << totals.junk << '\n';
    out << "commands: " << totals.commands << '\n';
    for (const QString &line : std::as_const(commands))
        out << line << '\n';
    out << "kit link lost: " << losses << " time" << (losses == 1 ? "" : "s") << '\n';
    out << "fit of each frame's four ranges, RMS misfit in cm (inconsistent: over "
        << options.maxResidual << " cm):\n";
    for (auto it = totals.tags.cbegin(); it != totals.tags.cend(); ++it) {
        const auto number = [](double value) { return QString::number(value, 'f', 1); };
        const QList<double> &values = rms[it.key()];
        out << "  tag " << it.key() << ": " << it->frames << " frames, median "
            << number(tools::percentile(values, 0.5)) << ", 95th percentile "
            << number(tools::percentile(values, 0.95)) << ", maximum "
            << number(tools::percentile(values, 1)) << ", gdop median "
            << number(tools::percentile(gdop[it.key()], 0.5)) << ", " << it->inconsistent
            << " frames over the limit: " << layoutVerdict(*it) << '\n';
    }
    out.flush();
    if (!reader.damage().isEmpty()) {
        err << "zorvan-tap: " << options.capture << ": " << reader.damage()
            << "; summarised up to there" << Qt::endl;
        return 1;
    }
    return 0;
}
