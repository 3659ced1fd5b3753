#include "app/mainwindow.h"
#include "view/graphicsview.h"

#include <QComboBox>
#include <QGraphicsScene>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void windowIsFixedSize();
    void controls_data();
    void controls();
    void tablesAsBuilt();
    void anchorTable();
    void rangeTableLabels();
    void viewSitsLeftOfControls();
};

void FormTest::windowIsFixedSize()
{
    MainWindow window;
    QCOMPARE(window.minimumSize(), QSize(1481, 900));
    QCOMPARE(window.maximumSize(), QSize(1481, 900));
    QVERIFY(window.menuBar());
    QVERIFY(window.menuBar()->actions().isEmpty());
    QCOMPARE(window.menuBar()->geometry().width(), 1481);
}

void FormTest::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("weight");
    QTest::addColumn<int>("pointSize"); // 0: the application's default
    QTest::addColumn<bool>("centred");

    const int normal = QFont::Normal;
    const int bold = QFont::Bold;
    auto row = [](const char *name, const char *cls, QRect rect, const char *text, int weight,
                  int points, bool centred) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls) << rect
                            << QString::fromLatin1(text) << weight << points << centred;
    };
    row("serialPushBtn", "QPushButton", { 1350, 70, 91, 31 }, "Open", normal, 0, false);
    row("ipLineEdit", "QLineEdit", { 1100, 150, 131, 31 }, "192.168.4.1", normal, 0, true);
    row("serialLabel", "QLabel", { 1010, 70, 81, 31 }, "COM Port", bold, 0, false);
    row("wifiPortLabel", "QLabel", { 1010, 210, 81, 31 }, "PORT name", bold, 0, false);
    row("portLineEdit", "QLineEdit", { 1100, 210, 131, 31 }, "8080", normal, 0, true);
    row("wifiPushBtn", "QPushButton", { 1350, 150, 93, 91 }, "Connect", normal, 0, false);
    row("serialComboBox", "QComboBox", { 1100, 70, 131, 31 }, "", normal, 0, false);
    row("wifiIpLabel", "QLabel", { 1010, 150, 81, 31 }, "IP address", bold, 0, false);
    row("anchorMestableWidget", "QTableWidget", { 1000, 530, 481, 301 }, "", normal, 0, false);
    row("setPushButton", "QPushButton", { 1350, 840, 93, 28 }, "Set", normal, 0, false);
    row("label", "QLabel", { 1010, 840, 81, 31 }, "TagID", bold, 0, false);
    row("tagIdLineEdit", "QLineEdit", { 1100, 840, 113, 31 }, "0", normal, 0, true);
    row("label_4", "QLabel", { 1180, 260, 151, 41 }, "Display", bold, 12, true);
    row("rangeDisplaytableWidget", "QTableWidget", { 1000, 310, 481, 171 }, "", normal, 0, false);
    row("label_5", "QLabel", { 1180, 480, 151, 41 }, "Setting", bold, 12, true);
    row("label_6", "QLabel", { 1180, 10, 151, 41 }, "Connection", bold, 12, true);
}

void FormTest::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(int, weight);
    QFETCH(int, pointSize);
    QFETCH(bool, centred);

    MainWindow window;
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget(), window.centralWidget());
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->font().weight(), weight);
    QCOMPARE(widget->font().pointSize(), pointSize ? pointSize : QApplication::font().pointSize());

    Qt::Alignment alignment;
    QString shown;
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        shown = label->text();
        alignment = label->alignment();
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        shown = edit->text();
        alignment = edit->alignment();
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        shown = button->text();
    }
    QCOMPARE(shown, text);
    if (centred)
        QCOMPARE(int(alignment), int(Qt::AlignCenter));
}

// Only the settings table is refilled at start-up; the range table keeps the form's cells.
void FormTest::tablesAsBuilt()
{
    MainWindow window;
    auto *ranges = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
    QCOMPARE(ranges->rowCount(), 4);
    QCOMPARE(ranges->columnCount(), 5);
    QVERIFY(!ranges->verticalHeader()->isHidden());
    QCOMPARE(ranges->gridStyle(), Qt::SolidLine);
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 5; ++column) {
            const QTableWidgetItem *item = ranges->item(row, column);
            const bool expected = row == 0 && column != 1;
            QCOMPARE(item != nullptr, expected);
            if (item) {
                QVERIFY(item->text().isEmpty());
                QCOMPARE(item->data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
            }
        }
    }

    auto *anchors = window.findChild<QTableWidget *>("anchorMestableWidget");
    QCOMPARE(anchors->rowCount(), 8);
    QCOMPARE(anchors->columnCount(), 4);
    QVERIFY(anchors->verticalHeader()->isHidden());
    QCOMPARE(anchors->verticalHeaderItem(7)->text(), QStringLiteral("8"));
    for (int row = 0; row < 8; ++row) {
        for (int column = 1; column < 4; ++column) {
            QCOMPARE(anchors->item(row, column)->text(), QStringLiteral("0"));
            QCOMPARE(anchors->item(row, column)->data(Qt::TextAlignmentRole).toInt(),
                     int(Qt::AlignCenter));
        }
    }
}

void FormTest::anchorTable()
{
    MainWindow window;
    auto *anchors = window.findChild<QTableWidget *>("anchorMestableWidget");
    const QStringList headers = { "AnchorID", "X(cm)", "Y(cm)", "Z(cm)" };
    for (int column = 0; column < 4; ++column)
        QCOMPARE(anchors->horizontalHeaderItem(column)->text(), headers.at(column));
    for (int row = 0; row < 8; ++row) {
        const QTableWidgetItem *item = anchors->item(row, 0);
        QCOMPARE(item->text(), QStringLiteral("anchor%1").arg(row));
        QCOMPARE(item->checkState(), Qt::Unchecked);
        QVERIFY(item->flags() & Qt::ItemIsUserCheckable);
        QCOMPARE(item->data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    }
    for (auto *table : window.findChildren<QTableWidget *>()) {
        QCOMPARE(table->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(table->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
        QCOMPARE(table->verticalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    }

    // A shift-click after a click still selects one cell only.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect first = anchors->visualItemRect(anchors->item(1, 1));
    const QRect last = anchors->visualItemRect(anchors->item(3, 2));
    QTest::mouseClick(anchors->viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseClick(anchors->viewport(), Qt::LeftButton, Qt::ShiftModifier, last.center());
    QCOMPARE(anchors->selectedItems().size(), 1);
    QCOMPARE(anchors->selectedItems().first(), anchors->item(3, 2));
}

void FormTest::rangeTableLabels()
{
    MainWindow window;
    auto *ranges = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
    const QStringList columns = { "TagID", "AncID", "AncID", "AncID", "AncID" };
    const QStringList rows = { "Range(cm)", "X(cm)", "Y(cm)", "Z(cm)" };
    for (int c = 0; c < 5; ++c)
        QCOMPARE(ranges->horizontalHeaderItem(c)->text(), columns.at(c));
    for (int r = 0; r < 4; ++r)
        QCOMPARE(ranges->verticalHeaderItem(r)->text(), rows.at(r));
}

void FormTest::viewSitsLeftOfControls()
{
    MainWindow window;
    auto *view = window.findChild<GraphicsView *>();
    QVERIFY(view);
    QCOMPARE(view->parentWidget(), &window);
    QCOMPARE(view->geometry(), QRect(0, 0, 1000, 900));
    QVERIFY(!view->isHidden());
    QCOMPARE(view->zoomFactor, 1.0f);
    QCOMPARE(view->dragMode(), QGraphicsView::ScrollHandDrag);
    QVERIFY(view->renderHints() & QPainter::Antialiasing);
    QVERIFY(view->scene());
    QCOMPARE(view->scene()->parent(), &window);
    QVERIFY(view->scene()->items().isEmpty());

    // With no port that opens the serial button starts disabled; the listing is the
    // machine's, so only the relation between the two is certain.
    auto *ports = window.findChild<QComboBox *>("serialComboBox");
    auto *open = window.findChild<QPushButton *>("serialPushBtn");
    QCOMPARE(open->isEnabled(), ports->count() > 0);
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
