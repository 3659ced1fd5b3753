#include "app/mainwindow.h"
#include "testsupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTableWidget>
#include <QtTest>

using testsupport::frameWith;
using testsupport::MessageBoxCatcher;
using testsupport::PseudoTerminal;

class SerialLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openAndClose();
    void framesArrive_data();
    void framesArrive();
    void reopeningStartsANewStream();
    void portThatDoesNotOpen();
    void destructionReleasesOpenPort();
    void adapterPulledOut();
    void configurationGoesToPort();

private:
    bool openSerial(const QString &name);

    MainWindow *window = nullptr;
    PseudoTerminal *pty = nullptr;
    QPushButton *serialButton = nullptr;
    QPushButton *wifiButton = nullptr;
    QComboBox *ports = nullptr;
};

void SerialLinkTest::init()
{
    pty = new PseudoTerminal;
    QVERIFY(pty->isValid());
    window = new MainWindow;
    serialButton = window->findChild<QPushButton *>("serialPushBtn");
    wifiButton = window->findChild<QPushButton *>("wifiPushBtn");
    ports = window->findChild<QComboBox *>("serialComboBox");
}

void SerialLinkTest::cleanup()
{
    delete window;
    window = nullptr;
    delete pty;
    pty = nullptr;
}

bool SerialLinkTest::openSerial(const QString &name)
{
    return testsupport::openSerialLink(*window, name);
}

void SerialLinkTest::openAndClose()
{
    QVERIFY(openSerial(pty->slaveName()));
    QVERIFY(serialButton->isEnabled());
    QVERIFY(!ports->isEnabled());
    QVERIFY(!wifiButton->isEnabled());

    QTest::mouseClick(serialButton, Qt::LeftButton);
    QCOMPARE(serialButton->text(), QStringLiteral("Open"));
    QVERIFY(ports->isEnabled());
    QVERIFY(wifiButton->isEnabled());
    QTRY_COMPARE(window->findChildren<QSerialPort *>().size(), 0);
}

void SerialLinkTest::framesArrive_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QList<int>>("tagIds");

    const QByteArray a = frameWith(11, 100, -35);
    const QByteArray b = frameWith(12, 113, 57);
    QTest::newRow("one frame") << QList<QByteArray> { a } << QList<int> { 11 };
    QTest::newRow("split over writes")
        << QList<QByteArray> { a.left(7), a.mid(7, 30), a.mid(37) } << QList<int> { 11 };
    QTest::newRow("two frames in one write")
        << QList<QByteArray> { a + b } << QList<int> { 11, 12 };
    QTest::newRow("opened mid-frame") << QList<QByteArray> { a.mid(20) + b } << QList<int> { 12 };
    QTest::newRow("whole frame then start of next")
        << QList<QByteArray> { a + b.left(10), b.mid(10) } << QList<int> { 11, 12 };
}

void SerialLinkTest::framesArrive()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QList<int>, tagIds);

    testsupport::ReportLog reports(*window);
    QVERIFY(openSerial(pty->slaveName()));
    for (const QByteArray &bytes : writes) {
        QVERIFY(pty->write(bytes));
        QTest::qWait(20);
    }
    QTRY_COMPARE(reports.tagIds.size(), tagIds.size());
    QTest::qWait(50);
    QCOMPARE(reports.tagIds, tagIds);
}

void SerialLinkTest::reopeningStartsANewStream()
{
    const QByteArray a = frameWith(21, 1, 1);
    const QByteArray b = frameWith(22, 2, 2);
    QSignalSpy reports(window, SIGNAL(sendAnalyzeData()));
    QVERIFY(openSerial(pty->slaveName()));
    QVERIFY(pty->write(a.left(30)));
    QTest::qWait(100);
    QTest::mouseClick(serialButton, Qt::LeftButton);
    QTest::mouseClick(serialButton, Qt::LeftButton);
    QCOMPARE(serialButton->text(), QStringLiteral("Close"));
    // The rest of the old frame followed by a whole frame: only the whole one counts.
    QVERIFY(pty->write(a.mid(30) + b));
    QTRY_COMPARE(reports.count(), 1);
    QCOMPARE(window->currentReport().tagId, 22);
}

void SerialLinkTest::portThatDoesNotOpen()
{
    MessageBoxCatcher boxes;
    QVERIFY(!openSerial(QStringLiteral("/dev/zorvan-no-such-port")));
    QCOMPARE(serialButton->text(), QStringLiteral("Open"));
    QVERIFY(ports->isEnabled());
    QVERIFY(wifiButton->isEnabled());
    QTest::qWait(50);
    QVERIFY(boxes.titles.isEmpty());
}

void SerialLinkTest::destructionReleasesOpenPort()
{
    QVERIFY(openSerial(pty->slaveName()));
    delete window;
    window = nullptr;
    // A port left open holds its lock, so no one else could open it.
    QSerialPort again(pty->slaveName());
    QVERIFY2(again.open(QIODevice::ReadWrite), qPrintable(again.errorString()));
}

// The link closes itself as "Close" would, once, leaves the loop idle, and a port that is
// back opens again.
void SerialLinkTest::adapterPulledOut()
{
    testsupport::ReportLog reports(*window);
    QVERIFY(openSerial(pty->slaveName()));
    QVERIFY(pty->write(frameWith(31, 1, 1)));
    QTRY_COMPARE(reports.tagIds, QList<int> { 31 });

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Zorvan: serial link lost: "));
    pty->hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(serialButton->text(), QStringLiteral("Open"), PatienceMs);
    QVERIFY(ports->isEnabled());
    QVERIFY(wifiButton->isEnabled());
    const double cpu = testsupport::cpuSecondsDuring(1000);
    QVERIFY2(cpu < 0.1, qPrintable(QStringLiteral("%1 s of CPU in an idle second").arg(cpu)));

    PseudoTerminal replugged;
    QVERIFY(replugged.isValid());
    QVERIFY(openSerial(replugged.slaveName()));
    QVERIFY(replugged.write(frameWith(32, 2, 2)));
    QTRY_COMPARE(reports.tagIds, (QList<int> { 31, 32 }));
}

void SerialLinkTest::configurationGoesToPort()
{
    auto *table = window->findChild<QTableWidget *>("anchorMestableWidget");
    for (int row = 0; row < 4; ++row)
        table->item(row, 0)->setCheckState(Qt::Checked);
    table->item(2, 1)->setText(QStringLiteral("500"));
    window->findChild<QLineEdit *>("tagIdLineEdit")->setText(QStringLiteral("5"));
    QVERIFY(openSerial(pty->slaveName()));
    pty->readAvailable();
    QTest::mouseClick(window->findChild<QPushButton *>("setPushButton"), Qt::LeftButton);
    QByteArray received;
    QTRY_VERIFY((received += pty->readAvailable()).size() >= 33);
    QCOMPARE(received.toHex(' '),
             QByteArray("93 83 00 01 02 03 00 00 00 00 00 00 00 00 00 00 00 00 01 f4 00 00 00 00"
                        " 00 00 00 00 00 00 05 85 95"));
}

QTEST_MAIN(SerialLinkTest)
#include "tst_seriallink.moc"
