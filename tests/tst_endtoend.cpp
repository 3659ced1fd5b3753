#include "app/mainwindow.h"
#include "toolprocess.h"
#include "link/positionreport.h"
#include "testsupport.h"

#include <QComboBox>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

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

    QVERIFY(kit.waitForExit(20000));
    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), frames, 5000);
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
        5000));
    QVERIFY(reports.count() > 0);
    if (serial) {
        QTRY_COMPARE_WITH_TIMEOUT(serialButton->text(), QStringLiteral("Open"), 1000);
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
        QVERIFY(kit.waitFor(replugged, 3000));
    } else {
        QTest::mouseClick(wifiButton, Qt::LeftButton);
        QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
    }
    const int before = reports.count();
    QVERIFY(serial ? openSerialLink(*window, kit.serialPath())
                   : connectTcpLink(*window, kit.port()));
    QTRY_VERIFY_WITH_TIMEOUT(reports.count() > before, 3000);
}

void EndToEndTest::configurationRoundTrip()
{
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "50" }));
    QVERIFY(connectTcpLink(*window, kit.port()));

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

    QVERIFY(kit.waitFor(
        [&] {
            return kit.lines().contains(QStringLiteral(
                "tcp: config: anchor 1 at (-200, -100, 300) cm; anchor 3 at (600, -100, 300) cm; "
                "anchor 5 at (600, 700, 300) cm; anchor 7 at (-200, 700, 300) cm; tag 9"));
        },
        5000));
    QVERIFY(kit.waitFor([&] { return window->currentReport().tagId == 9; }, 5000));
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
    QVERIFY(kit.waitForExit(5000));
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
