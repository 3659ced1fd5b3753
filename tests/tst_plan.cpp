#include "app/mainwindow.h"
#include "display/planscene.h"
#include "display/rangetable.h"
#include "kitframes.h"
#include "link/positionreport.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QImage>
#include <QPainter>
#include <QTableWidget>
#include <QtTest>

namespace {

QString describePen(const QPen &pen)
{
    if (pen.style() == Qt::NoPen)
        return QStringLiteral("nopen");
    return QStringLiteral("pen %1 %2").arg(pen.width()).arg(pen.color().name());
}

QString describeBrush(const QBrush &brush)
{
    if (brush.style() == Qt::NoBrush)
        return QStringLiteral("nobrush");
    return QStringLiteral("fill %1").arg(brush.color().name());
}

// One line per item, enough to tell any change of kind, place, size, colour or text.
QString describe(const QGraphicsItem *item)
{
    if (auto *e = qgraphicsitem_cast<const QGraphicsEllipseItem *>(item)) {
        const QRectF r = e->rect();
        return QStringLiteral("ellipse %1,%2 %3x%4 %5 %6")
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height())
            .arg(describePen(e->pen()), describeBrush(e->brush()));
    }
    if (auto *l = qgraphicsitem_cast<const QGraphicsLineItem *>(item)) {
        const QLineF line = l->line();
        return QStringLiteral("line %1,%2 %3,%4 %5")
            .arg(line.x1())
            .arg(line.y1())
            .arg(line.x2())
            .arg(line.y2())
            .arg(describePen(l->pen()));
    }
    if (auto *t = qgraphicsitem_cast<const QGraphicsTextItem *>(item)) {
        const QFont font = t->font();
        return QStringLiteral("text %1 at %2,%3 %4 %5pt %6")
            .arg(t->toPlainText())
            .arg(t->pos().x())
            .arg(t->pos().y())
            .arg(t->defaultTextColor().name())
            .arg(font.pointSize())
            .arg(font.weight() == QFont::Bold ? "bold" : "normal");
    }
    return QStringLiteral("unexpected item type %1").arg(item->type());
}

QStringList describeScene(const QGraphicsScene &scene)
{
    QStringList lines;
    for (const QGraphicsItem *item : scene.items(Qt::AscendingOrder))
        lines << describe(item);
    return lines;
}

QStringList grid(int half)
{
    const QString axis = QStringLiteral("pen 5 #000000");
    const QString line = QStringLiteral("pen 2 #808080");
    const int end = half - 2;
    QStringList lines;
    lines << QStringLiteral("line %1,0 %2,0 %3").arg(-end).arg(end).arg(axis);
    lines << QStringLiteral("line 0,%1 0,%2 %3").arg(-end).arg(end).arg(axis);
    for (int k = 1; k < half / 100; ++k) {
        lines << QStringLiteral("line %1,%2 %3,%2 %4").arg(-end).arg(100 * k).arg(end).arg(line);
        lines << QStringLiteral("line %1,%2 %3,%2 %4").arg(-end).arg(-100 * k).arg(end).arg(line);
    }
    for (int k = 1; k < half / 100; ++k) {
        lines << QStringLiteral("line %1,%2 %1,%3 %4").arg(100 * k).arg(-end).arg(end).arg(line);
        lines << QStringLiteral("line %1,%2 %1,%3 %4").arg(-100 * k).arg(-end).arg(end).arg(line);
    }
    return lines;
}

// tag 7 at (120, 150, 100) cm; anchors 1..4 at the corners of a 4 m x 3 m room, 250 cm up.
PositionReport roomReport(int firstRange = 320)
{
    ReportFields f;
    f.tagId = 7;
    f.tagX = 120;
    f.tagY = 150;
    f.tagZ = 100;
    const int xs[] = { 0, 400, 400, 0 };
    const int ys[] = { 0, 0, 300, 300 };
    const int ranges[] = { firstRange, 415, 508, 612 };
    for (int k = 0; k < 4; ++k) {
        f.anchorId[k] = k + 1;
        f.anchorX[k] = xs[k];
        f.anchorY[k] = ys[k];
        f.anchorZ[k] = 250;
        f.range[k] = ranges[k];
    }
    PositionReport report;
    decodePositionReport(encodePositionReport(f), report);
    return report;
}

PositionReport reportOf(const ReportFields &fields)
{
    PositionReport report;
    decodePositionReport(encodePositionReport(fields), report);
    return report;
}

} // namespace

class PlanTest : public QObject
{
    Q_OBJECT

private slots:
    void oneReportScene();
    void allZeroReport();
    void placesInPlanCoordinates_data();
    void placesInPlanCoordinates();
    void gridGrowsAndNeverShrinks();
    void sceneRectCoversEveryItemEverDrawn();
    void gridIsPaintedOverMarkers();
    void movedPlanLooksLikeAFreshOne_data();
    void movedPlanLooksLikeAFreshOne();
    void rangeTable();
    void rangeTableLabelsAndValues_data();
    void rangeTableLabelsAndValues();
};

// Pins down every item of one report, in the order added, so a speed-up cannot change the plan.
void PlanTest::oneReportScene()
{
    PlanScene scene;
    scene.showReport(roomReport());
    const QString blue = QStringLiteral("#0000ff");
    QStringList expected = {
        "text 1 at 5,5 #0000ff 25pt bold",
        "text 2 at 405,5 #0000ff 25pt bold",
        "text 3 at 405,-295 #0000ff 25pt bold",
        "text 4 at 5,-295 #0000ff 25pt bold",
        "ellipse -15,-15 30x30 nopen fill #ff0000",
        "ellipse -282,-282 564x564 pen 2 #000080 nobrush",
        "ellipse -10,-10 20x20 nopen fill #0000ff",
        "ellipse 14,-386 772x772 pen 2 #000080 nobrush",
        "ellipse 390,-10 20x20 nopen fill #0000ff",
        "ellipse -85,-785 970x970 pen 2 #000080 nobrush",
        "ellipse 390,-310 20x20 nopen fill #0000ff",
        "ellipse -593,-893 1186x1186 pen 2 #000080 nobrush",
        "ellipse -10,-310 20x20 nopen fill #0000ff",
        "ellipse 110,-160 20x20 nopen fill #00ff00",
        "text [120,150] at 125,-145 #00ff00 25pt bold",
        "text [0,0] at 5,5 #ff0000 25pt bold",
    };
    expected << grid(5000);
    QCOMPARE(expected.size(), 214);
    const QStringList actual = describeScene(scene);
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(actual.at(i), expected.at(i));

    // Rebuilt from nothing: a second report leaves the same items, not twice as many.
    scene.showReport(roomReport());
    QCOMPARE(describeScene(scene), actual);
}

void PlanTest::allZeroReport()
{
    PlanScene scene;
    scene.showReport(reportOf(ReportFields {}));
    const QStringList items = describeScene(scene);
    QCOMPARE(items.size(), 214);
    QCOMPARE(items.at(0), QStringLiteral("text 0 at 5,5 #0000ff 25pt bold"));
    QCOMPARE(items.at(5), QStringLiteral("ellipse 0,0 0x0 pen 2 #000080 nobrush"));
    QCOMPARE(items.at(14), QStringLiteral("text [0,0] at 5,5 #00ff00 25pt bold"));
    QCOMPARE(items.at(16), QStringLiteral("line -4998,0 4998,0 pen 5 #000000"));
    QCOMPARE(items.last(), QStringLiteral("line -4900,-4998 -4900,4998 pen 2 #808080"));
}

void PlanTest::placesInPlanCoordinates_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("range");
    QTest::addColumn<QString>("anchorCircle");
    QTest::addColumn<QString>("anchorLabel");
    QTest::addColumn<QString>("tagLabel");

    // Frame centimetres that a float metre value cannot hold exactly still show as sent.
    QTest::newRow("3 m, 4 m, range 250")
        << 300 << 400 << 250 << "ellipse 50,-650 500x500 pen 2 #000080 nobrush"
        << "text 0 at 305,-395 #0000ff 25pt bold"
        << "text [300,400] at 305,-395 #00ff00 25pt bold";
    QTest::newRow("negative quadrant")
        << -150 << -200 << 0 << "ellipse -150,200 0x0 pen 2 #000080 nobrush"
        << "text 0 at -145,205 #0000ff 25pt bold"
        << "text [-150,-200] at -145,205 #00ff00 25pt bold";
    QTest::newRow("113 and 57") << 113 << 57 << 10 << "ellipse 103,-67 20x20 pen 2 #000080 nobrush"
                                << "text 0 at 118,-52 #0000ff 25pt bold"
                                << "text [113,57] at 118,-52 #00ff00 25pt bold";
    QTest::newRow("-35 and 1") << -35 << 1 << 10 << "ellipse -45,-11 20x20 pen 2 #000080 nobrush"
                               << "text 0 at -30,4 #0000ff 25pt bold"
                               << "text [-35,1] at -30,4 #00ff00 25pt bold";
}

void PlanTest::placesInPlanCoordinates()
{
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, range);
    QFETCH(QString, anchorCircle);
    QFETCH(QString, anchorLabel);
    QFETCH(QString, tagLabel);

    ReportFields f;
    f.anchorId[0] = 0;
    f.anchorX[0] = x;
    f.anchorY[0] = y;
    f.range[0] = range;
    f.tagX = x;
    f.tagY = y;
    PlanScene scene;
    scene.showReport(reportOf(f));
    const QStringList items = describeScene(scene);
    QCOMPARE(items.at(0), anchorLabel);
    QCOMPARE(items.at(5), anchorCircle);
    QCOMPARE(items.at(6),
             QStringLiteral("ellipse %1,%2 20x20 nopen fill #0000ff").arg(x - 10).arg(-y - 10));
    QCOMPARE(items.at(13),
             QStringLiteral("ellipse %1,%2 20x20 nopen fill #00ff00").arg(x - 10).arg(-y - 10));
    QCOMPARE(items.at(14), tagLabel);
}

void PlanTest::gridGrowsAndNeverShrinks()
{
    PlanScene scene;
    scene.showReport(reportOf(ReportFields {}));
    ReportFields far;
    far.anchorX[1] = 8000;
    scene.showReport(reportOf(far));
    QStringList items = describeScene(scene);
    const QLineF axis
        = qgraphicsitem_cast<QGraphicsLineItem *>(scene.items(Qt::AscendingOrder).at(16))->line();
    // The same report's grid already reaches the anchor at 80 m.
    QVERIFY2(axis.x2() > 6000, qPrintable(items.at(16)));
    QCOMPARE(axis.x1(), -axis.x2());

    for (int i = 0; i < 3; ++i)
        scene.showReport(reportOf(ReportFields {}));
    const QLineF later
        = qgraphicsitem_cast<QGraphicsLineItem *>(scene.items(Qt::AscendingOrder).at(16))->line();
    QVERIFY(later.x2() >= axis.x2());
    QVERIFY(scene.items().size() > 214);
}

// The scene's rectangle must be what Qt itself would report: the bounds of every item ever
// added, so that the grid and the fit follow the plan, whatever happens between reports.
void PlanTest::sceneRectCoversEveryItemEverDrawn()
{
    PlanScene scene;
    QRectF everything;
    const int xs[] = { 0, 8000, -30000, 120, 32767, 0 };
    const int ranges[] = { 0, 5000, 65535, 300, 100, 0 };
    for (int i = 0; i < 6; ++i) {
        ReportFields f;
        f.anchorX[i % 4] = xs[i];
        f.anchorY[(i + 1) % 4] = -xs[i] / 2;
        f.range[i % 4] = ranges[i];
        f.tagX = xs[i] / 3;
        scene.showReport(reportOf(f));
        everything |= scene.itemsBoundingRect();
        QCOMPARE(scene.sceneRect(), everything);
    }
}

void PlanTest::gridIsPaintedOverMarkers()
{
    ReportFields f;
    f.tagX = 100;
    f.tagY = 100;
    PlanScene scene;
    scene.showReport(reportOf(f));
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    scene.render(&painter, QRectF(0, 0, 40, 40), QRectF(80, -120, 40, 40));
    painter.end();
    // Grid lines cross at the tag's centre; just off them the tag's green shows.
    QCOMPARE(QColor(image.pixel(20, 20)), QColor(Qt::darkGray));
    QCOMPARE(QColor(image.pixel(26, 26)), QColor(Qt::green));
}

void PlanTest::movedPlanLooksLikeAFreshOne_data()
{
    QTest::addColumn<int>("farRange");
    QTest::addColumn<double>("zoom");
    QTest::newRow("smallest grid, fitted") << 0 << 0.1;
    QTest::newRow("smallest grid, 1:1") << 0 << 1.0;
    QTest::newRow("smallest grid, close up") << 0 << 3.0;
    QTest::newRow("grown grid, far out") << 65535 << 0.02;
    QTest::newRow("grown grid, 1:1") << 65535 << 1.0;
}

// Reports that only move the tag and change ranges reuse the plan's items; what they show
// must be what a plan built afresh for the same report shows, pixel for pixel.
void PlanTest::movedPlanLooksLikeAFreshOne()
{
    QFETCH(int, farRange);
    QFETCH(double, zoom);
    PlanScene moved;
    ReportFields f;
    f.range[2] = farRange;
    moved.showReport(reportOf(f));
    f.range[2] = 0;
    QRectF before;
    for (int i = 0; i < 40; ++i) {
        f.tagId = i % 3;
        f.tagX = 10 * i - 150;
        f.tagY = 200 - 7 * i;
        f.anchorId[1] = i < 20 ? 1 : 11;
        for (int k = 0; k < 4; ++k)
            f.range[k] = 100 + 13 * i + 40 * k;
        before = moved.sceneRect();
        moved.showReport(reportOf(f));
    }
    PlanScene fresh;
    fresh.setSceneRect(before);
    fresh.showReport(reportOf(f));
    QCOMPARE(fresh.sceneRect(), moved.sceneRect());

    const auto render = [&](QGraphicsScene &scene) {
        QImage image(500, 450, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const QSizeF size(500 / zoom, 450 / zoom);
        scene.render(&painter, QRectF(),
                     QRectF(QPointF(-size.width() / 3, -size.height() / 2), size));
        return image;
    };
    QVERIFY(render(moved) == render(fresh));
}

void PlanTest::rangeTable()
{
    MainWindow window;
    auto *table = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
    QTableWidgetItem *corner = table->item(0, 0);
    refreshRangeTable(table, roomReport());
    const QStringList header = { "Tag7", "Anc1", "Anc2", "Anc3", "Anc4" };
    for (int c = 0; c < 5; ++c)
        QCOMPARE(table->horizontalHeaderItem(c)->text(), header.at(c));
    QCOMPARE(table->verticalHeaderItem(0)->text(), QStringLiteral("Range(cm)"));
    const QStringList rows[] = { { "", "320", "415", "508", "612" },
                                 { "120", "0", "400", "400", "0" },
                                 { "150", "0", "0", "300", "300" },
                                 { "100", "250", "250", "250", "250" } };
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(table->item(r, c)->text(), rows[r].at(c));
            QCOMPARE(table->item(r, c)->data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
        }
    }
    // The tag has no range: that cell is never replaced.
    QCOMPARE(table->item(0, 0), corner);
}

void PlanTest::rangeTableLabelsAndValues_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("coordinate");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("repeated identifiers") << QList<int> { 9, 9, 2, 5 } << 10 << 120
                                          << QStringList { "Tag0", "Anc9", "Anc9", "Anc2", "Anc5" };
    QTest::newRow("largest range is unsigned")
        << QList<int> { 0, 1, 2, 3 } << 65535 << -35
        << QStringList { "Tag0", "Anc0", "Anc1", "Anc2", "Anc3" };
    QTest::newRow("113 shows 113") << QList<int> { 255, 1, 2, 3 } << 0 << 113
                                   << QStringList { "Tag0", "Anc255", "Anc1", "Anc2", "Anc3" };
    QTest::newRow("57 shows 57") << QList<int> { 0, 1, 2, 3 } << 1 << 57
                                 << QStringList { "Tag0", "Anc0", "Anc1", "Anc2", "Anc3" };
    QTest::newRow("1 shows 1") << QList<int> { 0, 1, 2, 3 } << 1 << 1
                               << QStringList { "Tag0", "Anc0", "Anc1", "Anc2", "Anc3" };
}

void PlanTest::rangeTableLabelsAndValues()
{
    QFETCH(QList<int>, ids);
    QFETCH(int, range);
    QFETCH(int, coordinate);
    QFETCH(QStringList, labels);

    ReportFields f;
    for (int k = 0; k < 4; ++k) {
        f.anchorId[k] = ids.at(k);
        f.range[k] = range;
        f.anchorY[k] = coordinate;
    }
    f.tagZ = coordinate;
    MainWindow window;
    auto *table = window.findChild<QTableWidget *>("rangeDisplaytableWidget");
    refreshRangeTable(table, reportOf(f));
    for (int c = 0; c < 5; ++c)
        QCOMPARE(table->horizontalHeaderItem(c)->text(), labels.at(c));
    QCOMPARE(table->item(0, 1)->text(), QString::number(range));
    QCOMPARE(table->item(2, 4)->text(), QString::number(coordinate));
    QCOMPARE(table->item(3, 0)->text(), QString::number(coordinate));
    QVERIFY(table->item(0, 0)->text().isEmpty());
}

QTEST_MAIN(PlanTest)
#include "tst_plan.moc"
