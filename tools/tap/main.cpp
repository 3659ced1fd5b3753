#include "calibrationreport.h"
#include "summary.h"
#include "tap.h"
#include "toolsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTextStream>

namespace {

struct Mode
{
    bool summary = false;
    bool calibrate = false;
    TapOptions tap;
    SummaryOptions offline;
    CalibrationOptions calibration;
};

// A name that goes into topics: no level separators or wildcards.
bool isTopicName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QRegularExpression(QStringLiteral("[/+#\\x00]")));
}

bool parseMqttOptions(const QCommandLineParser &parser, TapOptions &tap, QString *error)
{
    const auto isSet = [&](const char *name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };
    tap.mqtt = true;
    MqttSettings &broker = tap.broker;
    if (!parseMqttUrl(value("mqtt"), broker, error))
        return false;
    if (isSet("mqtt-password-file")) {
        QFile file(value("mqtt-password-file"));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the password file %1: %2")
                         .arg(file.fileName(), file.errorString());
            return false;
        }
        broker.password = QString::fromUtf8(file.readLine())
                              .remove(QRegularExpression(QStringLiteral("[\r\n]+$")));
        if (broker.user.isEmpty()) {
            *error
                = QStringLiteral("--mqtt-password-file needs a user in the URL: mqtt://USER@HOST");
            return false;
        }
    }
    broker.caFile = value("mqtt-ca");
    if (!broker.caFile.isEmpty() && !broker.tls) {
        *error = QStringLiteral("--mqtt-ca needs an mqtts:// URL");
        return false;
    }
    const QString kitName = isSet("kit-name") ? value("kit-name") : QSysInfo::machineHostName();
    broker.prefix
        = isSet("mqtt-prefix") ? value("mqtt-prefix") : QStringLiteral("zorvan/") + kitName;
    if (!isTopicName(kitName) || broker.prefix.isEmpty()
        || broker.prefix.contains(QRegularExpression(QStringLiteral("[+#\\x00]")))
        || broker.prefix.endsWith(QLatin1Char('/'))) {
        *error
            = QStringLiteral("the kit name and the MQTT prefix may not hold + or # (nor / in the "
                             "kit name), and the prefix may not end in /");
        return false;
    }
    if (isSet("mqtt-qos")) {
        const QString qos = value("mqtt-qos");
        if (qos != QLatin1String("0") && qos != QLatin1String("1")) {
            *error = QStringLiteral("--mqtt-qos takes 0 or 1");
            return false;
        }
        broker.qos = qos.toInt();
    }
    if (isSet("mqtt-rate")) {
        bool ok = false;
        tap.mqttRate = value("mqtt-rate").toDouble(&ok);
        if (!ok || !(tap.mqttRate > 0) || tap.mqttRate > 1000) {
            *error = QStringLiteral(
                "--mqtt-rate takes reports per second, more than 0 and up to 1000");
            return false;
        }
    }
    return true;
}

bool parseOptions(QCommandLineParser &parser, const QStringList &arguments, Mode &mode,
                  QString *error)
{
    if (!tools::parseCommandLine(parser, arguments, error))
        return false;
    const auto isSet = [&](const char *name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };
    int maxResidual = 10;
    if (isSet("max-residual")) {
        bool ok = false;
        maxResidual = value("max-residual").toInt(&ok);
        if (!ok || maxResidual < 0) {
            *error = QStringLiteral("--max-residual takes a whole number of centimetres");
            return false;
        }
    }
    if (int(isSet("summary")) + int(isSet("kit")) + int(isSet("calibrate")) != 1) {
        *error = QStringLiteral(
            "give one of --kit PATH|HOST:PORT, --summary FILE and --calibrate FILE");
        return false;
    }
    const auto refuse = [&](std::initializer_list<const char *> names, const char *needs) {
        for (const char *name : names) {
            if (isSet(name)) {
                *error = QStringLiteral("--%1 needs --%2")
                             .arg(QLatin1String(name), QLatin1String(needs));
                return true;
            }
        }
        return false;
    };
    if (!isSet("kit")
        && refuse({ "listen", "read-only", "record", "quiet", "no-retry", "web", "mqtt",
                    "mqtt-password-file", "mqtt-ca", "mqtt-prefix", "kit-name", "mqtt-qos",
                    "mqtt-rate" },
                  "kit"))
        return false;
    if (!isSet("calibrate") && refuse({ "free-heights", "json", "tag" }, "calibrate"))
        return false;
    if (isSet("calibrate")) {
        if (refuse({ "csv", "force", "max-residual" }, "kit or --summary"))
            return false;
        mode.calibrate = true;
        mode.calibration.capture = value("calibrate");
        mode.calibration.freeHeights = isSet("free-heights");
        mode.calibration.json = isSet("json");
        if (isSet("tag")) {
            bool ok = false;
            mode.calibration.tag = value("tag").toInt(&ok);
            if (!ok || mode.calibration.tag < 0 || mode.calibration.tag > 255) {
                *error = QStringLiteral("--tag takes a tag identifier from 0 to 255");
                return false;
            }
        }
        return true;
    }
    if (isSet("summary")) {
        mode.summary = true;
        mode.offline.capture = value("summary");
        mode.offline.csv = value("csv");
        mode.offline.force = isSet("force");
        mode.offline.maxResidual = maxResidual;
        return true;
    }
    TapOptions &tap = mode.tap;
    tap.kit = value("kit");
    if (!tools::takeListenOption(parser, tap.listenHost, tap.listenPort, error))
        return false;
    tap.readOnly = isSet("read-only");
    tap.record = value("record");
    tap.csv = value("csv");
    tap.force = isSet("force");
    tap.quiet = isSet("quiet");
    tap.retry = !isSet("no-retry");
    tap.maxResidual = maxResidual;
    if (isSet("web")) {
        // A port alone serves this machine only.
        QString web = value("web");
        if (!web.contains(QLatin1Char(':')))
            web.prepend(QStringLiteral("127.0.0.1:"));
        if (!tools::parseListenAddress(web, tap.webHost, tap.webPort)) {
            *error = QStringLiteral("--web takes [HOST:]PORT with a numeric address, not '%1'")
                         .arg(value("web"));
            return false;
        }
        tap.web = true;
    }
    return !isSet("mqtt") ? !refuse({ "mqtt-password-file", "mqtt-ca", "mqtt-prefix", "kit-name",
                                      "mqtt-qos", "mqtt-rate" },
                                    "mqtt")
                          : parseMqttOptions(parser, tap, error);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sits between a positioning kit and its viewers. Relays every byte both ways unchanged "
        "to any number of viewers on a local TCP port, records both directions, exports the "
        "frames as CSV, and checks every frame by solving the tag's position itself from its "
        "four ranges and anchors. A status line goes to stderr every second. It can also "
        "publish to MQTT and serve a live plan to browsers.\n"
        "With --summary it reads a recorded capture instead, and with --calibrate it estimates "
        "from one where the anchors really stand."));
    const QCommandLineOption help({ "h", "help" }, QStringLiteral("Show this help and exit."));
    parser.addOption(help);
    parser.addOptions({
        { "kit",
          QStringLiteral("The kit: a serial device (115200 8N1), or HOST:PORT of its network "
                         "module."),
          QStringLiteral("PATH|HOST:PORT") },
        { "listen",
          QStringLiteral("Serve viewers on HOST:PORT (default 127.0.0.1:8081; port 0 picks a "
                         "free one). Any other address than loopback lets anyone who reaches it "
                         "reconfigure the kit."),
          QStringLiteral("HOST:PORT") },
        { "read-only",
          QStringLiteral("Relay nothing from viewers to the kit; count and drop their bytes.") },
        { "record", QStringLiteral("Record both directions into FILE, flushed every second."),
          QStringLiteral("FILE") },
        { "csv",
          QStringLiteral("Write one row per frame into FILE: time, tag and each anchor entry in "
                         "cm with its residual, then the tap's own fit, its RMS misfit, GDOP and "
                         "its distance from the kit's position."),
          QStringLiteral("FILE") },
        { "force", QStringLiteral("Overwrite the --record and --csv files if they exist.") },
        { "max-residual",
          QStringLiteral("Count a frame as inconsistent when the RMS misfit of its four ranges at "
                         "the tap's own fit passes CM (default 10)."),
          QStringLiteral("CM") },
        { "quiet", QStringLiteral("No status line.") },
        { "no-retry",
          QStringLiteral("Exit with status 1 when the kit link is lost, instead of trying again "
                         "every second.") },
        { "summary",
          QStringLiteral("Summarise the capture FILE: duration, frames, rate, junk, commands "
                         "and how well each tag's frames fit. With --csv, also export it."),
          QStringLiteral("FILE") },
        { "web",
          QStringLiteral("Serve a live plan of every tag to browsers at http://HOST:PORT/ (a port "
                         "alone serves this machine only; port 0 picks a free one and prints "
                         "'web: URL'). Read-only: nothing from a browser reaches the kit."),
          QStringLiteral("[HOST:]PORT") },
        { "mqtt",
          QStringLiteral("Publish every report, the anchors, relayed commands and the tap's status "
                         "to the MQTT broker at URL: mqtt://[USER[:PASSWORD]@]HOST[:PORT], or "
                         "mqtts:// for TLS, which verifies the broker's certificate and host name. "
                         "Relaying goes on while the broker is away."),
          QStringLiteral("URL") },
        { "mqtt-password-file",
          QStringLiteral("Read the MQTT password from the first line of FILE, so that it does not "
                         "show on the command line."),
          QStringLiteral("FILE") },
        { "mqtt-ca", QStringLiteral("The CA certificate that signs the broker's, for mqtts://."),
          QStringLiteral("FILE") },
        { "mqtt-prefix", QStringLiteral("Publish below PREFIX (default zorvan/KIT-NAME)."),
          QStringLiteral("PREFIX") },
        { "kit-name", QStringLiteral("This kit's name in the topics (default: the host name)."),
          QStringLiteral("NAME") },
        { "mqtt-qos", QStringLiteral("QoS of the position reports: 0 (default) or 1."),
          QStringLiteral("0|1") },
        { "mqtt-rate",
          QStringLiteral("Publish at most HZ reports a second per tag, the newest of each interval "
                         "(default: every report)."),
          QStringLiteral("HZ") },
        { "calibrate",
          QStringLiteral("Estimate where the anchors stand from the ranges in the capture FILE, "
                         "with a range offset per anchor, and say which anchor is misplaced and "
                         "what to type under Setting. Exits 3 when the tag did not move about "
                         "enough to tell."),
          QStringLiteral("FILE") },
        { "free-heights",
          QStringLiteral("With --calibrate, estimate the anchors' heights too, instead of taking "
                         "them as configured.") },
        { "json", QStringLiteral("With --calibrate, print one JSON object instead.") },
        { "tag",
          QStringLiteral("With --calibrate, use only the frames of tag ID (default: every tag)."),
          QStringLiteral("ID") },
    });

    Mode mode;
    QString error;
    if (!parseOptions(parser, app.arguments(), mode, &error)) {
        if (parser.isSet(help)) {
            out << parser.helpText();
            return 0;
        }
        err << "zorvan-tap: " << error << " (see --help)" << Qt::endl;
        return 2;
    }
    if (parser.isSet(help)) {
        out << parser.helpText();
        return 0;
    }
    if (mode.summary)
        return summarize(mode.offline, out, err);
    if (mode.calibrate)
        return calibrateCapture(mode.calibration, out, err);

    Tap tap(mode.tap, out, err);
    if (!tap.start(&error)) {
        err << "zorvan-tap: " << error << Qt::endl;
        return 2;
    }
    QObject::connect(&tap, &Tap::failed, &app, [&app](int status) { app.exit(status); });
    tools::quitOnSignals(app, [&tap] { tap.finish(); });
    return app.exec();
}
