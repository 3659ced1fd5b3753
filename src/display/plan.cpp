#include "app/mainwindow.h"

#include "display/planscene.h"
#include "display/rangetable.h"
#include "ui_mainwindow.h"
#include "view/graphicsview.h"

void MainWindow::receiveAnalyzeData()
{
    scene->showReport(report);
    // Setting the brush repaints the whole view, even when it is unchanged.
    if (view->backgroundBrush().style() != Qt::NoBrush)
        view->setBackgroundBrush(QBrush(Qt::NoBrush));
    view->show();
    refreshRangeTable(ui->rangeDisplaytableWidget, report);
}
