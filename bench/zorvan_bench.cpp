#include "app/mainwindow.h"
#include "broker.h"
#include "display/planscene.h"
#include "display/rangetable.h"
#include "link/framereader.h"
#include "link/positionreport.h"
#include "statistics.h"
#include "testsupport.h"
#include "toolprocess.h"
#include "trilateration.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// Frame i of a tag walking a loop among four anchors 5 m by 4 m apart, with the ranges a kit
// measures: the true distances. The range circles are as large, and move as much, as a real
// kit's, which is most of what painting costs.
QByteArray frame(int i)
{
    constexpr int Loop = 400;
    const double angle = 2 * M_PI * (i % Loop) / Loop;
    ReportFields fields
        = testsupport::fieldsAmongAnchors(5, int(std::lround(250 + 150 * std::cos(angle))),
                                          int(std::lround(200 + 120 * std::sin(angle))), 120);
    for (int k = 0; k < 4; ++k)
        fields.range[k] = int(
            std::lround(std::hypot(fields.tagX - fields.anchorX[k], fields.tagY - fields.anchorY[k],
                                   fields.tagZ - fields.anchorZ[k])));
    return encodePositionReport(fields);
}

void BM_Decode(benchmark::State &state)
{
    const QByteArray bytes = frame(1);
    PositionReport report;
    for (auto _ : state) {
        decodePositionReport(bytes.constData(), bytes.size(), report);
        benchmark::DoNotOptimize(report);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Decode);

// A stream of frames with junk between them, cut into arrivals of random size.
void BM_FrameReader(benchmark::State &state)
{
    QRandomGenerator random(9);
    QByteArray stream;
    while (stream.size() < 4 * 1024 * 1024) {
        const int junk = int(random.bounded(0, 40));
        for (int i = 0; i < junk; ++i)
            stream.append(char(random.bounded(256)));
        stream += frame(stream.size());
    }
    QList<QByteArray> arrivals;
    for (int at = 0; at < stream.size();) {
        const int size = int(random.bounded(1, 4096));
        arrivals << stream.mid(at, size);
        at += size;
    }
    qint64 frames = 0;
    for (auto _ : state) {
        FrameReader reader;
        for (const QByteArray &arrival : arrivals) {
            reader.append(arrival);
            while (reader.nextFrame())
                ++frames;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
    state.counters["frames"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrameReader)->Unit(benchmark::kMillisecond);

// One whole report as the window handles it: decode, plan, table; the event loop runs between
// reports but is not timed. Argument: how far out an anchor once was, in cm (0: never).
void BM_Report(benchmark::State &state)
{
    MainWindow window;
    window.show();
    auto *scene = window.findChild<PlanScene *>();
    auto *table = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
    PositionReport report;
    if (state.range(0) > 0) {
        ReportFields far;
        far.anchorX[1] = int(state.range(0));
        decodePositionReport(encodePositionReport(far), report);
        scene->showReport(report);
        QApplication::processEvents();
    }
    QList<QByteArray> frames;
    for (int i = 0; i < 64; ++i)
        frames << frame(i);
    int i = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray &bytes = frames.at(i++ % frames.size());
        decodePositionReport(bytes.constData(), bytes.size(), report);
        scene->showReport(report);
        refreshRangeTable(table, report);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        QApplication::processEvents();
    }
    state.counters["items"] = double(scene->items().size());
}
BENCHMARK(BM_Report)->Arg(0)->Arg(30000)->UseManualTime()->Unit(benchmark::kMillisecond);

// One paint of the plan's view as it stands after a kit's frame, rendered straight into an
// image, without the event loop: range(0) 1 hides the four range circles, to show their share.
void BM_PlanPaint(benchmark::State &state)
{
    MainWindow window;
    window.show();
    auto *scene = window.findChild<PlanScene *>();
    PositionReport report;
    decodePositionReport(frame(0), report);
    scene->showReport(report);
    if (state.range(0) == 1) {
        for (QGraphicsItem *item : scene->items()) {
            auto *ellipse = qgraphicsitem_cast<QGraphicsEllipseItem *>(item);
            if (ellipse && ellipse->brush().style() == Qt::NoBrush)
                ellipse->hide();
        }
    }
    QWidget *viewport = window.findChild<QGraphicsView *>()->viewport();
    QImage image(viewport->size(), QImage::Format_RGB32);
    for (auto _ : state)
        viewport->render(&image);
}
BENCHMARK(BM_PlanPaint)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Scenes the plan can be in, since its grid only grows: 0 the smallest, 1 after one anchor
// range of 65535 (what a kit may send for a missing measurement), 2 after the 16-bit extremes.
void growScene(PlanScene *scene, int kind)
{
    if (kind == 0)
        return;
    ReportFields far;
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        far.range[k] = k == 0 || kind == 2 ? 65535 : 0;
        if (kind == 2) {
            far.anchorX[k] = k % 2 ? 32767 : -32768;
            far.anchorY[k] = k < 2 ? 32767 : -32768;
        }
    }
    PositionReport report;
    decodePositionReport(encodePositionReport(far), report);
    scene->showReport(report);
}

// Paints last of all in the viewport, after the plan: the moment a report is on screen.
class PaintProbe : public QWidget
{
public:
    explicit PaintProbe(QWidget *parent, std::function<void()> painted)
        : QWidget(parent)
        , m_painted(std::move(painted))
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(0, 0, 1, 1);
        show();
    }

protected:
    void paintEvent(QPaintEvent *) override { m_painted(); }

private:
    std::function<void()> m_painted;
};

// The serial line's maximum: 115200 baud, ten bits a byte, 52 bytes a frame.
constexpr double LineRate = 115200.0 / 10 / 52;

// Sleeps in the event loop, as a viewer would, until `until` on the clock.
void runUntil(const QElapsedTimer &clock, qint64 until)
{
    const qint64 left = until - clock.nsecsElapsed();
    if (left <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(int((left + 999'999) / 1'000'000), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec();
}

// Writes `frames` to `kit` one at a time at the line's rate from `start` on the clock, and
// returns when each went out.
QList<qint64> writePaced(QIODevice &kit, const QByteArray &frames, const QElapsedTimer &clock,
                         qint64 start)
{
    const qint64 interval = qint64(1e9 / LineRate);
    QList<qint64> written;
    for (int i = 0; i < frames.size() / ReportFrame::Size; ++i) {
        runUntil(clock, start + i * interval);
        written << clock.nsecsElapsed();
        kit.write(frames.mid(i * ReportFrame::Size, ReportFrame::Size));
        if (auto *socket = qobject_cast<QAbstractSocket *>(&kit))
            socket->flush();
    }
    return written;
}

// Frames through the window's real network link, as users see them: range(0) frames per
// write (1: one at a time at the line's rate, each repainted as the view sees fit; more: one
// burst per iteration), range(1) the scene (see growScene). Counters: the process's CPU per
// report and its share of a core, and the time from a write until its report is painted.
void BM_NetworkReports(benchmark::State &state)
{
    const int burst = int(state.range(0));
    const bool paced = burst == 1;
    const int perIteration = paced ? int(LineRate) : burst;
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    MainWindow window;
    window.show();
    auto *scene = window.findChild<PlanScene *>();
    growScene(scene, int(state.range(1)));
    window.findChild<QLineEdit *>("ipLineEdit")->setText(QStringLiteral("127.0.0.1"));
    window.findChild<QLineEdit *>("portLineEdit")->setText(QString::number(server.serverPort()));
    window.findChild<QPushButton *>("wifiPushBtn")->click();
    server.waitForNewConnection(2000);
    QTcpSocket *peer = server.nextPendingConnection();

    QElapsedTimer clock;
    clock.start();
    qint64 reports = 0;
    qint64 painted = 0;
    // A frame arrives when it is written (one at a time) or, in a burst, when its report is
    // announced: the link hands a burst over in pieces.
    QList<qint64> arrivals;
    QList<double> latencies;
    QObject::connect(&window, &MainWindow::sendAnalyzeData, [&] {
        ++reports;
        if (!paced)
            arrivals << clock.nsecsElapsed();
    });
    PaintProbe probe(window.findChild<QGraphicsView *>()->viewport(), [&] {
        // The newest report announced by now is the one this paint shows.
        if (painted < reports && arrivals.size() >= reports - painted) {
            const qint64 arrived = arrivals.at(int(reports - painted - 1));
            if (paced || reports % burst == 0)
                latencies << double(clock.nsecsElapsed() - arrived) / 1e6;
            arrivals = arrivals.mid(int(reports - painted));
            painted = reports;
        }
    });
    runUntil(clock, clock.nsecsElapsed() + 100'000'000);

    QByteArray bytes;
    for (int i = 0; i < burst; ++i)
        bytes += frame(i);
    const qint64 interval = qint64(1e9 / LineRate);
    double cpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        latencies.clear();
        const qint64 target = reports + perIteration;
        const double cpuBefore = ownCpuSeconds();
        const qint64 start = clock.nsecsElapsed();
        for (int i = 0; i < (paced ? perIteration : 1); ++i) {
            runUntil(clock, start + i * interval);
            if (paced)
                arrivals << clock.nsecsElapsed();
            peer->write(paced ? frame(i) : bytes);
            peer->flush();
        }
        while (reports < target || painted < reports)
            runUntil(clock, clock.nsecsElapsed() + 1'000'000);
        const double elapsed = double(clock.nsecsElapsed() - start) / 1e9;
        state.SetIterationTime(elapsed);
        cpu += ownCpuSeconds() - cpuBefore;
        seconds += elapsed;
        state.counters["latency_median_ms"] = tools::percentile(latencies, 0.5);
        state.counters["latency_max_ms"] = tools::percentile(latencies, 1);
    }
    const double total = double(state.iterations()) * perIteration;
    state.counters["cpu_ms_per_report"] = cpu * 1000 / total;
    state.counters["cpu_share"] = cpu / seconds;
    state.counters["items"] = double(scene->items().size());
}
BENCHMARK(BM_NetworkReports)
    ->ArgsProduct({ { 1, 500, 1000 }, { 0, 1, 2 } })
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A kit, a viewer and, for range(0) > 0, the tap between them (2: recording and writing CSV
// too). The kit sends `range(1)` frames as fast as the links take them (0: one at a time at
// the serial line's rate, for five seconds). Counters: frames per second through, the median
// and largest time from the kit's write to the viewer's read, and the tap's share of a core.
void BM_Tap(benchmark::State &state)
{
    const int mode = int(state.range(0));
    const bool paced = state.range(1) == 0;
    // Five seconds: /proc counts CPU time in ticks of 10 ms.
    const int frames = paced ? int(5 * LineRate) : int(state.range(1));
    QTcpServer kitServer;
    kitServer.listen(QHostAddress::LocalHost, 0);
    ToolProcess tap("zorvan-tap");
    const QTemporaryDir dir;
    quint16 viewerPort = kitServer.serverPort();
    if (mode > 0) {
        QStringList arguments { "--kit", QStringLiteral("127.0.0.1:%1").arg(kitServer.serverPort()),
                                "--quiet", "--force" };
        if (mode == 2)
            arguments << "--record" << dir.filePath("run.zvcap") << "--csv"
                      << dir.filePath("run.csv");
        tap.start(arguments);
        viewerPort = tap.port();
    }
    QTcpSocket viewer;
    viewer.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    viewer.connectToHost(QHostAddress::LocalHost, viewerPort);
    viewer.waitForConnected(2000);
    kitServer.waitForNewConnection(2000);
    QTcpSocket *kit = kitServer.nextPendingConnection();
    if (!kit || viewer.state() != QAbstractSocket::ConnectedState) {
        state.SkipWithError("the kit, tap and viewer did not connect");
        return;
    }
    kit->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // The viewer counts once the tap has taken it on: a first frame must come through.
    QElapsedTimer clock;
    clock.start();
    qint64 received = 0;
    QList<qint64> written;
    QList<double> latencies;
    QObject::connect(&viewer, &QTcpSocket::readyRead, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 before = received / ReportFrame::Size;
        received += viewer.readAll().size();
        for (qint64 f = before; f < received / ReportFrame::Size && f < written.size(); ++f)
            latencies << double(now - written.at(int(f))) / 1e6;
    });
    const auto waitFor = [&](qint64 bytes) {
        QElapsedTimer waited;
        waited.start();
        while (received < bytes && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        return received >= bytes;
    };
    for (int i = 0; i < 50 && received == 0; ++i) {
        kit->write(frame(0));
        kit->flush();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    QTest::qWait(100);
    QCoreApplication::processEvents();
    QByteArray burst;
    for (int i = 0; i < frames; ++i)
        burst += frame(i);
    double tapCpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        // Frame numbers count from here, whatever came before.
        received = 0;
        written.clear();
        latencies.clear();
        const double cpuBefore = mode > 0 ? tap.cpuSeconds() : 0;
        const qint64 start = clock.nsecsElapsed();
        if (paced) {
            written = writePaced(*kit, burst, clock, start);
        } else {
            for (int i = 0; i < frames; ++i)
                written << start;
            kit->write(burst);
        }
        if (!waitFor(qint64(frames) * ReportFrame::Size)) {
            state.SkipWithError("frames were lost");
            return;
        }
        const double elapsed = double(clock.nsecsElapsed() - start) / 1e9;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        tapCpu += mode > 0 ? tap.cpuSeconds() - cpuBefore : 0;
        state.counters["latency_median_ms"] = tools::percentile(latencies, 0.5);
        state.counters["latency_max_ms"] = tools::percentile(latencies, 1);
    }
    state.counters["frames_per_s"] = double(frames) * double(state.iterations()) / seconds;
    state.counters["tap_cpu_share"] = tapCpu / seconds;
}
BENCHMARK(BM_Tap)
    ->ArgsProduct({ { 0, 1, 2 }, { 0, 20000 } })
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The viewer against zorvan-kit over loopback TCP, display running. With range(0) == 0 the kit
// sends as fast as the link takes frames and the counter is the rate the viewer sustains; with
// a rate, the counter is the share of one core the viewer uses.
void BM_EndToEnd(benchmark::State &state)
{
    const int rate = int(state.range(0));
    const int frames = rate == 0 ? 20000 : rate * 10;
    for (auto _ : state) {
        ToolProcess kit;
        kit.start({ "--rate", QString::number(rate), "--count", QString::number(frames) });
        const quint16 port = kit.port();
        MainWindow window;
        window.show();
        QEventLoop loop;
        qint64 reports = 0;
        QObject::connect(&window, &MainWindow::sendAnalyzeData, [&] {
            if (++reports >= frames)
                loop.quit();
        });
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        window.findChild<QLineEdit *>("ipLineEdit")->setText(QStringLiteral("127.0.0.1"));
        window.findChild<QLineEdit *>("portLineEdit")->setText(QString::number(port));
        const double cpuBefore = ownCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        window.findChild<QPushButton *>("wifiPushBtn")->click();
        loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["frames"] = double(reports);
        state.counters["frames_per_s"] = double(reports) / seconds;
        state.counters["cpu_share"] = (ownCpuSeconds() - cpuBefore) / seconds;
        kit.waitForExit(PatienceMs);
    }
}
BENCHMARK(BM_EndToEnd)
    ->Arg(0)
    ->Arg(221)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The tap's own solve of one frame, from a start below the anchors, as it does for every frame.
void BM_Trilaterate(benchmark::State &state)
{
    const tools::Anchors anchors { Eigen::Vector3d(0, 0, 230), Eigen::Vector3d(500, 0, 260),
                                   Eigen::Vector3d(500, 400, 240), Eigen::Vector3d(0, 400, 250) };
    QList<tools::Ranges> frames;
    QRandomGenerator random(5);
    for (int i = 0; i < 1024; ++i) {
        const Eigen::Vector3d tag(random.bounded(500), random.bounded(400), 120);
        tools::Ranges ranges;
        for (size_t k = 0; k < 4; ++k)
            ranges[k] = std::round((tag - anchors[k]).norm()) + random.bounded(-3, 4);
        frames << ranges;
    }
    int i = 0;
    for (auto _ : state) {
        const tools::Fix fix = tools::trilaterate(anchors, frames.at(i++ % frames.size()),
                                                  tools::startBelow(anchors));
        benchmark::DoNotOptimize(fix);
    }
}
BENCHMARK(BM_Trilaterate);

// zorvan-tap --calibrate on ten minutes of a kit at the line's rate (132,600 frames, anchor 1
// typed a metre off, 3 cm of noise, the tag walking), timed from outside as a user runs it.
void BM_Calibrate(benchmark::State &state)
{
    const QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("walk.zvcap"));
    {
        ToolProcess kit;
        ToolProcess tap("zorvan-tap");
        kit.start({ "--rate", "0", "--count", "132600", "--path", "walk", "--noise-cm", "3",
                    "--misplace", "1:100,-60", "--layout",
                    "0:0,0,230 1:500,0,260 2:500,400,240 3:0,400,250" });
        tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--record", capture,
                    "--quiet" });
        if (!kit.waitForExit(120000)) {
            state.SkipWithError("the kit did not finish");
            return;
        }
        QTest::qWait(500);
        tap.process().terminate();
        tap.waitForExit(PatienceMs);
    }
    QByteArray output;
    for (auto _ : state) {
        QProcess calibrate;
        QElapsedTimer clock;
        clock.start();
        calibrate.start(ToolProcess::program("zorvan-tap"), { "--calibrate", capture, "--json" });
        calibrate.waitForFinished(60000);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        output = calibrate.readAllStandardOutput();
    }
    const QJsonObject result = QJsonDocument::fromJson(output).object();
    state.counters["frames_read"] = result.value("frames_read").toDouble();
    state.counters["frames_used"] = result.value("frames").toDouble();
}
BENCHMARK(BM_Calibrate)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The tap publishing to a local mosquitto, a subscriber (mosquitto_sub) reading everything.
// range(0) 0: frames one at a time at the line's rate for five seconds; counters are the
// latency from the kit's write to the subscriber's receipt and the tap's share of a core.
// Otherwise that many frames in one write: the counter is reports published a second.
void BM_Mqtt(benchmark::State &state)
{
    const bool paced = state.range(0) == 0;
    const int frames = paced ? int(5 * LineRate) : int(state.range(0));
    Broker broker;
    QTcpServer kitServer;
    kitServer.listen(QHostAddress::LocalHost, 0);
    if (!broker.start()) {
        state.SkipWithError("mosquitto did not start");
        return;
    }
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals; // by seq - 1
    QByteArray pending;
    QProcess subscriber;
    QObject::connect(&subscriber, &QProcess::readyReadStandardOutput, [&] {
        const qint64 now = clock.nsecsElapsed();
        pending += subscriber.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const int at = line.indexOf("\"seq\":");
            if (at >= 0)
                arrivals << now;
        }
    });
    subscriber.start(Broker::program("mosquitto_sub"),
                     { "-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                       "zorvan/bench/tag/+/position", "-q", "1" });
    subscriber.waitForStarted();
    ToolProcess tap("zorvan-tap");
    tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kitServer.serverPort()), "--quiet",
                "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()), "--kit-name",
                "bench" });
    kitServer.waitForNewConnection(PatienceMs);
    QTcpSocket *kit = kitServer.nextPendingConnection();
    if (!kit) {
        state.SkipWithError("the tap did not connect");
        return;
    }
    kit->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const auto waitFor = [&](int count) {
        QElapsedTimer waited;
        waited.start();
        while (arrivals.size() < count && waited.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return arrivals.size() >= count;
    };
    // The first report shows that the whole chain is up.
    for (int i = 0; i < 100 && arrivals.isEmpty(); ++i) {
        kit->write(frame(0));
        kit->flush();
        QTest::qWait(50);
    }
    QTest::qWait(200);
    QByteArray burst;
    for (int i = 0; i < frames; ++i)
        burst += frame(i);
    double seconds = 0;
    double tapCpu = 0;
    for (auto _ : state) {
        const int base = int(arrivals.size());
        QList<qint64> written;
        const double cpuBefore = tap.cpuSeconds();
        const qint64 start = clock.nsecsElapsed();
        if (paced) {
            written = writePaced(*kit, burst, clock, start);
        } else {
            kit->write(burst);
        }
        if (!waitFor(base + frames)) {
            state.SkipWithError("reports were lost");
            return;
        }
        const double elapsed = double(clock.nsecsElapsed() - start) / 1e9;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        tapCpu += tap.cpuSeconds() - cpuBefore;
        if (paced) {
            QList<double> latencies;
            for (int i = 0; i < frames; ++i)
                latencies << double(arrivals.at(base + i) - written.at(i)) / 1e6;
            state.counters["latency_median_ms"] = tools::percentile(latencies, 0.5);
            state.counters["latency_p99_ms"] = tools::percentile(latencies, 0.99);
        }
    }
    state.counters["reports_per_s"] = double(frames) * double(state.iterations()) / seconds;
    state.counters["tap_cpu_share"] = tapCpu / seconds;
}
BENCHMARK(BM_Mqtt)->Arg(0)->Arg(20000)->UseManualTime()->Unit(benchmark::kMillisecond);

// 32 browsers on the tap's page, fed one frame at a time at the line's rate for five seconds.
// Counters: the tap's share of a core, and for the reports a browser gets (the newest of each
// display frame), the time from the kit's write to the browser's receipt.
void BM_Web(benchmark::State &state)
{
    const int browsers = int(state.range(0));
    const int frames = int(5 * LineRate);
    QTcpServer kitServer;
    kitServer.listen(QHostAddress::LocalHost, 0);
    ToolProcess tap("zorvan-tap");
    tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kitServer.serverPort()), "--quiet",
                "--web", "127.0.0.1:0" });
    quint16 web = 0;
    tap.waitFor(
        [&] {
            for (const QString &line : tap.lines()) {
                if (line.startsWith(QLatin1String("web: http://127.0.0.1:")))
                    web = quint16(
                        line.section(QLatin1Char(':'), 3).remove(QLatin1Char('/')).toUInt());
            }
            return web != 0;
        },
        PatienceMs);
    kitServer.waitForNewConnection(PatienceMs);
    QTcpSocket *kit = kitServer.nextPendingConnection();
    if (!kit || !web) {
        state.SkipWithError("the tap did not start");
        return;
    }
    QElapsedTimer clock;
    clock.start();
    QHash<qint64, qint64> receivedAt; // seq -> time, at the first browser
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int open = 0;
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(web);
    for (int i = 0; i < browsers; ++i) {
        sockets.push_back(std::make_unique<QWebSocket>(origin));
        QWebSocket *socket = sockets.back().get();
        QObject::connect(socket, &QWebSocket::connected, [&] { ++open; });
        if (i == 0) {
            QObject::connect(socket, &QWebSocket::textMessageReceived, [&](const QString &text) {
                const int at = text.indexOf(QLatin1String("\"seq\":"));
                if (at >= 0)
                    receivedAt.insert(
                        text.mid(at + 6, 12).section(QLatin1Char(','), 0, 0).toLongLong(),
                        clock.nsecsElapsed());
            });
        }
        socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(web)));
    }
    QElapsedTimer waited;
    waited.start();
    while (open < browsers && waited.elapsed() < PatienceMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    QByteArray paced;
    for (int i = 0; i < frames; ++i)
        paced += frame(i);
    qint64 seq = 0;
    double seconds = 0;
    double tapCpu = 0;
    for (auto _ : state) {
        QHash<qint64, qint64> writtenAt;
        const double cpuBefore = tap.cpuSeconds();
        const qint64 start = clock.nsecsElapsed();
        for (qint64 at : writePaced(*kit, paced, clock, start))
            writtenAt.insert(++seq, at);
        QTest::qWait(200);
        const double elapsed = double(clock.nsecsElapsed() - start) / 1e9;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        tapCpu += tap.cpuSeconds() - cpuBefore;
        QList<double> latencies;
        for (auto it = writtenAt.cbegin(); it != writtenAt.cend(); ++it) {
            if (receivedAt.contains(it.key()))
                latencies << double(receivedAt.value(it.key()) - it.value()) / 1e6;
        }
        state.counters["latency_median_ms"] = tools::percentile(latencies, 0.5);
        state.counters["latency_max_ms"] = tools::percentile(latencies, 1);
        state.counters["received_per_s"] = double(latencies.size()) / elapsed;
    }
    state.counters["browsers"] = open;
    state.counters["tap_cpu_share"] = tapCpu / seconds;
}
BENCHMARK(BM_Web)->Arg(1)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond);

// Resident size after 1,000 and after 100,000 reports through the window's plan and table.
void BM_Memory(benchmark::State &state)
{
    for (auto _ : state) {
        MainWindow window;
        window.show();
        auto *scene = window.findChild<PlanScene *>();
        auto *table = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
        PositionReport report;
        long after1k = 0;
        for (int i = 1; i <= 100000; ++i) {
            const QByteArray bytes = frame(i);
            decodePositionReport(bytes.constData(), bytes.size(), report);
            scene->showReport(report);
            refreshRangeTable(table, report);
            if (i % 10 == 0)
                QApplication::processEvents();
            if (i == 1000)
                after1k = residentKiB();
        }
        const long after100k = residentKiB();
        state.counters["rss_1k_KiB"] = double(after1k);
        state.counters["rss_100k_KiB"] = double(after100k);
        state.counters["growth_KiB"] = double(after100k - after1k);
    }
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
