#ifndef RANGETABLE_H
#define RANGETABLE_H

struct PositionReport;
class QTableWidget;

// Shows the report's ranges and coordinates in whole centimetres, one column per tag or anchor.
void refreshRangeTable(QTableWidget *table, const PositionReport &report);

#endif // RANGETABLE_H
