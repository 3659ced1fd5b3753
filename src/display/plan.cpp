#include "display/plan.h"

#include "app/mainwindow.h"
#include "display/projection.h"
#include "display/rangetable.h"
#include "link/positionreport.h"
#include "ui_mainwindow.h"
#include "view/graphicsview.h"

#include <QCoreApplication>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QMetaMethod>

namespace {

// A small plan still gets a grid over a 100 m square: the extent in tenths must reach 1000.
constexpr double MinimumGridExtent = 10000;
constexpr double GridScale = 0.1;
constexpr double MinimumScaledExtent = 1000;
constexpr int GridSpacing = 100;

void addLabel(QGraphicsScene *scene, const QString &text, int x, int y, Qt::GlobalColor colour,
              const QFont &font)
{
    // The font goes first, so that the text is laid out once, not once per font.
    auto *label = new QGraphicsTextItem;
    label->setFont(font);
    label->setPlainText(text);
    label->setDefaultTextColor(colour);
    label->setPos(x, y);
    scene->addItem(label);
}

void addDisc(QGraphicsScene *scene, int x, int y, int diameter, const QPen &pen,
             Qt::GlobalColor colour)
{
    const int radius = diameter / 2;
    scene->addEllipse(QRectF(x - radius, y - radius, diameter, diameter), pen,
                      QBrush(colour, Qt::SolidPattern));
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
    const QGraphicsLineItem *xAxis = scene->addLine(QLineF(left, 0, right, 0), pen);
    const QGraphicsLineItem *yAxis = scene->addLine(QLineF(0, top, 0, bottom), pen);
    const QRectF covered = xAxis->sceneBoundingRect() | yAxis->sceneBoundingRect();

    pen.setBrush(QBrush(Qt::darkGray, Qt::SolidPattern));
    pen.setStyle(Qt::SolidLine);
    pen.setWidth(2);
    for (int k = 1; k < rows; ++k) {
        scene->addLine(QLineF(left, GridSpacing * k, right, GridSpacing * k), pen);
        scene->addLine(QLineF(left, -GridSpacing * k, right, -GridSpacing * k), pen);
    }
    for (int k = 1; k < columns; ++k) {
        scene->addLine(QLineF(GridSpacing * k, top, GridSpacing * k, bottom), pen);
        scene->addLine(QLineF(-GridSpacing * k, top, -GridSpacing * k, bottom), pen);
    }
    return covered;
}

// The scene's own rectangle would be every item's bounds ever added. Qt finds that by stroking
// every line of the grid twice per report; the same rectangle is kept here from the items
// drawn, and handed to the scene.
void growSceneRect(QGraphicsScene *scene, QRectF &grown, const QRectF &more)
{
    grown |= more;
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

} // namespace

void drawPlan(QGraphicsScene *scene, const PositionReport &report)
{
    int reach[PositionReport::AnchorCount];
    for (int k = 0; k < PositionReport::AnchorCount; ++k)
        reach[k] = projectHorizontalRange(report.range[k], report.heightDiff[k]);

    QRectF grown = scene->sceneRect();
    // Every item changes on every report. Marking the whole scene for repaint first spares
    // Qt from working out the area of each item as it is removed and added.
    scene->update();
    scene->clear();

    // Built once: resolving the font on every report costs more than drawing it.
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

    // Scene y grows downward; the plan shows positive y upward, so anchors are kept in scene
    // coordinates here while the tag keeps its own sense for its label.
    int ax[PositionReport::AnchorCount];
    int ay[PositionReport::AnchorCount];
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        ax[k] = centimetres(report.anchorX[k]);
        ay[k] = -centimetres(report.anchorY[k]);
    }
    const int tx = centimetres(report.tagX);
    const int ty = centimetres(report.tagY);

    for (int k = 0; k < PositionReport::AnchorCount; ++k)
        addLabel(scene, MainWindow::tr("%1").arg(report.anchorId[k]), ax[k] + 5, ay[k] + 5,
                 Qt::blue, font);
    addDisc(scene, 0, 0, 30, QPen(Qt::NoPen), Qt::red);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        const int r = reach[k];
        scene->addEllipse(QRectF(ax[k] - r, ay[k] - r, 2 * r, 2 * r), rangePen,
                          QBrush(Qt::NoBrush));
        addDisc(scene, ax[k], ay[k], 20, markerPen, Qt::blue);
    }
    addDisc(scene, tx, -ty, 20, markerPen, Qt::green);
    addLabel(scene, MainWindow::tr("[%1,%2]").arg(tx).arg(ty), tx + 5, -ty + 5, Qt::green, font);
    addLabel(scene, MainWindow::tr("[%1,%2]").arg(0).arg(0), 5, 5, Qt::red, font);
    growSceneRect(scene, grown, scene->itemsBoundingRect());
    growSceneRect(scene, grown, addGrid(scene));

    polishNow(scene);
}

void MainWindow::receiveAnalyzeData()
{
    drawPlan(scene, report);
    view->setBackgroundBrush(QBrush(Qt::NoBrush));
    view->show();
    refreshRangeTable(ui->rangeDisplaytableWidget, report);
}
