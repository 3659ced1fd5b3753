#include "kitsimulator.h"
#include "toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <tuple>
#include <utility>

namespace {

// ID:A,B[,C]: an anchor's identifier and two or three whole numbers of cm.
bool parseAnchorValues(const QString &text, int minValues, int maxValues, int &id,
                       QList<int> &values)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    bool ok = parts.size() == 2;
    id = ok ? parts[0].toInt(&ok) : -1;
    if (!ok || id < 0 || id > 255)
        return false;
    const QStringList numbers = parts[1].split(QLatin1Char(','));
    if (numbers.size() < minValues || numbers.size() > maxValues)
        return false;
    values.clear();
    for (const QString &number : numbers) {
        const int value = number.toInt(&ok);
        if (!ok || value < -32768 || value > 32767)
            return false;
        values << value;
    }
    return true;
}

bool parseOptions(QCommandLineParser &parser, const QStringList &arguments, KitOptions &options,
                  QString *error)
{
    if (!tools::parseCommandLine(parser, arguments, error)
        || !tools::takeListenOption(parser, options.host, options.port, error))
        return false;
    bool ok = true;
    options.serial = parser.isSet(QStringLiteral("serial"));
    options.chop = parser.isSet(QStringLiteral("chop"));
    options.printFrames = parser.isSet(QStringLiteral("print-frames"));
    if (parser.isSet(QStringLiteral("rate"))) {
        options.rate = parser.value(QStringLiteral("rate")).toDouble(&ok);
        if (!ok || !(options.rate >= 0) || options.rate > 1e6) {
            *error = QStringLiteral("--rate takes a number of frames per second, 0 for full speed");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("count"))) {
        options.count = parser.value(QStringLiteral("count")).toLongLong(&ok);
        if (!ok || options.count < 0) {
            *error = QStringLiteral("--count takes a whole number of frames");
            return false;
        }
    }
    for (const auto &[name, value] : { std::pair { "hangup-after", &options.hangupAfter },
                                       std::pair { "drop-after", &options.dropAfter } }) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        *value = parser.value(QLatin1String(name)).toLongLong(&ok);
        if (!ok || *value < 1) {
            *error = QStringLiteral("--%1 takes a whole number of frames from 1").arg(name);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        options.seed = parser.value(QStringLiteral("seed")).toUInt(&ok);
        if (!ok) {
            *error = QStringLiteral("--seed takes a whole number");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("noise-cm"))) {
        options.noiseCm = parser.value(QStringLiteral("noise-cm")).toInt(&ok);
        if (!ok || options.noiseCm < 0 || options.noiseCm > 10000) {
            *error
                = QStringLiteral("--noise-cm takes a whole number of centimetres from 0 to 10000");
            return false;
        }
    }
    options.replay = parser.value(QStringLiteral("replay"));
    options.loop = parser.isSet(QStringLiteral("loop"));
    if (parser.isSet(QStringLiteral("speed"))) {
        options.speed = parser.value(QStringLiteral("speed")).toDouble(&ok);
        if (!ok || !(options.speed >= 0) || options.speed > 1e6) {
            *error = QStringLiteral("--speed takes a factor, 0 for as fast as the links take it");
            return false;
        }
    }
    if (options.replay.isEmpty() && (parser.isSet(QStringLiteral("speed")) || options.loop)) {
        *error = QStringLiteral("--speed and --loop need --replay FILE");
        return false;
    }
    QList<int> values;
    if (parser.isSet(QStringLiteral("layout"))) {
        const QString value = parser.value(QStringLiteral("layout"));
        const QStringList anchors
            = value.split(QRegularExpression(QStringLiteral("[\\s;]+")), Qt::SkipEmptyParts);
        ok = anchors.size() == 4;
        for (int k = 0; ok && k < 4; ++k) {
            kit::Anchor &a = options.layout[size_t(k)];
            ok = parseAnchorValues(anchors[k], 3, 3, a.id, values);
            if (ok)
                std::tie(a.x, a.y, a.z) = std::make_tuple(values[0], values[1], values[2]);
        }
        if (!ok) {
            *error
                = QStringLiteral("--layout takes four ID:X,Y,Z in whole cm, not '%1'").arg(value);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("misplace"))) {
        const QString value = parser.value(QStringLiteral("misplace"));
        if (!parseAnchorValues(value, 2, 3, options.misplaced, values)) {
            *error = QStringLiteral("--misplace takes ANCHOR:DX,DY[,DZ] in whole cm, not '%1'")
                         .arg(value);
            return false;
        }
        for (int i = 0; i < values.size(); ++i)
            options.misplacement[size_t(i)] = values[i];
    }
    if (parser.isSet(QStringLiteral("range-bias"))) {
        const QString value = parser.value(QStringLiteral("range-bias"));
        if (!parseAnchorValues(value, 1, 1, options.biased, values)) {
            *error
                = QStringLiteral("--range-bias takes ANCHOR:CM in whole cm, not '%1'").arg(value);
            return false;
        }
        options.biasCm = values[0];
    }
    if (parser.isSet(QStringLiteral("path"))) {
        const QString value = parser.value(QStringLiteral("path"));
        if (value != QLatin1String("eight") && value != QLatin1String("walk")) {
            *error = QStringLiteral("--path takes eight or walk, not '%1'").arg(value);
            return false;
        }
        options.path = value == QLatin1String("walk") ? kit::Path::Walk : kit::Path::Eight;
    }
    if (parser.isSet(QStringLiteral("tag-height"))) {
        options.tagHeight = parser.value(QStringLiteral("tag-height")).toInt(&ok);
        if (!ok || options.tagHeight < -32768 || options.tagHeight > 32767) {
            *error = QStringLiteral("--tag-height takes a whole number of cm");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("tags"))) {
        options.tags = parser.value(QStringLiteral("tags")).toInt(&ok);
        if (!ok || options.tags < 1 || options.tags > 8) {
            *error = QStringLiteral("--tags takes a number of tags from 1 to 8");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("garbage"))) {
        options.garbage = parser.value(QStringLiteral("garbage")).toDouble(&ok);
        if (!ok || !(options.garbage >= 0 && options.garbage <= 1)) {
            *error = QStringLiteral("--garbage takes a probability from 0 to 1");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates a positioning kit: four anchors and one or more tags moving about, reported "
        "as 52-byte frames to every TCP client and, with --serial, on a pseudo-terminal. "
        "Frames go out only while a viewer is attached. As a real kit, it measures ranges to "
        "where the anchors stand and solves the tag's position from where it was told they "
        "stand. The 33-byte anchor command received on either link is printed and changes "
        "where the kit is told the anchors stand."));
    const QCommandLineOption help({ "h", "help" }, QStringLiteral("Show this help and exit."));
    parser.addOption(help);
    parser.addOptions({
        { "listen",
          QStringLiteral(
              "Accept TCP clients on HOST:PORT (default 127.0.0.1:8080; port 0 picks a free one)."),
          QStringLiteral("HOST:PORT") },
        { "serial",
          QStringLiteral(
              "Also serve a pseudo-terminal at 115200 8N1 and print its path as 'serial: PATH'.") },
        { "rate",
          QStringLiteral("Frames per second (default 10; 0 sends as fast as the links take them)."),
          QStringLiteral("HZ") },
        { "count",
          QStringLiteral("Stop after N frames, once they have been delivered, and exit 0."),
          QStringLiteral("N") },
        { "seed", QStringLiteral("Seed for noise, chopping and junk (default 1)."),
          QStringLiteral("N") },
        { "noise-cm", QStringLiteral("Add uniform noise of up to N cm to every range (default 0)."),
          QStringLiteral("N") },
        { "chop", QStringLiteral("Write each frame in random-sized pieces.") },
        { "garbage",
          QStringLiteral("Put 1 to 60 random bytes before a frame with probability P (default "
                         "0). The junk never holds the start byte '7', so it cannot forge a "
                         "frame."),
          QStringLiteral("P") },
        { "print-frames", QStringLiteral("Print every frame sent as one line of hex.") },
        { "hangup-after",
          QStringLiteral("After every N frames on the pseudo-terminal, close it as a pulled-out "
                         "adapter would, and offer a new one a second later ('serial: PATH' "
                         "again). The TCP side goes on."),
          QStringLiteral("N") },
        { "replay",
          QStringLiteral("Play what the kit sent in a capture recorded by zorvan-tap, at its "
                         "recorded timing, instead of the moving tag."),
          QStringLiteral("FILE") },
        { "speed",
          QStringLiteral("Replay X times as fast (default 1; 0 as fast as the links take it)."),
          QStringLiteral("X") },
        { "loop", QStringLiteral("Start the replay again at its end, instead of exiting.") },
        { "layout",
          QStringLiteral("Where the four anchors stand, as four ID:X,Y,Z in cm separated by "
                         "spaces or ';' (default '0:0,0,250 1:500,0,250 2:500,400,250 "
                         "3:0,400,250'). The ranges are measured to these places."),
          QStringLiteral("ANCHORS") },
        { "misplace",
          QStringLiteral("Start with anchor ANCHOR configured DX,DY[,DZ] cm away from where it "
                         "stands, as if its coordinates were typed wrong. The kit solves the "
                         "tag's position from what it was told, so the error spreads over every "
                         "range. An anchor command replaces the configured places."),
          QStringLiteral("ANCHOR:DX,DY[,DZ]") },
        { "range-bias",
          QStringLiteral("Add CM to every range of anchor ANCHOR, as an uncalibrated antenna "
                         "delay does."),
          QStringLiteral("ANCHOR:CM") },
        { "path",
          QStringLiteral("The tag's path: 'eight', a figure of eight around the middle "
                         "(default), or 'walk', back and forth over the whole area."),
          QStringLiteral("eight|walk") },
        { "tag-height", QStringLiteral("The tag's height in cm (default 120)."),
          QStringLiteral("CM") },
        { "tags",
          QStringLiteral("Report N tags in turn, with identifiers from the configured one up, each "
                         "on its own part of the path (1 to 8, default 1)."),
          QStringLiteral("N") },
        { "drop-after",
          QStringLiteral("After every N frames over TCP, close every client connection, as a "
                         "network module that reboots. New clients are served again."),
          QStringLiteral("N") },
    });

    KitOptions options;
    QString error;
    if (!parseOptions(parser, app.arguments(), options, &error)) {
        err << "zorvan-kit: " << error << " (see --help)\n";
        return 2;
    }
    if (parser.isSet(help)) {
        out << parser.helpText();
        return 0;
    }

    KitSimulator kit(options, out);
    if (!kit.start(&error)) {
        err << "zorvan-kit: " << error << '\n';
        return 2;
    }
    QObject::connect(&kit, &KitSimulator::finished, &app, [&app] { app.exit(0); });
    tools::quitOnSignals(app);
    return app.exec();
}
