#include "app/mainwindow.h"

#include "view/graphicsview.h"

#include <QGraphicsScene>

void MainWindow::sceneMaxtrixReceiver()
{
    view->setTransform(zoomTransform(view->zoomFactor), false);
}

void MainWindow::sceneFitgraphicsView()
{
    float factor = 0;
    if (!fitFactor(scene->sceneRect(), factor))
        return;
    view->zoomFactor = factor;
    view->setTransform(zoomTransform(factor), false);
}
