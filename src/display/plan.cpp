#include "display/plan.h"

#include "app/mainwindow.h"
#include "display/projection.h"
#include "display/rangetable.h"
#include "link/positionreport.h"
#include "ui_mainwindow.h"
#include "view/footprint.h"
#include "view/graphicsview.h"
#include "view/rangecircle.h"

#include <QCoreApplication>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QMetaMethod>

#include <vector>

namespace {

// A small plan still gets a grid over a 100 m square: the extent in tenths must reach 1000.
constexpr double MinimumGridExtent = 10000;
constexpr double GridScale = 0.1;
constexpr double MinimumScaledExtent = 1000;
constexpr int GridSpacing = 100;

// A line's bounding rectangle is its stroke's, which Qt strokes anew on every call: for each
// painted frame, every grid line is asked once. The plan never changes a line after adding it,
// so the rectangle Qt would give is taken once. Type and geometry stay a line item's.
class PlanLine : public QGraphicsLineItem
{
public:
    PlanLine(const QLineF &line, const QPen &pen)
        : QGraphicsLineItem(line)
    {
        setPen(pen);
        m_bounds = QGraphicsLineItem::boundingRect();
    }

    QRectF boundingRect() const override { return m_bounds; }

private:
    QRectF m_bounds;
};

QGraphicsTextItem *addLabel(QGraphicsScene *scene, const QString &text, int x, int y,
                            Qt::GlobalColor colour, const QFont &font)
{
    // The font goes first, so that the text is laid out once, not once per font.
    auto *label = new QGraphicsTextItem;
    label->setFont(font);
    label->setPlainText(text);
    label->setDefaultTextColor(colour);
    label->setPos(x, y);
    scene->addItem(label);
    return label;
}

QRectF discRect(int x, int y, int diameter)
{
    const int radius = diameter / 2;
    return QRectF(x - radius, y - radius, diameter, diameter);
}

QGraphicsEllipseItem *addDisc(QGraphicsScene *scene, int x, int y, int diameter, const QPen &pen,
                              Qt::GlobalColor colour)
{
    return scene->addEllipse(discRect(x, y, diameter), pen, QBrush(colour, Qt::SolidPattern));
}

QRectF circleRect(int x, int y, int r)
{
    return QRectF(x - r, y - r, 2 * r, 2 * r);
}

QGraphicsLineItem *addLine(QGraphicsScene *scene, const QLineF &line, const QPen &pen)
{
    auto *item = new PlanLine(line, pen);
    scene->addItem(item);
    return item;
}

// The grid is centred on the origin and follows the scene's rectangle, which only grows.
// Returns the rectangle the grid covers: that of its two axes, which reach past every line.
QRectF addGrid(QGraphicsScene *scene)
{
    const QRectF bounds = scene->sceneRect();
    double height = bounds.height();
    double width = bounds.width();
    if (height * GridScale < MinimumScaledExtent)
        height = MinimumGridExtent;
    if (width * GridScale < MinimumScaledExtent)
        width = MinimumGridExtent;
    const int hi = int(height);
    const int wi = int(width);
    const int rows = hi / (2 * GridSpacing);
    const int columns = wi / (2 * GridSpacing);
    const int left = 2 - wi / 2;
    const int right = wi / 2 - 2;
    const int top = 2 - hi / 2;
    const int bottom = hi / 2 - 2;

    QPen pen;
    pen.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    pen.setStyle(Qt::SolidLine);
    pen.setWidth(5);
    const QGraphicsLineItem *xAxis = addLine(scene, QLineF(left, 0, right, 0), pen);
    const QGraphicsLineItem *yAxis = addLine(scene, QLineF(0, top, 0, bottom), pen);
    const QRectF covered = xAxis->sceneBoundingRect() | yAxis->sceneBoundingRect();

    pen.setBrush(QBrush(Qt::darkGray, Qt::SolidPattern));
    pen.setStyle(Qt::SolidLine);
    pen.setWidth(2);
    for (int k = 1; k < rows; ++k) {
        addLine(scene, QLineF(left, GridSpacing * k, right, GridSpacing * k), pen);
        addLine(scene, QLineF(left, -GridSpacing * k, right, -GridSpacing * k), pen);
    }
    for (int k = 1; k < columns; ++k) {
        addLine(scene, QLineF(GridSpacing * k, top, GridSpacing * k, bottom), pen);
        addLine(scene, QLineF(-GridSpacing * k, top, -GridSpacing * k, bottom), pen);
    }
    return covered;
}

// The scene's own rectangle would be every item's bounds ever added. Qt finds that by asking
// every item per report, and strokes every moved circle to do it; the same rectangle is kept
// here from the items drawn, and handed to the scene, which then never works it out itself.
void growSceneRect(QGraphicsScene *scene, QRectF &grown, const QRectF &more)
{
    const QRectF before = grown;
    grown |= more;
    if (grown != before)
        scene->setSceneRect(grown);
}

// Every added item joins a queue of items to polish that only the event loop empties, and
// clear() searches that queue for every item it deletes: a burst of frames within one arrival
// would cost more per report the longer it is. Polishing now keeps every report equally cheap.
// The scene's other chores, above all repainting, still wait for the event loop, so a burst is
// painted once.
void polishNow(QGraphicsScene *scene)
{
    static const QMetaMethod polish = [] {
        const QMetaObject &meta = QGraphicsScene::staticMetaObject;
        const int index = meta.indexOfSlot("_q_polishItems()");
        return index >= 0 ? meta.method(index) : QMetaMethod();
    }();
    if (polish.isValid())
        polish.invoke(scene, Qt::DirectConnection);
    else
        QCoreApplication::sendPostedEvents(scene, QEvent::MetaCall);
}

// What a report moves, kept with the scene. Items, order and grid stay as the last full build
// made them while the grid's rectangle stays the same: a report then only moves its markers
// and relabels them, which costs a fraction of deleting and adding thousands of grid lines.
class PlanItems : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    QRectF gridFrom;
    QGraphicsTextItem *anchorLabels[PositionReport::AnchorCount] = {};
    QString anchorTexts[PositionReport::AnchorCount];
    QGraphicsEllipseItem *circles[PositionReport::AnchorCount] = {};
    QGraphicsEllipseItem *discs[PositionReport::AnchorCount] = {};
    QGraphicsEllipseItem *tagDisc = nullptr;
    QGraphicsTextItem *tagLabel = nullptr;
    QString tagText;
};

struct PlanPlaces
{
    int ax[PositionReport::AnchorCount];
    int ay[PositionReport::AnchorCount];
    int reach[PositionReport::AnchorCount];
    QString anchorTexts[PositionReport::AnchorCount];
    int tx, ty;
    QString tagText;
};

PlanPlaces placesOf(const PositionReport &report)
{
    // Scene y grows downward; the plan shows positive y upward, so anchors are kept in scene
    // coordinates here while the tag keeps its own sense for its label.
    PlanPlaces p;
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        p.reach[k] = projectHorizontalRange(report.range[k], report.heightDiff[k]);
        p.ax[k] = centimetres(report.anchorX[k]);
        p.ay[k] = -centimetres(report.anchorY[k]);
        p.anchorTexts[k] = MainWindow::tr("%1").arg(report.anchorId[k]);
    }
    p.tx = centimetres(report.tagX);
    p.ty = centimetres(report.tagY);
    p.tagText = MainWindow::tr("[%1,%2]").arg(p.tx).arg(p.ty);
    return p;
}

void buildPlan(QGraphicsScene *scene, PlanItems *items, const PlanPlaces &p, QRectF &grown)
{
    // Pens and font are built once: resolving the font on every report costs more than drawing it.
    static const QPen rangePen = [] {
        QPen pen;
        pen.setStyle(Qt::SolidLine);
        pen.setBrush(QBrush(Qt::darkBlue, Qt::SolidPattern));
        pen.setWidth(2);
        return pen;
    }();
    static const QPen markerPen = [] {
        QPen pen;
        pen.setStyle(Qt::NoPen);
        pen.setBrush(QBrush(Qt::NoBrush));
        return pen;
    }();
    static const QFont font = [] {
        QFont labelFont;
        labelFont.setWeight(QFont::Bold);
        labelFont.setPointSize(25);
        return labelFont;
    }();

    scene->clear();
    items->gridFrom = scene->sceneRect();
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        items->anchorTexts[k] = p.anchorTexts[k];
        items->anchorLabels[k]
            = addLabel(scene, p.anchorTexts[k], p.ax[k] + 5, p.ay[k] + 5, Qt::blue, font);
    }
    addDisc(scene, 0, 0, 30, QPen(Qt::NoPen), Qt::red);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        auto *circle = new RangeCircle(circleRect(p.ax[k], p.ay[k], p.reach[k]));
        circle->setPen(rangePen);
        scene->addItem(circle);
        items->circles[k] = circle;
        items->discs[k] = addDisc(scene, p.ax[k], p.ay[k], 20, markerPen, Qt::blue);
    }
    items->tagDisc = addDisc(scene, p.tx, -p.ty, 20, markerPen, Qt::green);
    items->tagText = p.tagText;
    items->tagLabel = addLabel(scene, p.tagText, p.tx + 5, -p.ty + 5, Qt::green, font);
    addLabel(scene, MainWindow::tr("[%1,%2]").arg(0).arg(0), 5, 5, Qt::red, font);
    growSceneRect(scene, grown, scene->itemsBoundingRect());
    growSceneRect(scene, grown, addGrid(scene));
    polishNow(scene);
}

void moveLabel(QGraphicsTextItem *label, QString &shown, const QString &text, int x, int y)
{
    if (shown != text) {
        shown = text;
        label->setPlainText(text);
    }
    label->setPos(x, y);
}

// Where a report's moving items lie, taken before and after the move.
struct MovingShapes
{
    QRectF circles[PositionReport::AnchorCount];
    qreal penWidth = 0;
    std::vector<QRectF> rects;
};

MovingShapes shapesOf(const PlanItems *items)
{
    MovingShapes shapes;
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        shapes.circles[k] = items->circles[k]->rect();
        shapes.rects.push_back(items->anchorLabels[k]->sceneBoundingRect());
        shapes.rects.push_back(items->discs[k]->sceneBoundingRect());
    }
    shapes.penWidth = items->circles[0]->pen().widthF();
    shapes.rects.push_back(items->tagDisc->sceneBoundingRect());
    shapes.rects.push_back(items->tagLabel->sceneBoundingRect());
    return shapes;
}

// Views that leave their repainting to the plan repaint only what the move touched.
void repaintMoved(QGraphicsScene *scene, const MovingShapes &before, const MovingShapes &after)
{
    const auto views = scene->views();
    for (QGraphicsView *view : views) {
        if (view->viewportUpdateMode() != QGraphicsView::NoViewportUpdate)
            continue;
        Footprint footprint(view);
        for (int k = 0; k < PositionReport::AnchorCount; ++k) {
            if (before.circles[k] != after.circles[k])
                footprint.addCircle(before.circles[k], after.circles[k], after.penWidth);
        }
        for (const MovingShapes *shapes : { &before, &after }) {
            for (const QRectF &rect : shapes->rects)
                footprint.addRect(rect);
        }
        view->viewport()->update(footprint.region());
    }
}

// The same items as a full build would make, moved to this report's places.
void movePlan(QGraphicsScene *scene, PlanItems *items, const PlanPlaces &p, QRectF &grown)
{
    const MovingShapes before = shapesOf(items);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        moveLabel(items->anchorLabels[k], items->anchorTexts[k], p.anchorTexts[k], p.ax[k] + 5,
                  p.ay[k] + 5);
        items->circles[k]->setRect(circleRect(p.ax[k], p.ay[k], p.reach[k]));
        items->discs[k]->setRect(discRect(p.ax[k], p.ay[k], 20));
    }
    items->tagDisc->setRect(discRect(p.tx, -p.ty, 20));
    moveLabel(items->tagLabel, items->tagText, p.tagText, p.tx + 5, -p.ty + 5);

    const MovingShapes after = shapesOf(items);
    QRectF moved;
    for (const QRectF &rect : after.rects)
        moved |= rect;
    // Qt strokes a circle's outline to find its bounds; one well inside the scene's rectangle
    // cannot grow it.
    const qreal stroke = 2 * after.penWidth + 1;
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        if (!grown.contains(after.circles[k].adjusted(-stroke, -stroke, stroke, stroke)))
            moved |= items->circles[k]->sceneBoundingRect();
    }
    growSceneRect(scene, grown, moved);
    repaintMoved(scene, before, after);
}

} // namespace

void drawPlan(QGraphicsScene *scene, const PositionReport &report)
{
    const PlanPlaces places = placesOf(report);
    QRectF grown = scene->sceneRect();
    auto *items = scene->findChild<PlanItems *>(QString(), Qt::FindDirectChildrenOnly);
    if (!items)
        items = new PlanItems(scene);
    // A grown rectangle means a larger grid, and the grid must stay on top of the markers:
    // that takes a full build.
    if (items->tagLabel && items->gridFrom == grown) {
        movePlan(scene, items, places, grown);
        return;
    }
    // Every item changes. Marking the whole scene for repaint first spares Qt from working
    // out the area of each item as it is removed or added.
    scene->update();
    buildPlan(scene, items, places, grown);
}

void MainWindow::receiveAnalyzeData()
{
    drawPlan(scene, report);
    // Setting the brush repaints the whole view, even when it is unchanged.
    if (view->backgroundBrush().style() != Qt::NoBrush)
        view->setBackgroundBrush(QBrush(Qt::NoBrush));
    view->show();
    refreshRangeTable(ui->rangeDisplaytableWidget, report);
}

#include "plan.moc"
