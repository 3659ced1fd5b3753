#include "testsupport.h"
#include "toolprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtEndian>
#include <QtTest>

#include <cmath>

#include <csignal>

namespace {

const QByteArray workedCommand = QByteArray::fromHex(
    "93 83 00 01 02 03 00 00 00 00 00 FA 01 F4 00 00 00 FA 01 F4 01 F4 00 FA 00 00 01 F4 00 FA"
    " 05 85 95");

int framesIn(const QByteArray &bytes)
{
    int count = 0;
    for (int at = bytes.indexOf("78"); at >= 0 && at + 52 <= bytes.size();
         at = bytes.indexOf("78", at + 1))
        count += bytes.mid(at + 50, 2) == "'(" ? 1 : 0;
    return count;
}

// Records what the kit sends through the tap, as a user would, into `capture`.
bool recordThroughTheTap(const QStringList &kitArguments, const QString &capture)
{
    ToolProcess kit;
    ToolProcess tap("zorvan-tap");
    if (!kit.start(kitArguments)
        || !tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--record",
                        capture, "--quiet" })
        || !kit.waitForExit(PatienceMs))
        return false;
    QTest::qWait(200);
    ::kill(pid_t(tap.process().processId()), SIGTERM);
    return tap.waitForExit(PatienceMs);
}

} // namespace

class KitTest : public QObject
{
    Q_OBJECT

private slots:
    void badOptions_data();
    void badOptions();
    void portInUse_data();
    void portInUse();
    void helpNamesEveryOption_data();
    void helpNamesEveryOption();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void tapWithoutRetryStopsWithTheKit();
    void tapHoldsBackAFlood();
    void badInputIsReportedAndSkipped();
    void badInputOnSerial();
    void damagedCapture_data();
    void damagedCapture();
    void calibration_data();
    void calibration();
};

void KitTest::badOptions_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");
    const QString kit = QStringLiteral("zorvan-kit");
    const QString tap = QStringLiteral("zorvan-tap");
    QTest::newRow("unknown option") << kit << QStringList { "--bogus" };
    QTest::newRow("rate not a number") << kit << QStringList { "--rate", "fast" };
    QTest::newRow("negative count") << kit << QStringList { "--count", "-1" };
    QTest::newRow("garbage above 1") << kit << QStringList { "--garbage", "1.5" };
    QTest::newRow("listen without port") << kit << QStringList { "--listen", "127.0.0.1" };
    QTest::newRow("listen on a name") << kit << QStringList { "--listen", "kit.invalid:8080" };
    QTest::newRow("stray argument") << kit << QStringList { "now" };
    QTest::newRow("hang up after no frames") << kit << QStringList { "--hangup-after", "0" };
    QTest::newRow("speed without a replay") << kit << QStringList { "--speed", "2" };
    QTest::newRow("misplace without DY") << kit << QStringList { "--misplace", "1:100" };
    QTest::newRow("layout of three anchors")
        << kit << QStringList { "--layout", "0:0,0,250 1:500,0,250 2:500,400,250" };
    QTest::newRow("nine tags") << kit << QStringList { "--tags", "9" };
    QTest::newRow("tap: calibrate and relay")
        << tap << QStringList { "--calibrate", "x", "--kit", "127.0.0.1:1" };
    QTest::newRow("tap: json without calibrate")
        << tap << QStringList { "--summary", "x", "--json" };
    QTest::newRow("replay of a missing file") << kit << QStringList { "--replay", "/nonexistent" };
    QTest::newRow("tap: no kit") << tap << QStringList {};
    QTest::newRow("tap: kit and summary")
        << tap << QStringList { "--kit", "127.0.0.1:1", "--summary", "x" };
    QTest::newRow("tap: listen on a name")
        << tap << QStringList { "--kit", "127.0.0.1:1", "--listen", "tap.invalid:8081" };
    QTest::newRow("tap: kit not answering") << tap << QStringList { "--kit", "127.0.0.1:1" };
    QTest::newRow("tap: no such device") << tap << QStringList { "--kit", "/nonexistent/tty" };
    // The file must survive: without --force nothing is ever overwritten.
    QTest::newRow("tap: record over an existing file")
        << tap << QStringList { "--kit", "127.0.0.1:1", "--record", ToolProcess::program() };
}

void KitTest::badOptions()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    const QFileInfo before(ToolProcess::program());
    QProcess process;
    process.start(ToolProcess::program(qPrintable(tool)), arguments);
    QVERIFY(process.waitForFinished(PatienceMs));
    QCOMPARE(process.exitCode(), 2);
    const QByteArray error = process.readAllStandardError();
    QVERIFY2(error.startsWith(tool.toLatin1() + ": ") && error.count('\n') == 1, error.constData());
    QCOMPARE(QFileInfo(ToolProcess::program()).size(), before.size());
}

void KitTest::portInUse_data()
{
    QTest::addColumn<QString>("tool");
    QTest::newRow("kit") << "zorvan-kit";
    QTest::newRow("tap") << "zorvan-tap";
}

void KitTest::portInUse()
{
    QFETCH(QString, tool);
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(taken.serverPort());
    QStringList arguments { "--listen", address };
    if (tool == QLatin1String("zorvan-tap"))
        arguments << "--kit" << address;
    QProcess process;
    process.start(ToolProcess::program(qPrintable(tool)), arguments);
    QVERIFY(process.waitForFinished(PatienceMs));
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(process.readAllStandardError().count('\n'), 1);
}

void KitTest::helpNamesEveryOption_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("kit") << "zorvan-kit"
                         << QStringList { "--listen",       "--serial",     "--rate",
                                          "--count",        "--seed",       "--noise-cm",
                                          "--chop",         "--garbage",    "--print-frames",
                                          "--hangup-after", "--drop-after", "--replay",
                                          "--speed",        "--loop",       "--misplace",
                                          "--help" };
    QTest::newRow("tap") << "zorvan-tap"
                         << QStringList { "--kit",      "--listen",  "--read-only",    "--record",
                                          "--csv",      "--force",   "--max-residual", "--quiet",
                                          "--no-retry", "--summary", "--help" };
}

void KitTest::helpNamesEveryOption()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, options);
    QProcess process;
    process.start(ToolProcess::program(qPrintable(tool)), { "--help" });
    QVERIFY(process.waitForFinished(PatienceMs));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const QString &option : options)
        QVERIFY2(help.contains(option.toLatin1()), qPrintable(option));
}

void KitTest::stopsCleanlyOnSignal_data()
{
    QTest::addColumn<bool>("tap");
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("kit, SIGTERM") << false << false;
    QTest::newRow("kit, Ctrl+C") << false << true;
    QTest::newRow("recording tap, SIGTERM") << true << false;
    QTest::newRow("recording tap, Ctrl+C") << true << true;
}

// Stopping is clean: status 0, and a tap leaves its capture and CSV whole, with the same frames.
void KitTest::stopsCleanlyOnSignal()
{
    QFETCH(bool, tap);
    QFETCH(bool, interrupt);
    ToolProcess kit;
    QVERIFY(kit.start({ "--serial", "--rate", "100" }));
    ToolProcess tapProcess("zorvan-tap");
    const QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("run.zvcap"));
    const QString csv = dir.filePath(QStringLiteral("run.csv"));
    if (tap)
        QVERIFY(tapProcess.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()),
                                   "--record", capture, "--csv", csv, "--quiet" }));
    ToolProcess &stopped = tap ? tapProcess : kit;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, stopped.port());
    QVERIFY(client.waitForConnected(PatienceMs));
    QVERIFY(client.waitForReadyRead(PatienceMs));
    ::kill(pid_t(stopped.process().processId()), interrupt ? SIGINT : SIGTERM);
    QVERIFY(stopped.waitForExit(PatienceMs));
    if (!tap)
        return;

    QFile rows(csv);
    QVERIFY(rows.open(QIODevice::ReadOnly));
    const int frames = rows.readAll().count('\n') - 1;
    QVERIFY(frames > 0);
    QProcess summary;
    summary.start(ToolProcess::program("zorvan-tap"), { "--summary", capture });
    QVERIFY(summary.waitForFinished(PatienceMs));
    QCOMPARE(summary.exitCode(), 0);
    QVERIFY(summary.readAllStandardOutput().contains(QByteArray("frames: ")
                                                     + QByteArray::number(frames) + ','));
}

// Told not to retry, the tap exits 1 when the kit goes, with what it recorded intact.
void KitTest::tapWithoutRetryStopsWithTheKit()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "200", "--drop-after", "20" }));
    const QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("run.zvcap"));
    ToolProcess tap("zorvan-tap");
    QVERIFY(tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--no-retry",
                        "--record", capture }));
    QVERIFY(tap.waitForExit(PatienceMs, 1));
    QVERIFY(!tap.errorLines().filter("kit link lost").isEmpty());
    QProcess summary;
    summary.start(ToolProcess::program("zorvan-tap"), { "--summary", capture });
    QVERIFY(summary.waitForFinished(PatienceMs));
    const QByteArray out = summary.readAllStandardOutput();
    QVERIFY2(out.contains("frames: 20,") && out.contains("kit link lost: 1 time\n"),
             out.constData());
}

// Anyone who reaches the tap may send the kit commands; a hundred in a second is a flood, and
// only a few of them reach the kit.
void KitTest::tapHoldsBackAFlood()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "50" }));
    ToolProcess tap("zorvan-tap");
    QVERIFY(tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()) }));
    QTcpSocket viewer;
    viewer.connectToHost(QHostAddress::LocalHost, tap.port());
    QVERIFY(viewer.waitForConnected(PatienceMs));
    QVERIFY(viewer.waitForReadyRead(PatienceMs));
    viewer.write(workedCommand.repeated(100));
    viewer.flush();
    QVERIFY(tap.waitFor([&] { return !tap.errorLines().filter("(flood)").isEmpty(); }, PatienceMs));
    QVERIFY(kit.waitFor([&] { return !kit.lines().filter("tcp: config:").isEmpty(); }, PatienceMs));
    // Four commands a second pass; the flood may straddle two of the tap's seconds.
    const int applied = kit.lines().filter("tcp: config:").size();
    QVERIFY2(applied <= 2 * 4, qPrintable(QString::number(applied)));
}

// Junk, a truncated command and a command with a wrong tail are reported and skipped; the
// command after them is applied, and frames keep coming throughout.
void KitTest::badInputIsReportedAndSkipped()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "100" }));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, kit.port());
    QVERIFY(client.waitForConnected(PatienceMs));

    QRandomGenerator random(3);
    QByteArray junk(5000, '\0');
    for (char &c : junk)
        c = char(random.bounded(256));
    QByteArray badTail = workedCommand;
    badTail[32] = 0;
    client.write(junk + workedCommand.left(20) + badTail);
    client.write(workedCommand);
    client.flush();

    QVERIFY(kit.waitFor([&] { return !kit.lines().filter("tcp: config:").isEmpty(); }, PatienceMs));
    QVERIFY(!kit.lines().filter("tcp: skipped").isEmpty());
    QCOMPARE(kit.lines().filter("tcp: config:").size(), 1);
    QVERIFY(
        kit.lines().filter("tcp: config:").first().endsWith("anchor 3 at (0, 500, 250) cm; tag 5"));

    QByteArray received;
    QVERIFY(kit.waitFor([&] { return framesIn(received += client.readAll()) >= 20; }, PatienceMs));
    QCOMPARE(kit.process().state(), QProcess::Running);
}

void KitTest::badInputOnSerial()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "100", "--serial" }));
    const int fd
        = ::open(kit.serialPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    const QByteArray input = QByteArray("\x93\x83\x01 junk", 8) + workedCommand;
    QCOMPARE(::write(fd, input.constData(), size_t(input.size())), ssize_t(input.size()));
    QVERIFY(
        kit.waitFor([&] { return !kit.lines().filter("serial: config:").isEmpty(); }, PatienceMs));
    QVERIFY(!kit.lines().filter("serial: skipped").isEmpty());
    QByteArray received;
    char chunk[4096];
    QVERIFY(kit.waitFor(
        [&] {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                received.append(chunk, int(n));
            return framesIn(received) >= 10;
        },
        PatienceMs));
    ::close(fd);
}

void KitTest::damagedCapture_data()
{
    // Written here from the documented layout, so that the reader is checked against it.
    const auto record = [](qint64 micros, quint8 direction, const QByteArray &bytes) {
        QByteArray out(13, '\0');
        qToLittleEndian<qint64>(micros, out.data());
        out[8] = char(direction);
        qToLittleEndian<quint32>(quint32(bytes.size()), out.data() + 9);
        return out + bytes;
    };
    QByteArray header("ZVCAPTUR\x01\0\0\0", 12);
    header += QByteArray(8, '\0');
    const QByteArray whole = header + record(0, 0, testsupport::frameWith(1, 100, 100))
        + record(4500, 0, testsupport::frameWith(1, 110, 100)) + record(9000, 1, "\x93junk")
        + record(9001, 0, testsupport::frameWith(1, 120, 100));

    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("error");
    QTest::newRow("whole") << whole << 0 << "frames: 3,"
                           << "";
    QTest::newRow("cut inside the last record")
        << whole.left(whole.size() - 10) << 1 << "frames: 2,"
        << "record at offset 168 cut short: 42 of 52 bytes";
    QByteArray badDirection = whole;
    badDirection[20 + 65 + 8] = char(9);
    QTest::newRow("impossible direction") << badDirection << 1 << "frames: 1,"
                                          << "corrupt record at offset 85";
    QTest::newRow("not a capture") << QByteArray("time_s,tag_id\n") << 2 << ""
                                   << "is not a zorvan-tap capture";
    QByteArray later = whole;
    later[8] = char(2);
    QTest::newRow("a later version") << later << 2 << ""
                                     << "capture version 2";
}

// A damaged capture is read up to the damage, which is named with its offset; nothing crashes.
void KitTest::damagedCapture()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, error);
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(bytes);
    file.close();
    QProcess summary;
    summary.start(ToolProcess::program("zorvan-tap"), { "--summary", file.fileName() });
    QVERIFY(summary.waitForFinished(PatienceMs));
    QCOMPARE(summary.exitStatus(), QProcess::NormalExit);
    QCOMPARE(summary.exitCode(), status);
    QVERIFY(QString::fromUtf8(summary.readAllStandardOutput()).contains(out));
    const QString errors = QString::fromUtf8(summary.readAllStandardError());
    QVERIFY2(errors.contains(error) && errors.count(QLatin1Char('\n')) == (status ? 1 : 0),
             qPrintable(errors));
}

void KitTest::calibration_data()
{
    QTest::addColumn<QStringList>("kit");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<bool>>("misplaced");
    QTest::addColumn<QList<double>>("offsets");

    // A 5 by 4 m room away from the origin, with anchors at different heights, and a minute's walk
    // at 20 frames a second with 3 cm of noise, recorded as fast as the links take it.
    const QStringList walk {
        "--rate",     "0",
        "--count",    "1200",
        "--path",     "walk",
        "--noise-cm", "3",
        "--layout",   "0:100,50,230 1:600,50,260 2:600,450,240 3:100,450,250"
    };
    QTest::newRow("one anchor typed 1 m off")
        << walk + QStringList { "--misplace", "1:100,-60" } << 0
        << QList<bool> { false, true, false, false } << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("one anchor's ranges 15 cm long")
        << walk + QStringList { "--range-bias", "2:15" } << 0
        << QList<bool> { false, false, false, false } << QList<double> { 0, 0, 15, 0 };
    QTest::newRow("the tag barely moved")
        << QStringList { "--rate", "0", "--count", "100", "--path", "walk" } << 3 << QList<bool> {}
        << QList<double> {};
}

// Where the anchors really stand, from a capture recorded through the tap: every anchor within
// 5 cm of its place, the misplaced one named and no other, a range offset told from a move.
void KitTest::calibration()
{
    QFETCH(QStringList, kit);
    QFETCH(int, status);
    QFETCH(QList<bool>, misplaced);
    QFETCH(QList<double>, offsets);
    const QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("walk.zvcap"));
    QVERIFY(recordThroughTheTap(kit, capture));

    QProcess calibrate;
    calibrate.start(ToolProcess::program("zorvan-tap"), { "--calibrate", capture, "--json" });
    QVERIFY(calibrate.waitForFinished(PatienceMs));
    QCOMPARE(calibrate.exitCode(), status);
    const QJsonObject result = QJsonDocument::fromJson(calibrate.readAllStandardOutput()).object();
    if (status != 0) {
        QVERIFY2(result.value("error").toString().contains("Carry the tag about the whole area"),
                 qPrintable(result.value("error").toString()));
        return;
    }
    const double physical[4][2] = { { 100, 50 }, { 600, 50 }, { 600, 450 }, { 100, 450 } };
    const QJsonArray anchors = result.value("anchors").toArray();
    QCOMPARE(anchors.size(), 4);
    for (int k = 0; k < 4; ++k) {
        const QJsonObject a = anchors.at(k).toObject();
        const QJsonArray at = a.value("estimated").toArray();
        const double off = std::hypot(at.at(0).toDouble() - physical[k][0],
                                      at.at(1).toDouble() - physical[k][1]);
        QVERIFY2(off <= 5, qPrintable(QStringLiteral("anchor %1 is %2 cm off").arg(k).arg(off)));
        QCOMPARE(a.value("misplaced").toBool(), misplaced.at(k));
        const double offset = a.value("offset_cm").toDouble();
        QVERIFY2(std::abs(offset - offsets.at(k)) <= 3 || !a.value("separable").toBool(),
                 qPrintable(QStringLiteral("anchor %1's offset %2 cm").arg(k).arg(offset)));
    }
}

QTEST_GUILESS_MAIN(KitTest)
#include "tst_kit.moc"
