#ifndef TABLESETUP_H
#define TABLESETUP_H

class QTableWidget;

// Both headers share the table's size equally, so neither can be resized by hand.
void stretchTableHeaders(QTableWidget *table);

// Check boxes anchor0 to anchor7 and the labels of the settings table.
void setUpAnchorTable(QTableWidget *table);

// The labels the range table shows until the first report.
void setUpRangeTable(QTableWidget *table);

#endif // TABLESETUP_H
