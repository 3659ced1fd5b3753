#include "app/tablesetup.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QTableWidget>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

void stretchTableHeaders(QTableWidget *table)
{
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Stretch);
}

void setUpAnchorTable(QTableWidget *table)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        auto *item = new QTableWidgetItem(tr("anchor%1").arg(row));
        item->setCheckState(Qt::Unchecked);
        table->setItem(row, 0, item);
        table->item(row, 0)->setTextAlignment(Qt::AlignCenter);
    }
    table->setHorizontalHeaderLabels({ tr("AnchorID"), tr("X(cm)"), tr("Y(cm)"), tr("Z(cm)") });
}

void setUpRangeTable(QTableWidget *table)
{
    table->setHorizontalHeaderLabels(
        { tr("TagID"), tr("AncID"), tr("AncID"), tr("AncID"), tr("AncID") });
    table->setVerticalHeaderLabels({ tr("Range(cm)"), tr("X(cm)"), tr("Y(cm)"), tr("Z(cm)") });
}
