// RowTableActions: what every table of rows with a text filter offers beside it, wired once —
// the filter box, and Copy and Save of the rows it shows: their texts follow the selection
// and the filter, Copy puts the rows on the clipboard as tab-separated text, Save writes them
// as the view's report. A view with filters of its own besides the text calls updateButtons
// when they change.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "report/report_table.h"

class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class QWidget;

namespace velquor::app {

class Prompter;

class RowTableActions final : public QObject {
    Q_OBJECT

public:
    // The whole report of the view's source model: its row i is the model's row i.
    using Report = std::function<report::ReportTable()>;
    // What the view does with the text typed into the filter box.
    using Typed = std::function<void(const QString& typed)>;

    // Made on view, over table showing shown (whose source model gives the Copy headers);
    // besideInput, when the rows came from a file, is where Save's dialog starts before any
    // report was saved.
    RowTableActions(QWidget& view, Prompter& prompter, QTableView& table,
                    QSortFilterProxyModel& shown, Report report, Typed typed,
                    QString besideInput = QString());

    // The file the rows come from now (a window whose sheet can change).
    void setBesideInput(const QString& input) { m_besideInput = input; }

    QLineEdit* filterBox() const { return m_filterBox; }
    QPushButton* copyButton() const { return m_copy; }
    QPushButton* saveButton() const { return m_save; }

    // "Copy selected (3)" / "Copy shown (12)" / "Copy all", and Save's likewise; called by
    // itself when the selection, the filter or the rows change.
    void updateButtons();
    void copyRows();
    bool saveReport();

private:
    QWidget& m_view;
    Prompter& m_prompter;
    QTableView& m_table;
    QSortFilterProxyModel& m_shown;
    Report m_report;
    QString m_besideInput;
    QLineEdit* m_filterBox;
    QPushButton* m_copy;
    QPushButton* m_save;
};

}  // namespace velquor::app
