#include "app/tablesetup.h"

#include "app/mainwindow.h"

#include <QHeaderView>
#include <QTableWidget>

void stretchTableHeaders(QTableWidget *table)
{
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Stretch);
}

void setUpAnchorTable(QTableWidget *table)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        auto *item = new QTableWidgetItem(MainWindow::tr("anchor%1").arg(row));
        item->setCheckState(Qt::Unchecked);
        table->setItem(row, 0, item);
        table->item(row, 0)->setTextAlignment(Qt::AlignCenter);
    }
    table->setHorizontalHeaderLabels({ MainWindow::tr("AnchorID"), MainWindow::tr("X(cm)"),
                                       MainWindow::tr("Y(cm)"), MainWindow::tr("Z(cm)") });
}

void setUpRangeTable(QTableWidget *table)
{
    table->setHorizontalHeaderLabels({ MainWindow::tr("TagID"), MainWindow::tr("AncID"),
                                       MainWindow::tr("AncID"), MainWindow::tr("AncID"),
                                       MainWindow::tr("AncID") });
    table->setVerticalHeaderLabels({ MainWindow::tr("Range(cm)"), MainWindow::tr("X(cm)"),
                                     MainWindow::tr("Y(cm)"), MainWindow::tr("Z(cm)") });
}
