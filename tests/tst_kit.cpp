#include "kitprocess.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

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

} // namespace

class KitTest : public QObject
{
    Q_OBJECT

private slots:
    void badOptions_data();
    void badOptions();
    void portInUse();
    void helpNamesEveryOption();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void badInputIsReportedAndSkipped();
    void badInputOnSerial();
};

void KitTest::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList { "--bogus" };
    QTest::newRow("rate not a number") << QStringList { "--rate", "fast" };
    QTest::newRow("negative count") << QStringList { "--count", "-1" };
    QTest::newRow("garbage above 1") << QStringList { "--garbage", "1.5" };
    QTest::newRow("listen without port") << QStringList { "--listen", "127.0.0.1" };
    QTest::newRow("listen on a name") << QStringList { "--listen", "kit.invalid:8080" };
    QTest::newRow("stray argument") << QStringList { "now" };
    QTest::newRow("hang up after no frames") << QStringList { "--hangup-after", "0" };
}

void KitTest::badOptions()
{
    QFETCH(QStringList, arguments);
    QProcess kit;
    kit.start(KitProcess::program(), arguments);
    QVERIFY(kit.waitForFinished(5000));
    QCOMPARE(kit.exitCode(), 2);
    const QByteArray error = kit.readAllStandardError();
    QVERIFY2(error.startsWith("zorvan-kit: ") && error.count('\n') == 1, error.constData());
}

void KitTest::portInUse()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QProcess kit;
    kit.start(KitProcess::program(),
              { "--listen", QStringLiteral("127.0.0.1:%1").arg(taken.serverPort()) });
    QVERIFY(kit.waitForFinished(5000));
    QCOMPARE(kit.exitCode(), 2);
    QCOMPARE(kit.readAllStandardError().count('\n'), 1);
}

void KitTest::helpNamesEveryOption()
{
    QProcess kit;
    kit.start(KitProcess::program(), { "--help" });
    QVERIFY(kit.waitForFinished(5000));
    QCOMPARE(kit.exitCode(), 0);
    const QByteArray help = kit.readAllStandardOutput();
    for (const char *option :
         { "--listen", "--serial", "--rate", "--count", "--seed", "--noise-cm", "--chop",
           "--garbage", "--print-frames", "--hangup-after", "--drop-after", "--help" })
        QVERIFY2(help.contains(option), option);
}

void KitTest::stopsCleanlyOnSignal_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("SIGTERM") << false;
    QTest::newRow("Ctrl+C") << true;
}

void KitTest::stopsCleanlyOnSignal()
{
    QFETCH(bool, interrupt);
    KitProcess kit;
    QVERIFY(kit.start({ "--serial" }));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, kit.port());
    QVERIFY(client.waitForConnected(2000));
    QVERIFY(client.waitForReadyRead(2000));
    ::kill(pid_t(kit.process().processId()), interrupt ? SIGINT : SIGTERM);
    QVERIFY(kit.waitForExit(5000));
}

// Junk, a truncated command and a command with a wrong tail are reported and skipped; the
// command after them is applied, and frames keep coming throughout.
void KitTest::badInputIsReportedAndSkipped()
{
    KitProcess kit;
    QVERIFY(kit.start({ "--rate", "100" }));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, kit.port());
    QVERIFY(client.waitForConnected(2000));

    QRandomGenerator random(3);
    QByteArray junk(5000, '\0');
    for (char &c : junk)
        c = char(random.bounded(256));
    QByteArray badTail = workedCommand;
    badTail[32] = 0;
    client.write(junk + workedCommand.left(20) + badTail);
    client.write(workedCommand);
    client.flush();

    QVERIFY(kit.waitFor([&] { return !kit.lines().filter("tcp: config:").isEmpty(); }, 5000));
    QVERIFY(!kit.lines().filter("tcp: skipped").isEmpty());
    QCOMPARE(kit.lines().filter("tcp: config:").size(), 1);
    QVERIFY(
        kit.lines().filter("tcp: config:").first().endsWith("anchor 3 at (0, 500, 250) cm; tag 5"));

    QByteArray received;
    QVERIFY(kit.waitFor([&] { return framesIn(received += client.readAll()) >= 20; }, 5000));
    QCOMPARE(kit.process().state(), QProcess::Running);
}

void KitTest::badInputOnSerial()
{
    KitProcess kit;
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
    QVERIFY(kit.waitFor([&] { return !kit.lines().filter("serial: config:").isEmpty(); }, 5000));
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
        5000));
    ::close(fd);
}

QTEST_GUILESS_MAIN(KitTest)
#include "tst_kit.moc"
