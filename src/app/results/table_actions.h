// What every table of rows in the window offers beside its filter: Copy and Save act on the
// same rows — the selected ones, else the shown ones — as their buttons say, and Save writes
// CSV or .xlsx by the name's extension through the report writer the CLI uses.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "report/report_table.h"

class QAbstractItemModel;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class QWidget;

namespace velquor::app {

class Prompter;

// What a table's filter box holds, read once: a row is kept when one of its cells holds the
// typed text, in any case, or its MAC cell holds it with the separators left out, so that
// "00:1A:2B" finds 001a2b…; empty keeps every row.
class TypedRowFilter {
public:
    void setTyped(const QString& typed);
    bool accepts(const QAbstractItemModel& source, int row, int macColumn) const;

private:
    QString m_typed;
    QString m_hexDigits;
};

// A table of rows to read, sort, select and copy, never to edit, over shown; each row one
// line at the font's height.
QTableView* newRowTable(QWidget* parent, QSortFilterProxyModel* shown);

// The layout every such view has: its counts and a control beside them (a filter), the table,
// then a button of its own on the left and Copy, Save and Close on the right. No button takes
// Return for itself.
void layOutRowTable(QWidget& view, QWidget* counts, QWidget* besideCounts, QTableView* table,
                    QPushButton* ownButton, const QList<QPushButton*>& rightButtons);

// The source rows Copy and Save act on, in the order the table shows them: the selected
// ones, or every shown one when none is selected.
QList<int> actedSourceRows(const QTableView& table, const QSortFilterProxyModel& shown);

// Those rows of source as tab-separated lines under headers, ready to paste into a spreadsheet
// or a ticket.
QString rowsAsTabText(const QAbstractItemModel& source, const QStringList& headers,
                      const QList<int>& rows);

// "Copy selected (3)" / "Copy shown (12)" / "Copy all", and Save's likewise.
void nameCopyAndSave(QPushButton& copy, QPushButton& save, const QTableView& table,
                     const QSortFilterProxyModel& shown);

// Asks where (starting where the last report went, else beside the input the rows came from),
// then writes the report's rows atomically, as CSV or as .xlsx by the name's extension; a name
// without one gets that of the chosen file type. False when nothing was written (the operator
// cancelled, or the box said why).
bool saveRowsAsReport(QWidget* owner, Prompter& prompter, const report::ReportTable& table,
                      const QString& besideInput = QString());

// Only the given rows of a report, in that order.
report::ReportTable reportRows(const report::ReportTable& report, const QList<int>& rows);

}  // namespace velquor::app
