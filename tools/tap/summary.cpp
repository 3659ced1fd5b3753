#include "summary.h"

#include "analysis.h"
#include "capture.h"
#include "statistics.h"
#include "toolsupport.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdlib>

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
    analysis.keepResiduals(true);
    analysis.onFrame = [&](const StreamAnalysis::Frame &frame) {
        if (csvFile.isOpen())
            csv << StreamAnalysis::csvRow(frame) << '\n';
    };
    QStringList commands;
    analysis.onCommand = [&](qint64 micros, const QString &description) {
        commands << QStringLiteral("  at %1 s: %2")
                        .arg(double(micros) / 1e6, 0, 'f', 3)
                        .arg(description);
    };
    capture::Record record;
    qint64 first = -1;
    qint64 last = 0;
    int losses = 0;
    while (reader.next(record)) {
        if (first < 0)
            first = record.micros;
        last = record.micros;
        switch (record.direction) {
        case capture::Direction::FromKit:
            analysis.fromKit(record.micros, record.bytes);
            break;
        case capture::Direction::ToKit:
            analysis.toKit(record.micros, record.bytes);
            break;
        case capture::Direction::KitLost:
            ++losses;
            break;
        case capture::Direction::KitBack:
            break;
        }
    }
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
    out << "residuals, distance minus range, absolute, cm (inconsistent: over "
        << options.maxResidual << " cm):\n";
    for (int k = 0; k < StreamAnalysis::AnchorCount; ++k) {
        QList<int> values;
        values.reserve(analysis.residuals(k).size());
        for (int residual : analysis.residuals(k))
            values << std::abs(residual);
        const qint64 over = totals.inconsistentByAnchor[size_t(k)];
        out << "  anchor " << totals.anchorId[size_t(k)] << ": median "
            << tools::percentile(values, 0.5) << ", 95th percentile "
            << tools::percentile(values, 0.95) << ", maximum " << tools::percentile(values, 1)
            << ", " << over << " frames over the limit"
            << (over > 0 ? ": inconsistent, check where this anchor is set" : "") << '\n';
    }
    out.flush();
    if (!reader.damage().isEmpty()) {
        err << "zorvan-tap: " << options.capture << ": " << reader.damage()
            << "; summarised up to there" << Qt::endl;
        return 1;
    }
    return 0;
}
