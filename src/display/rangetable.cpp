#include "display/rangetable.h"

#include "app/mainwindow.h"
#include "link/positionreport.h"

#include <QTableWidget>

namespace {

// Cells and labels are rewritten only where they change: a new item per cell and report
// resolves a font for each, and every change repaints its cell.
void setText(QTableWidgetItem *item, const QString &text)
{
    if (item->text() != text)
        item->setText(text);
}

void setCell(QTableWidget *table, int row, int column, int value)
{
    QTableWidgetItem *item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        table->setItem(row, column, item);
    }
    if (item->textAlignment() != Qt::AlignCenter)
        item->setTextAlignment(Qt::AlignCenter);
    setText(item, QString::number(value));
}

void setLabel(QTableWidget *table, int column, const QString &text)
{
    if (QTableWidgetItem *label = table->horizontalHeaderItem(column))
        setText(label, text);
    else
        table->setHorizontalHeaderItem(column, new QTableWidgetItem(text));
}

} // namespace

void refreshRangeTable(QTableWidget *table, const PositionReport &report)
{
    setLabel(table, 0, MainWindow::tr("Tag%1").arg(report.tagId));
    for (int k = 0; k < PositionReport::AnchorCount; ++k)
        setLabel(table, k + 1, MainWindow::tr("Anc%1").arg(report.anchorId[k]));

    // The tag has no range of its own: that cell keeps the form's empty item.
    QTableWidgetItem *corner = table->item(0, 0);
    if (corner && corner->textAlignment() != Qt::AlignCenter)
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
