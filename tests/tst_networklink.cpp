#include "app/mainwindow.h"
#include "testsupport.h"
#include "view/graphicsview.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using testsupport::frameWith;
using testsupport::MessageBoxCatcher;

namespace {

struct Row
{
    int row;
    QString x, y, z;
};

} // namespace

Q_DECLARE_METATYPE(Row)

class NetworkLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void connectAndDisconnect();
    void refusedConnectionIsReleased();
    void invalidPortText_data();
    void invalidPortText();
    void receiving_data();
    void receiving();
    void newConnectionStartsANewStream();
    void lastReportOfAPauseIsPainted_data();
    void lastReportOfAPauseIsPainted();
    void peerGone_data();
    void peerGone();
    void workedCommand();
    void rowSelection_data();
    void rowSelection();
    void refusals_data();
    void refusals();

private:
    bool connectToServer();
    QTcpSocket *acceptPeer();
    void fillTable(const QList<Row> &rows, const QString &tagId);
    QByteArray pressSetAndRead();

    MainWindow *window = nullptr;
    QTcpServer *server = nullptr;
    QTcpSocket *peer = nullptr;
    QPushButton *wifiButton = nullptr;
};

void NetworkLinkTest::init()
{
    server = new QTcpServer;
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    window = new MainWindow;
    wifiButton = window->findChild<QPushButton *>("wifiPushBtn");
    window->findChild<QLineEdit *>("ipLineEdit")->setText(QStringLiteral("127.0.0.1"));
    window->findChild<QLineEdit *>("portLineEdit")->setText(QString::number(server->serverPort()));
}

void NetworkLinkTest::cleanup()
{
    delete window;
    window = nullptr;
    delete server;
    server = nullptr;
    peer = nullptr;
}

bool NetworkLinkTest::connectToServer()
{
    if (!testsupport::connectTcpLink(*window, server->serverPort()))
        return false;
    peer = acceptPeer();
    return peer != nullptr;
}

QTcpSocket *NetworkLinkTest::acceptPeer()
{
    if (!server->hasPendingConnections() && !server->waitForNewConnection(PatienceMs))
        return nullptr;
    QTcpSocket *socket = server->nextPendingConnection();
    socket->setParent(server);
    return socket;
}

void NetworkLinkTest::fillTable(const QList<Row> &rows, const QString &tagId)
{
    auto *table = window->findChild<QTableWidget *>("anchorMestableWidget");
    for (const Row &row : rows) {
        table->item(row.row, 0)->setCheckState(Qt::Checked);
        table->item(row.row, 1)->setText(row.x);
        table->item(row.row, 2)->setText(row.y);
        table->item(row.row, 3)->setText(row.z);
    }
    window->findChild<QLineEdit *>("tagIdLineEdit")->setText(tagId);
}

QByteArray NetworkLinkTest::pressSetAndRead()
{
    QTest::mouseClick(window->findChild<QPushButton *>("setPushButton"), Qt::LeftButton);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (received.size() < 33 && clock.elapsed() < PatienceMs) {
        QTest::qWait(5);
        received += peer->readAll();
    }
    QTest::qWait(20);
    return received + peer->readAll();
}

void NetworkLinkTest::connectAndDisconnect()
{
    auto *ip = window->findChild<QLineEdit *>("ipLineEdit");
    auto *port = window->findChild<QLineEdit *>("portLineEdit");
    auto *serialButton = window->findChild<QPushButton *>("serialPushBtn");
    auto *ports = window->findChild<QComboBox *>("serialComboBox");

    QVERIFY(connectToServer());
    QVERIFY(!ip->isEnabled());
    QVERIFY(!port->isEnabled());
    QVERIFY(!serialButton->isEnabled());
    QVERIFY(!ports->isEnabled());

    QTest::mouseClick(wifiButton, Qt::LeftButton);
    QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
    QVERIFY(ip->isEnabled());
    QVERIFY(port->isEnabled());
    // Enabled again even when no serial port was listed at start-up.
    QVERIFY(serialButton->isEnabled());
    QVERIFY(ports->isEnabled());
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
}

void NetworkLinkTest::refusedConnectionIsReleased()
{
    const quint16 port = server->serverPort();
    server->close();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(wifiButton, Qt::LeftButton);
    QVERIFY(clock.elapsed() < 1500);
    QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
    QVERIFY(window->findChild<QLineEdit *>("portLineEdit")->isEnabled());
    QTRY_COMPARE(window->findChildren<QTcpSocket *>().size(), 0);

    // The next attempt starts afresh and succeeds.
    QVERIFY(server->listen(QHostAddress::LocalHost, port));
    QVERIFY(connectToServer());
}

void NetworkLinkTest::invalidPortText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("above 65535 is not wrapped") << "70000";
    QTest::newRow("65536") << "65536";
    QTest::newRow("negative") << "-1";
    QTest::newRow("zero") << "0";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("empty") << "";
}

void NetworkLinkTest::invalidPortText()
{
    QFETCH(QString, text);
    // Whatever listens on the wrapped port number must not be reached.
    QTcpServer wrapped;
    const bool watching = wrapped.listen(QHostAddress::LocalHost, quint16(text.toInt()));

    window->findChild<QLineEdit *>("portLineEdit")->setText(text);
    QTest::mouseClick(wifiButton, Qt::LeftButton);
    QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
    QCOMPARE(window->findChildren<QTcpSocket *>().size(), 0);
    if (watching)
        QVERIFY(!wrapped.waitForNewConnection(100));
}

void NetworkLinkTest::receiving_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QList<int>>("tagIds");

    const QByteArray a = frameWith(1, 10, 20);
    const QByteArray b = frameWith(2, 30, 40);
    const QByteArray c = frameWith(3, 50, 60);
    QByteArray endInside = frameWith(4, 0x2728, 0x2728);
    QByteArray falseStart = "78" + QByteArray(48, '\x11') + "'(";
    falseStart[2] = 9;

    QTest::newRow("one frame") << QList<QByteArray> { a } << QList<int> { 1 };
    QTest::newRow("51 bytes") << QList<QByteArray> { a.left(51) } << QList<int> {};
    QTest::newRow("three back to back")
        << QList<QByteArray> { a + b + c } << QList<int> { 1, 2, 3 };
    QTest::newRow("junk around frames")
        << QList<QByteArray> { "xx7" + a + "'('(" + b + "78zz" } << QList<int> { 1, 2 };
    QTest::newRow("false start with end marker")
        << QList<QByteArray> { falseStart + a } << QList<int> { 9, 1 };
    QTest::newRow("split over arrivals")
        << QList<QByteArray> { a.left(20), a.mid(20) + b.left(51), b.mid(51) }
        << QList<int> { 1, 2 };
    QTest::newRow("end marker inside data") << QList<QByteArray> { endInside } << QList<int> { 4 };
}

void NetworkLinkTest::receiving()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QList<int>, tagIds);

    testsupport::ReportLog reports(*window);
    QVERIFY(connectToServer());
    for (const QByteArray &bytes : arrivals) {
        peer->write(bytes);
        peer->flush();
        QTest::qWait(30);
    }
    QTRY_COMPARE(reports.tagIds.size(), tagIds.size());
    QTest::qWait(30);
    QCOMPARE(reports.tagIds, tagIds);
}

void NetworkLinkTest::newConnectionStartsANewStream()
{
    const QByteArray a = frameWith(5, 1, 1);
    QSignalSpy reports(window, SIGNAL(sendAnalyzeData()));
    QVERIFY(connectToServer());
    peer->write(a.left(40));
    peer->flush();
    QTest::qWait(50);
    QTest::mouseClick(wifiButton, Qt::LeftButton);
    QVERIFY(connectToServer());
    peer->write(a.mid(40) + frameWith(6, 2, 2));
    peer->flush();
    QTRY_COMPARE(reports.count(), 1);
    QTest::qWait(30);
    QCOMPARE(reports.count(), 1);
    QCOMPARE(window->currentReport().tagId, 6);
}

void NetworkLinkTest::lastReportOfAPauseIsPainted_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<int>("firstRange");
    QTest::addColumn<bool>("scrollMidway");
    QTest::newRow("one at a time at the line's rate") << 4 << 1.0 << 0 << false;
    QTest::newRow("one burst") << 0 << 1.0 << 0 << false;
    QTest::newRow("close up, scrolled midway") << 4 << 2.5 << 0 << true;
    QTest::newRow("grown grid, far out") << 4 << 0.3 << 65535 << false;
}

// Repaints are held to the display's rate and cover only what a report moved: whatever the
// pace, the report a pause leaves on the table must reach the screen, the screen must then
// show just what a fresh paint of the plan would, and the view goes quiet.
void NetworkLinkTest::lastReportOfAPauseIsPainted()
{
    QFETCH(int, gapMs);
    QFETCH(double, zoom);
    QFETCH(int, firstRange);
    QFETCH(bool, scrollMidway);

    struct PaintLog : QObject
    {
        MainWindow *window = nullptr;
        QList<int> tagIds;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint)
                tagIds << window->currentReport().tagId;
            return false;
        }
    } paints;
    paints.window = window;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *view = window->findChild<GraphicsView *>();
    view->zoomFactor = float(zoom);
    window->sceneMaxtrixReceiver();
    view->viewport()->installEventFilter(&paints);
    QVERIFY(connectToServer());

    // The tag walks while the range circles grow and cross each other and the markers.
    constexpr int Frames = 40;
    QByteArray burst;
    for (int i = 1; i <= Frames; ++i) {
        ReportFields f = testsupport::fieldsAmongAnchors(i, 20 + 9 * i, 300 - 6 * i, 120);
        for (int k = 0; k < 4; ++k)
            f.range[k] = quint16(i == 1 && firstRange ? firstRange : 60 + 17 * i + 45 * k);
        burst += encodePositionReport(f);
    }
    if (gapMs == 0) {
        peer->write(burst);
        peer->flush();
    }
    for (int i = 0; gapMs > 0 && i < Frames; ++i) {
        peer->write(burst.mid(i * 52, 52));
        peer->flush();
        QTest::qWait(gapMs);
        if (scrollMidway && i == Frames / 2)
            view->verticalScrollBar()->setValue(view->verticalScrollBar()->value() + 37);
    }
    QTRY_COMPARE(window->currentReport().tagId, Frames);
    QTRY_VERIFY(!paints.tagIds.isEmpty() && paints.tagIds.last() == Frames);
    const int painted = paints.tagIds.size();
    QTest::qWait(200);
    QCOMPARE(paints.tagIds.size(), painted);

    // What the screen holds, against what it holds once the whole view is painted afresh.
    QWidget *viewport = view->viewport();
    const QPoint at = viewport->mapTo(window, QPoint());
    const auto screen = [&] {
        return window->screen()
            ->grabWindow(window->winId(), at.x(), at.y(), viewport->width(), viewport->height())
            .toImage();
    };
    const QImage shown = screen();
    viewport->repaint();
    const QImage fresh = screen();
    QCOMPARE(shown.size(), viewport->size());
    QVERIFY(shown == fresh);
}

void NetworkLinkTest::peerGone_data()
{
    QTest::addColumn<bool>("abort");
    QTest::addColumn<QString>("logged");
    QTest::newRow("peer closes") << false << "network link error.*closed";
    QTest::newRow("peer resets") << true << "network link error";
}

// The window keeps its connected state until the user acts, as documented, but nothing spins
// meanwhile and a command is not claimed to have been sent.
void NetworkLinkTest::peerGone()
{
    QFETCH(bool, abort);
    QFETCH(QString, logged);
    fillTable({ { 4, "-32768.9", "32767.5", "0" },
                { 5, "1", "2", "3" },
                { 6, "1", "2", "3" },
                { 7, "1", "2", "3" } },
              "255");
    QVERIFY(connectToServer());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logged));
    if (abort)
        peer->abort();
    else
        peer->disconnectFromHost();
    QTest::qWait(200);
    QCOMPARE(wifiButton->text(), QStringLiteral("Disconnect"));
    const double cpu = testsupport::cpuSecondsDuring(1000);
    QVERIFY2(cpu < 0.1, qPrintable(QStringLiteral("%1 s of CPU in an idle second").arg(cpu)));

    MessageBoxCatcher boxes;
    QTest::mouseClick(window->findChild<QPushButton *>("setPushButton"), Qt::LeftButton);
    QCOMPARE(boxes.titles, QStringList { "SendFailed" });
    QCOMPARE(boxes.texts, QStringList { "Configuration Not Sent" });

    QTest::mouseClick(wifiButton, Qt::LeftButton);
    QCOMPARE(wifiButton->text(), QStringLiteral("Connect"));
}

void NetworkLinkTest::workedCommand()
{
    fillTable({ { 0, "0", "0", "250" },
                { 1, "500", "0", "250" },
                { 2, "500", "500", "250" },
                { 3, "0", "500", "250" } },
              "5");
    QVERIFY(connectToServer());
    QCOMPARE(pressSetAndRead().toHex(' ').toUpper(),
             QByteArray("93 83 00 01 02 03 00 00 00 00 00 FA 01 F4 00 00 00 FA 01 F4 01 F4 00 FA"
                        " 00 00 01 F4 00 FA 05 85 95"));
}

void NetworkLinkTest::rowSelection_data()
{
    QTest::addColumn<QList<int>>("checked");
    QTest::addColumn<QList<int>>("partial");
    QTest::addColumn<QByteArray>("rows");

    QTest::newRow("1 3 4 6") << QList<int> { 1, 3, 4, 6 } << QList<int> {}
                             << QByteArray("\x01\x03\x04\x06");
    QTest::newRow("fifth is left out")
        << QList<int> { 0, 2, 5, 6, 7 } << QList<int> {} << QByteArray("\x00\x02\x05\x06", 4);
    QTest::newRow("partly checked does not count")
        << QList<int> { 1, 2, 4, 7 } << QList<int> { 0, 3 } << QByteArray("\x01\x02\x04\x07");
}

void NetworkLinkTest::rowSelection()
{
    QFETCH(QList<int>, checked);
    QFETCH(QList<int>, partial);
    QFETCH(QByteArray, rows);

    QList<Row> filled;
    for (int row : checked)
        filled << Row { row, QString::number(row), "-12.9", "12.9" };
    fillTable(filled, "7");
    auto *table = window->findChild<QTableWidget *>("anchorMestableWidget");
    for (int row : partial)
        table->item(row, 0)->setCheckState(Qt::PartiallyChecked);
    QVERIFY(connectToServer());
    const QByteArray command = pressSetAndRead();
    QCOMPARE(command.size(), 33);
    QCOMPARE(command.mid(2, 4), rows);
    // Fractions are cut toward zero.
    QCOMPARE(command.mid(8, 4).toHex(' '), QByteArray("ff f4 00 0c"));
    QCOMPARE(int(uchar(command.at(30))), 7);
}

void NetworkLinkTest::refusals_data()
{
    QTest::addColumn<QList<Row>>("rows");
    QTest::addColumn<QString>("tagId");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    const QList<Row> good = { { 0, "0", "0", "250" },
                              { 1, "500", "0", "250" },
                              { 2, "500", "500", "250" },
                              { 3, "0", "500", "250" } };
    auto with = [&](int index, int axis, const QString &value) {
        QList<Row> rows = good;
        QString *cell[] = { &rows[index].x, &rows[index].y, &rows[index].z };
        *cell[axis] = value;
        return rows;
    };
    const QString range = "must be a number from -32768 to 32767";
    const QString tagRule = "TagID must be a whole number from 0 to 255";

    QTest::newRow("too few anchors come first")
        << QList<Row> { { 0, "abc", "", "" } } << "300" << false << "AnchorNotEnough"
        << "Please Select Enough Anchors";
    // The rules themselves are checked against the command's builder; here, that a refusal
    // shows its box and sends nothing.
    QTest::newRow("tag 300") << good << "300" << true << "InvalidValue" << tagRule;
    QTest::newRow("values are checked before the link")
        << with(0, 0, "x") << "5" << false << "InvalidValue"
        << "anchor0 X(cm) " + range;
    QTest::newRow("no link") << good << "5" << false << "CAN Not Send"
                             << "Please Open Serial Or Connect Wifi";
}

void NetworkLinkTest::refusals()
{
    QFETCH(QList<Row>, rows);
    QFETCH(QString, tagId);
    QFETCH(bool, connected);
    QFETCH(QString, title);
    QFETCH(QString, text);

    fillTable(rows, tagId);
    if (connected)
        QVERIFY(connectToServer());
    MessageBoxCatcher boxes;
    QTest::mouseClick(window->findChild<QPushButton *>("setPushButton"), Qt::LeftButton);
    QCOMPARE(boxes.titles, QStringList { title });
    QCOMPARE(boxes.texts, QStringList { text });
    if (connected) {
        QTest::qWait(50);
        QCOMPARE(peer->readAll(), QByteArray());
    }
}

QTEST_MAIN(NetworkLinkTest)
#include "tst_networklink.moc"
