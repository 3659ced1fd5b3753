#include "display/rangetable.h"

#include "app/mainwindow.h"
#include "link/positionreport.h"

#include <QTableWidget>

namespace {

void setCell(QTableWidget *table, int row, int column, int value)
{
    table->setItem(row, column, new QTableWidgetItem(QString::number(value)));
    table->item(row, column)->setTextAlignment(Qt::AlignCenter);
}

} // namespace

void refreshRangeTable(QTableWidget *table, const PositionReport &report)
{
    QStringList labels;
    labels << MainWindow::tr("Tag%1").arg(report.tagId);
    for (int k = 0; k < PositionReport::AnchorCount; ++k)
        labels << MainWindow::tr("Anc%1").arg(report.anchorId[k]);
    table->setHorizontalHeaderLabels(labels);

    // The tag has no range of its own: that cell keeps the form's empty item.
    if (QTableWidgetItem *corner = table->item(0, 0))
        corner->setTextAlignment(Qt::AlignCenter);

    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        setCell(table, 0, k + 1, report.range[k]);
        setCell(table, 1, k + 1, centimetres(report.anchorX[k]));
        setCell(table, 2, k + 1, centimetres(report.anchorY[k]));
        setCell(table, 3, k + 1, centimetres(report.anchorZ[k]));
    }
    setCell(table, 1, 0, centimetres(report.tagX));
    setCell(table, 2, 0, centimetres(report.tagY));
    setCell(table, 3, 0, centimetres(report.tagZ));
}
