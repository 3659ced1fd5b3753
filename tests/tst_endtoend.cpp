#include "app/mainwindow.h"
#include "link/positionreport.h"
#include "testsupport.h"
#include "toolprocess.h"

#include <QComboBox>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <array>
#include <csignal>

using testsupport::connectTcpLink;
using testsupport::openSerialLink;

namespace {

// What the range table must show for a frame, computed from the frame alone.
QStringList expectedTable(const QByteArray &frame)
{
    const auto at = [&](int i) { return int(uchar(frame.at(i))); };
    const auto s16 = [&](int i) { return QString::number(qint16(at(i) << 8 | at(i + 1))); };
    QStringList cells;
    cells << QStringLiteral("Tag%1").arg(at(2));
    for (int k = 0; k < 4; ++k)
        cells << QStringLiteral("Anc%1").arg(at(9 + 3 * k));
    for (int k = 0; k < 4; ++k)
        cells << QString::number(at(10 + 3 * k) << 8 | at(11 + 3 * k));
    for (int axis = 0; axis < 3; ++axis) {
        cells << s16(3 + 2 * axis);
        for (int k = 0; k < 4; ++k)
            cells << s16(22 + 7 * k + 2 * axis);
    }
    return cells;
}

QStringList shownTable(QTableWidget *table)
{
    QStringList cells;
    for (int c = 0; c < 5; ++c)
        cells << table->horizontalHeaderItem(c)->text();
    for (int c = 1; c < 5; ++c)
        cells << table->item(0, c)->text();
    for (int r = 1; r < 4; ++r) {
        for (int c = 0; c < 5; ++c)
            cells << table->item(r, c)->text();
    }
    return cells;
}

QList<QPointF> anchorDiscCentres(QGraphicsScene *scene)
{
    QList<QPointF> centres;
    for (QGraphicsItem *item : scene->items(Qt::AscendingOrder)) {
        auto *disc = qgraphicsitem_cast<QGraphicsEllipseItem *>(item);
        if (disc && disc->brush().color() == QColor(Qt::blue) && disc->rect().width() == 20)
            centres << disc->rect().center();
    }
    return centres;
}

// A report as exact centimetres, however it was obtained.
QString reportText(int tagId, const std::array<int, 3> &tag, const std::array<int, 20> &anchors)
{
    QString text
        = QStringLiteral("tag %1 (%2, %3, %4)").arg(tagId).arg(tag[0]).arg(tag[1]).arg(tag[2]);
    for (int k = 0; k < 4; ++k) {
        const int *a = anchors.data() + 5 * k;
        text += QStringLiteral("; %1: %2 (%3, %4, %5)")
                    .arg(a[0])
                    .arg(a[1])
                    .arg(a[2])
                    .arg(a[3])
                    .arg(a[4]);
    }
    return text;
}

QString reportText(const PositionReport &r)
{
    std::array<int, 20> anchors;
    for (int k = 0; k < 4; ++k)
        anchors[size_t(5 * k)] = r.anchorId[k], anchors[size_t(5 * k + 1)] = r.range[k],
                           anchors[size_t(5 * k + 2)] = centimetres(r.anchorX[k]),
                           anchors[size_t(5 * k + 3)] = centimetres(r.anchorY[k]),
                           anchors[size_t(5 * k + 4)] = centimetres(r.anchorZ[k]);
    return reportText(r.tagId, { centimetres(r.tagX), centimetres(r.tagY), centimetres(r.tagZ) },
                      anchors);
}

QStringList reportTexts(const QStringList &hexFrames)
{
    QStringList texts;
    PositionReport report;
    for (const QString &hex : hexFrames) {
        decodePositionReport(QByteArray::fromHex(hex.toLatin1()), report);
        texts << reportText(report);
    }
    return texts;
}

// The CSV's rows as report texts; `residuals` gets every residual column.
// The frames of a CSV export, with the tap's fit of each: its RMS misfit and its distance from
// the kit's position.
QStringList csvTexts(const QString &path, QList<double> &rms, QList<double> &offsets)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList rows = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    if (rows.isEmpty() || !rows.takeFirst().startsWith(QLatin1String("time_s,tag_id,")))
        return {};
    QStringList texts;
    for (const QString &row : rows) {
        const QStringList cells = row.split(',');
        if (cells.size() != 35)
            return {};
        std::array<int, 20> anchors;
        for (int k = 0; k < 4; ++k) {
            for (int i = 0; i < 5; ++i)
                anchors[size_t(5 * k + i)] = cells.at(5 + 6 * k + i).toInt();
        }
        rms << cells.at(32).toDouble();
        offsets << cells.at(34).toDouble();
        texts << reportText(cells.at(1).toInt(),
                            { cells.at(2).toInt(), cells.at(3).toInt(), cells.at(4).toInt() },
                            anchors);
    }
    return texts;
}

QString localAddress(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

void stop(ToolProcess &process)
{
    ::kill(pid_t(process.process().processId()), SIGTERM);
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyFrameOnce_data();
    void everyFrameOnce();
    void linkLost_data();
    void linkLost();
    void throughTheTap();
    void tapKeepsItsViewers_data();
    void tapKeepsItsViewers();
    void configurationRoundTrip_data();
    void configurationRoundTrip();
    void screenshot();

private:
    MainWindow *window = nullptr;
};

void EndToEndTest::init()
{
    window = new MainWindow;
}

void EndToEndTest::cleanup()
{
    delete window;
    window = nullptr;
}

void EndToEndTest::everyFrameOnce_data()
{
    QTest::addColumn<bool>("serial");
    QTest::addColumn<QStringList>("faults");

    QTest::newRow("tcp, clean") << false << QStringList {};
    QTest::newRow("tcp, chopped with junk")
        << false << QStringList { "--chop", "--garbage", "0.2" };
    QTest::newRow("pseudo-terminal, clean") << true << QStringList {};
    QTest::newRow("pseudo-terminal, chopped with junk")
        << true << QStringList { "--chop", "--garbage", "0.2" };
}

void EndToEndTest::everyFrameOnce()
{
    QFETCH(bool, serial);
    QFETCH(QStringList, faults);
    const int frames = 300;

    ToolProcess kit;
    QStringList arguments = { "--rate", "400",        "--count", QString::number(frames), "--seed",
                              "7",      "--noise-cm", "3",       "--print-frames" };
    if (serial)
        arguments << "--serial";
    QVERIFY2(kit.start(arguments + faults), qPrintable(ToolProcess::program()));

    QSignalSpy reports(window, SIGNAL(sendAnalyzeData()));
    QVERIFY(reports.isValid());
    QVERIFY(serial ? openSerialLink(*window, kit.serialPath())
                   : connectTcpLink(*window, kit.port()));

    QVERIFY(kit.waitForExit(PatienceMs));
    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), frames, PatienceMs);
    QTest::qWait(100);
    QVERIFY2(reports.count() == frames,
             qPrintable(QStringLiteral("%1 of %2 frames shown; the kit said:\n%3")
                            .arg(reports.count())
                            .arg(frames)
                            .arg(kit.lines().filter(QRegularExpression("^[^0-9a-f]")).join('\n'))));

    const QStringList sent = kit.frames();
    QCOMPARE(sent.size(), frames);
    const QByteArray last = QByteArray::fromHex(sent.last().toLatin1());
    auto *table = window->findChild<QTableWidget *>("rangeDisplaytableWidget");
    QCOMPARE(shownTable(table), expectedTable(last));
}

void EndToEndTest::linkLost_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("adapter pulled out") << true;
    QTest::newRow("network module reboots") << false;
}

// The kit goes away mid-stream: the viewer goes idle, says what it must, and takes the kit
// back once it returns.
void EndToEndTest::linkLost()
{
    QFETCH(bool, serial);
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "100", serial ? "--serial" : "--print-frames",
                        serial ? "--hangup-after" : "--drop-after", "20" }));
    QSignalSpy reports(window, SIGNAL(sendAnalyzeData()));
    auto *serialButton = window->findChild<QPushButton *>("serialPushBtn");
    auto *wifiButton = window->findChild<QPushButton *>("wifiPushBtn");
    const QString firstPath = kit.serialPath();
    QVERIFY(serial ? openSerialLink(*window, firstPath) : connectTcpLink(*window, kit.port()));

    const QString lost = serial ? QStringLiteral("^Zorvan: serial link lost: ")
                                : QStringLiteral("^Zorvan: network link error: .*closed");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(lost));
    QVERIFY(kit.waitFor(
        [&] { return !kit.lines().filter(QRegularExpression("hung up|dropped")).isEmpty(); },
        PatienceMs));
    QVERIFY(reports.count() > 0);
    if (serial) {
        QTRY_COMPARE_WITH_TIMEOUT(serialButton->text(), QStringLiteral("Open"), PatienceMs);
        QVERIFY(window->findChild<QComboBox *>("serialComboBox")->isEnabled());
        QVERIFY(wifiButton->isEnabled());
    } else {
        QTest::qWait(200);
        QCOMPARE(wifiButton->text(), QStringLiteral("Disconnect"));
    }
    const double cpu = testsupport::cpuSecondsDuring(1000);
    QVERIFY2(cpu < 0.1, qPrintable(QStringLiteral("%1 s of CPU in an idle second").arg(cpu)));

    if (serial) {
        // The kit offers its terminal again a second after the hang-up.
        const auto replugged = [&] {
            const QStringList lines = kit.lines();
            const int hungUp = lines.indexOf(QRegularExpression("^serial: .* hung up$"));
            return lines.indexOf(QRegularExpression("^serial: /\\S+$"), hungUp) > hungUp;
        };
        QVERIFY(kit.waitFor(replugged, PatienceMs));
    } else {
        QTest::mouseClick(wifiButton, Qt::LeftButton);
        QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
    }
    const int before = reports.count();
    QVERIFY(serial ? openSerialLink(*window, kit.serialPath())
                   : connectTcpLink(*window, kit.port()));
    QTRY_VERIFY_WITH_TIMEOUT(reports.count() > before, PatienceMs);
}

// Kit, tap and viewer as users run them, with a stream that is chopped and salted with junk:
// the viewer shows each frame once from when it attached, the CSV holds every frame to the cm,
// and the capture replayed gives the viewer the very same reports.
void EndToEndTest::throughTheTap()
{
    const int frames = 300;
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "400", "--count", QString::number(frames), "--seed", "7",
                        "--noise-cm", "3", "--print-frames", "--chop", "--garbage", "0.2" }));
    const QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("run.zvcap"));
    const QString csv = dir.filePath(QStringLiteral("run.csv"));
    ToolProcess tap("zorvan-tap");
    QVERIFY(tap.start({ "--kit", localAddress(kit.port()), "--record", capture, "--csv", csv }));
    QStringList shown;
    connect(window, &MainWindow::sendAnalyzeData, this,
            [&] { shown << reportText(window->currentReport()); });
    QVERIFY(connectTcpLink(*window, tap.port()));

    QVERIFY(kit.waitForExit(PatienceMs));
    const QStringList sent = reportTexts(kit.frames());
    QCOMPARE(sent.size(), frames);
    // The kit served the tap a moment before the viewer attached to it.
    QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty() && shown.last() == sent.last(), PatienceMs);
    QVERIFY2(shown.size() > frames / 2, qPrintable(QString::number(shown.size())));
    QCOMPARE(shown, sent.mid(frames - shown.size()));
    QVERIFY(tap.waitFor([&] { return !tap.errorLines().filter("kit link lost").isEmpty(); },
                        PatienceMs));
    stop(tap);
    QVERIFY(tap.waitForExit(PatienceMs));

    // Ranges 3 cm off at most fit within 3 cm RMS, and the tap's solution is the kit's but for
    // the kit's rounding to whole cm.
    QList<double> rms, offsets;
    QCOMPARE(csvTexts(csv, rms, offsets), sent);
    QVERIFY2(*std::max_element(rms.cbegin(), rms.cend()) <= 3,
             qPrintable(QString::number(rms.first())));
    QVERIFY2(*std::max_element(offsets.cbegin(), offsets.cend()) <= 1,
             qPrintable(QString::number(offsets.first())));

    QTest::mouseClick(window->findChild<QPushButton *>("wifiPushBtn"), Qt::LeftButton);
    shown.clear();
    ToolProcess replay;
    QVERIFY(replay.start({ "--replay", capture, "--speed", "0" }));
    QVERIFY(connectTcpLink(*window, replay.port()));
    QVERIFY(replay.waitForExit(PatienceMs));
    QTRY_COMPARE_WITH_TIMEOUT(shown.size(), frames, PatienceMs);
    QCOMPARE(shown, sent);
}

void EndToEndTest::tapKeepsItsViewers_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("adapter pulled out") << true;
    QTest::newRow("network module reboots") << false;
}

// The kit goes away under the tap: its viewer stays attached and gets reports again once the
// kit is back, recording goes on, and an anchor configured 1 m off makes the layout
// inconsistent, live and in the summary, without a single frame's misfit naming an anchor.
void EndToEndTest::tapKeepsItsViewers()
{
    QFETCH(bool, serial);
    ToolProcess kit;
    QStringList faults { "--serial", "--hangup-after", "20" };
    if (!serial)
        faults = QStringList { "--drop-after", "20" };
    QVERIFY(kit.start(QStringList { "--rate", "100", "--misplace", "1:100,0" } + faults));
    // A stable name for the adapter, as udev gives one, that follows the kit's new terminal.
    const QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("kit-tty"));
    QString linked;
    const auto follow = [&] {
        if (kit.serialPath() != linked) {
            QFile::remove(device);
            QFile::link(linked = kit.serialPath(), device);
        }
    };
    if (serial)
        follow();
    const QString capture = dir.filePath(QStringLiteral("run.zvcap"));
    ToolProcess tap("zorvan-tap");
    QVERIFY(
        tap.start({ "--kit", serial ? device : localAddress(kit.port()), "--record", capture }));
    QSignalSpy reports(window, SIGNAL(sendAnalyzeData()));
    QVERIFY(connectTcpLink(*window, tap.port()));

    QVERIFY(tap.waitFor(
        [&] {
            follow();
            return !tap.errorLines().filter("tap: kit link back").isEmpty();
        },
        PatienceMs));
    const int before = reports.count();
    QVERIFY(before > 0);
    QTRY_VERIFY_WITH_TIMEOUT(reports.count() > before + 10, PatienceMs);
    QCOMPARE(window->findChild<QPushButton *>("wifiPushBtn")->text(), QStringLiteral("Disconnect"));
    QVERIFY(tap.waitFor(
        [&] {
            return !tap.errorLines()
                        .filter("tag 5: fit rms up to")
                        .filter("layout inconsistent: run --calibrate on the recording")
                        .isEmpty();
        },
        PatienceMs));
    stop(tap);
    QVERIFY(tap.waitForExit(PatienceMs));

    QProcess summary;
    summary.start(ToolProcess::program("zorvan-tap"), { "--summary", capture });
    QVERIFY(summary.waitForFinished(PatienceMs));
    QCOMPARE(summary.exitCode(), 0);
    const QString text = QString::fromUtf8(summary.readAllStandardOutput());
    QVERIFY2(!text.contains(QLatin1String("kit link lost: 0 times")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("tag 5: .*: layout inconsistent")), qPrintable(text));
    QVERIFY2(!text.contains(QRegularExpression("anchor \\d")), qPrintable(text));
}

void EndToEndTest::configurationRoundTrip_data()
{
    QTest::addColumn<QStringList>("tap");
    QTest::newRow("direct") << QStringList {};
    QTest::newRow("through the tap") << QStringList { "--quiet" };
    QTest::newRow("through a read-only tap") << QStringList { "--read-only" };
}

void EndToEndTest::configurationRoundTrip()
{
    QFETCH(QStringList, tap);
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "50" }));
    ToolProcess tapProcess("zorvan-tap");
    if (!tap.isEmpty())
        QVERIFY(tapProcess.start(QStringList { "--kit", localAddress(kit.port()) } + tap));
    QVERIFY(connectTcpLink(*window, tap.isEmpty() ? kit.port() : tapProcess.port()));

    auto *settings = window->findChild<QTableWidget *>("anchorMestableWidget");
    const int rows[] = { 1, 3, 5, 7 };
    const QPoint places[] = { { -200, -100 }, { 600, -100 }, { 600, 700 }, { -200, 700 } };
    for (int i = 0; i < 4; ++i) {
        settings->item(rows[i], 0)->setCheckState(Qt::Checked);
        settings->item(rows[i], 1)->setText(QString::number(places[i].x()));
        settings->item(rows[i], 2)->setText(QString::number(places[i].y()));
        settings->item(rows[i], 3)->setText(QStringLiteral("300"));
    }
    window->findChild<QLineEdit *>("tagIdLineEdit")->setText(QStringLiteral("9"));
    QTest::mouseClick(window->findChild<QPushButton *>("setPushButton"), Qt::LeftButton);

    const QString command
        = QStringLiteral("anchor 1 at (-200, -100, 300) cm; anchor 3 at (600, -100, 300) cm; "
                         "anchor 5 at (600, 700, 300) cm; anchor 7 at (-200, 700, 300) cm; tag 9");
    if (tap.contains(QStringLiteral("--read-only"))) {
        QVERIFY(tapProcess.waitFor(
            [&] {
                return !tapProcess.errorLines()
                            .filter("33 viewer bytes dropped (read-only)")
                            .isEmpty();
            },
            PatienceMs));
        QVERIFY(kit.lines().filter("config:").isEmpty());
        return;
    }
    QVERIFY(
        kit.waitFor([&] { return kit.lines().contains("tcp: config: " + command); }, PatienceMs));
    if (!tap.isEmpty())
        QVERIFY(tapProcess.waitFor(
            [&] { return tapProcess.errorLines().contains("tap: command relayed: " + command); },
            PatienceMs));
    QVERIFY(kit.waitFor([&] { return window->currentReport().tagId == 9; }, PatienceMs));
    const PositionReport &report = window->currentReport();
    auto *scene = window->findChild<QGraphicsScene *>();
    const QList<QPointF> discs = anchorDiscCentres(scene);
    QCOMPARE(discs.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(report.anchorId[i], rows[i]);
        QCOMPARE(centimetres(report.anchorZ[i]), 300);
        QCOMPARE(discs.at(i), QPointF(places[i].x(), -places[i].y()));
    }
}

void EndToEndTest::screenshot()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "50", "--count", "10" }));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(connectTcpLink(*window, kit.port()));
    QVERIFY(kit.waitForExit(PatienceMs));
    QTest::qWait(100);
    // Fit the plan, as a user would, then zoom in a little on the kit's room.
    QTest::keyClick(window->findChild<QGraphicsView *>(), Qt::Key_Space);
    auto *view = window->findChild<QGraphicsView *>();
    view->setTransform(QTransform::fromScale(0.8, 0.8));
    view->centerOn(250, -200);

    const QImage image = window->grab().toImage();
    int green = 0;
    int blue = 0;
    for (int y = 0; y < 900; ++y) {
        for (int x = 0; x < 1000; ++x) {
            const QColor c = image.pixelColor(x, y);
            green += c == QColor(Qt::green);
            blue += c == QColor(Qt::blue);
        }
    }
    QVERIFY2(green > 50, qPrintable(QString::number(green)));
    QVERIFY2(blue > 200, qPrintable(QString::number(blue)));
    const QString path = qEnvironmentVariable("ZORVAN_SCREENSHOT");
    if (!path.isEmpty())
        QVERIFY(image.save(path));
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
