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

namespace {

// A small plan still gets a grid over a 100 m square: the extent in tenths must reach 1000.
constexpr double MinimumGridExtent = 10000;
constexpr double GridScale = 0.1;
constexpr double MinimumScaledExtent = 1000;
constexpr int GridSpacing = 100;

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

void addLabel(QGraphicsScene *scene, const QString &text, int x, int y, Qt::GlobalColor colour,
              const QFont &font)
{
    auto *label = new QGraphicsTextItem(text);
    label->setFont(font);
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
void addGrid(QGraphicsScene *scene)
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
    scene->addLine(QLineF(left, 0, right, 0), pen);
    scene->addLine(QLineF(0, top, 0, bottom), pen);

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
}

} // namespace

void drawPlan(QGraphicsScene *scene, const PositionReport &report)
{
    int reach[PositionReport::AnchorCount];
    for (int k = 0; k < PositionReport::AnchorCount; ++k)
        reach[k] = projectHorizontalRange(report.range[k], report.heightDiff[k]);

    scene->clear();

    QPen rangePen;
    rangePen.setStyle(Qt::SolidLine);
    rangePen.setBrush(QBrush(Qt::darkBlue, Qt::SolidPattern));
    rangePen.setWidth(2);
    QPen markerPen;
    markerPen.setStyle(Qt::NoPen);
    markerPen.setBrush(QBrush(Qt::NoBrush));
    QFont font;
    font.setWeight(QFont::Bold);
    font.setPointSize(25);

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
        addLabel(scene, tr("%1").arg(report.anchorId[k]), ax[k] + 5, ay[k] + 5, Qt::blue, font);
    addDisc(scene, 0, 0, 30, QPen(Qt::NoPen), Qt::red);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        const int r = reach[k];
        scene->addEllipse(QRectF(ax[k] - r, ay[k] - r, 2 * r, 2 * r), rangePen,
                          QBrush(Qt::NoBrush));
        addDisc(scene, ax[k], ay[k], 20, markerPen, Qt::blue);
    }
    addDisc(scene, tx, -ty, 20, markerPen, Qt::green);
    addLabel(scene, tr("[%1,%2]").arg(tx).arg(ty), tx + 5, -ty + 5, Qt::green, font);
    addLabel(scene, tr("[%1,%2]").arg(0).arg(0), 5, 5, Qt::red, font);
    addGrid(scene);

    // The scene defers two chores to the event loop: polishing new items, whose queue clear()
    // searches for every item it deletes, and folding new items into its rectangle. Doing both
    // now keeps a burst of frames within one arrival as cheap per report as single frames, and
    // lets this report's grid count towards the next report's rectangle either way.
    QCoreApplication::sendPostedEvents(scene, QEvent::MetaCall);
}

void MainWindow::receiveAnalyzeData()
{
    drawPlan(scene, report);
    view->setBackgroundBrush(QBrush(Qt::NoBrush));
    view->show();
    refreshRangeTable(ui->rangeDisplaytableWidget, report);
}
