#include "app/mainwindow.h"

#include "view/graphicsview.h"

void MainWindow::sceneMaxtrixReceiver()
{
    view->setTransform(zoomTransform(view->zoomFactor), false);
}

void MainWindow::sceneFitgraphicsView()
{
    float factor = 0;
    if (!fitFactor(view->scene()->sceneRect(), factor))
        return;
    view->zoomFactor = factor;
    view->setTransform(zoomTransform(factor), false);
}
