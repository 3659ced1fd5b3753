#include "app/mainwindow.h"
#include "link/positionreport.h"
#include "testsupport.h"
#include "toolprocess.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QQueue>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// AddressSanitizer holds freed memory back for a while, so under it resident size says nothing.
#ifdef __SANITIZE_ADDRESS__
constexpr bool MeasuresMemory = false;
#else
constexpr bool MeasuresMemory = true;
#endif
// A window that does not answer for a second looks frozen to its user.
constexpr qint64 MaxStallMs = 1000;

QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        warnings << message;
    previousHandler(type, context, message);
}

// The fields a viewer shows of a report, as one comparable line.
QString summary(const PositionReport &r)
{
    return QStringLiteral("%1 %2,%3,%4 %5,%6,%7,%8")
        .arg(r.tagId)
        .arg(centimetres(r.tagX))
        .arg(centimetres(r.tagY))
        .arg(centimetres(r.tagZ))
        .arg(r.range[0])
        .arg(r.range[1])
        .arg(r.range[2])
        .arg(r.range[3]);
}

QString summary(const QString &hex)
{
    PositionReport report;
    decodePositionReport(QByteArray::fromHex(hex.toLatin1()), report);
    return summary(report);
}

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyFrameExactlyOnce_data();
    void everyFrameExactlyOnce();
    void hostilePeer();
};

void SoakTest::initTestCase()
{
    previousHandler = qInstallMessageHandler(collectWarnings);
}

void SoakTest::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void SoakTest::everyFrameExactlyOnce_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("tcp") << false;
    QTest::newRow("pseudo-terminal") << true;
}

// 20,000 frames, chopped, with junk before almost a third of them: each is shown once, in
// order, nothing else is shown, memory stays flat and Qt has nothing to complain about.
void SoakTest::everyFrameExactlyOnce()
{
    QFETCH(bool, serial);
    const int frames = 20000;
    warnings.clear();

    ToolProcess kit;
    QStringList arguments = { "--rate", "0",          "--count", QString::number(frames),
                              "--chop", "--garbage",  "0.3",     "--seed",
                              "11",     "--noise-cm", "5",       "--print-frames" };
    if (serial)
        arguments << "--serial";
    QVERIFY(kit.start(arguments));

    // Sent and shown reports are matched as they come, so that the test itself keeps no
    // growing record and the resident size is the viewer's.
    QQueue<QString> sentQueue;
    QQueue<QString> shownQueue;
    int matched = 0;
    int shown = 0;
    QString firstMismatch;
    auto match = [&] {
        while (!sentQueue.isEmpty() && !shownQueue.isEmpty()) {
            const QString sent = sentQueue.dequeue();
            const QString seen = shownQueue.dequeue();
            if (sent != seen && firstMismatch.isEmpty())
                firstMismatch
                    = QStringLiteral("report %1: shown %2, sent %3").arg(matched).arg(seen, sent);
            ++matched;
        }
    };
    QByteArray pendingOutput;
    int sentCount = 0;
    connect(&kit.process(), &QProcess::readyReadStandardOutput, this, [&] {
        pendingOutput += kit.process().readAllStandardOutput();
        int end;
        while ((end = pendingOutput.indexOf('\n')) >= 0) {
            const QByteArray line = pendingOutput.left(end);
            pendingOutput.remove(0, end + 1);
            if (line.size() == 104) {
                sentQueue.enqueue(summary(QString::fromLatin1(line)));
                ++sentCount;
            }
        }
        match();
    });

    MainWindow window;
    window.show();
    long residentAt2000 = 0;
    connect(&window, &MainWindow::sendAnalyzeData, this, [&] {
        shownQueue.enqueue(summary(window.currentReport()));
        if (++shown == 2000)
            residentAt2000 = residentKiB();
        match();
    });

    QVERIFY(serial ? testsupport::openSerialLink(window, kit.serialPath())
                   : testsupport::connectTcpLink(window, kit.port()));

    QVERIFY(kit.waitFor([&] { return shown >= frames; }, 240000));
    QVERIFY(kit.waitForExit(PatienceMs));
    QTest::qWait(200);
    const long residentAtEnd = residentKiB();

    QCOMPARE(sentCount, frames);
    QCOMPARE(shown, frames);
    QCOMPARE(matched, frames);
    QVERIFY2(firstMismatch.isEmpty(), qPrintable(firstMismatch));
    QVERIFY2(!MeasuresMemory || residentAtEnd - residentAt2000 < 4096,
             qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(residentAt2000).arg(residentAtEnd)));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    qInfo("%d frames; resident %ld KiB after 2,000, %ld KiB after %d", frames, residentAt2000,
          residentAtEnd, frames);
}

// 50 MB or more of random bytes, then frames with a broken marker, then good frames: nothing is
// invented, memory stays bounded, the window keeps answering, and good frames get through.
void SoakTest::hostilePeer()
{
    constexpr qint64 JunkBytes = 50 * 1024 * 1024;
    constexpr int Chunk = 64 * 1024;
    constexpr int BrokenFrames = 2000;
    constexpr int GoodFrames = 100;
    // Long enough that a window which reads until nothing is left stalls for all of it.
    constexpr qint64 FloodMs = 5000;
    constexpr qint64 FloodTimeoutMs = 120000;

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    MainWindow window;
    window.show();
    int shown = 0;
    connect(&window, &MainWindow::sendAnalyzeData, this, [&] { ++shown; });
    QVERIFY(testsupport::connectTcpLink(window, server.serverPort()));
    QVERIFY(server.waitForNewConnection(PatienceMs));
    QTcpSocket *peer = server.nextPendingConnection();

    // The flood comes from another thread, as from a kit: always more to read than the window
    // has taken, so a window that reads until nothing is left would never answer again.
    std::atomic<qint64> sent { 0 };
    std::atomic<bool> flooding { true };
    std::thread flood([fd = int(peer->socketDescriptor()), &sent, &flooding] {
        QRandomGenerator random(2024);
        QByteArray chunk(Chunk, '\0');
        QElapsedTimer clock;
        clock.start();
        while ((sent < JunkBytes || clock.elapsed() < FloodMs)
               && clock.elapsed() < FloodTimeoutMs) {
            random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), Chunk / 4);
            for (qint64 at = 0; at < Chunk && clock.elapsed() < FloodTimeoutMs;) {
                pollfd writable { fd, POLLOUT, 0 };
                if (::poll(&writable, 1, 100) <= 0)
                    continue;
                const ssize_t n = ::send(fd, chunk.constData() + at, size_t(Chunk - at),
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    at += n;
            }
            sent += Chunk;
        }
        flooding = false;
    });

    // A user who clicks meanwhile waits at most for one gap between these ticks. Hundreds of
    // milliseconds are noticed; this machine shows tens.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer tick;
    tick.setInterval(10);
    connect(&tick, &QTimer::timeout, this,
            [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
    sinceTick.start();
    tick.start();
    const long residentBefore = residentKiB();
    long residentPeak = residentBefore;
    QElapsedTimer clock;
    clock.start();
    while (flooding && clock.elapsed() < FloodTimeoutMs) {
        QTest::qWait(20);
        residentPeak = qMax(residentPeak, residentKiB());
    }
    flood.join();
    tick.stop();
    QVERIFY(sent >= JunkBytes);
    QTest::qWait(500);
    const int fromJunk = shown;

    ReportFields fields;
    fields.tagId = 42;
    QByteArray broken;
    for (int i = 0; i < BrokenFrames; ++i) {
        QByteArray frame = encodePositionReport(fields);
        frame[i % 2 ? 1 : 51] = 'x';
        broken += frame;
    }
    peer->write(broken);
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesToWrite(), qint64(0), PatienceMs);
    QTest::qWait(100);
    QCOMPARE(shown, fromJunk);

    QByteArray good;
    for (int i = 0; i < GoodFrames; ++i)
        good += encodePositionReport(fields);
    peer->write(good);
    QTRY_COMPARE_WITH_TIMEOUT(shown, fromJunk + GoodFrames, PatienceMs);
    QCOMPARE(window.currentReport().tagId, 42);

    // Random bytes of this seed hold no well-formed frame.
    QCOMPARE(fromJunk, 0);
    QVERIFY2(longestGap < MaxStallMs,
             qPrintable(QStringLiteral("the window did not answer for %1 ms").arg(longestGap)));
    QVERIFY2(!MeasuresMemory || residentPeak - residentBefore < 64 * 1024,
             qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(residentBefore).arg(residentPeak)));
    qInfo("%lld MB of junk: longest event-loop gap %lld ms; resident %ld KiB, peak %ld KiB",
          sent / (1024 * 1024), longestGap, residentBefore, residentPeak);
}

QTEST_MAIN(SoakTest)
#include "tst_soak.moc"
