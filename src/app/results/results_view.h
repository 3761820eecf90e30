// ResultsView: the window that opens after a bulk run's completion box and lists every row of
// the run — where it was, its MAC address, what became of it and why — under the run's counts,
// with a "Problems only" filter (failed, unsent and cancelled rows, and files written with empty
// values) and a box that finds a MAC in any spelling or a row, Copy, and Save as CSV or .xlsx (the
// same file the CLI's
// --report writes). Copy and Save act on the same rows: the selected ones, else the shown ones,
// as their buttons say. It does not block its owner: the operator may keep it open while
// working on.
#pragma once

#include <QDialog>
#include <QHideEvent>
#include <QString>
#include <functional>

#include "app/results/results_model.h"
#include "app/results/row_table_actions.h"

class QCheckBox;
class QLabel;
class QTableView;

namespace velquor::app {

class ControlWindow;
class Prompter;

class ResultsView final : public QDialog {
    Q_OBJECT

public:
    ResultsView(Prompter& prompter, RunResults results, QWidget* parent = nullptr);

    // How a view opened in place of another takes over from it.
    enum class Filters {
        Fresh,  // a new run: every row shown
        Kept,   // the same run with more done (a retry merged in): the operator's filters stay
    };
    // Opens the results of a run beside owner, in place of the view of its previous run.
    static ResultsView* open(ControlWindow& owner, RunResults results,
                             Filters filters = Filters::Fresh);

    QString countsText() const;
    QTableView* table() const { return m_table; }
    QCheckBox* failuresOnlyBox() const { return m_failuresOnly; }
    // Keeps the rows of a MAC typed in any spelling, or of a row's number (RowSearch).
    QLineEdit* filterBox() const { return m_actions->filterBox(); }
    QPushButton* copyButton() const { return m_actions->copyButton(); }
    QPushButton* saveButton() const { return m_actions->saveButton(); }
    // How many rows the table shows with the filter as it stands.
    int visibleRowCount() const;
    // A "Retry failed rows" button for the count rows that ended failed, unknown or not sent;
    // retry sends them again (once: the button is then disabled).
    void offerRetry(int count, std::function<void()> retry);
    QPushButton* retryButton() const { return m_retry; }
    // The same place offers what may follow a run that has nothing to retry (Generate's Serve
    // to phones); action runs at each click.
    void offerFollowUp(const QString& text, std::function<void()> action);

    // Selected rows (all shown rows when none is selected) as tab-separated lines with a
    // header, ready to paste into a spreadsheet or a ticket.
    void copyRows() { m_actions->copyRows(); }
    // Asks where, then writes the report of the same rows atomically, as CSV or as .xlsx by
    // the name's extension; a name without one gets that of the chosen file type. False when
    // nothing was written.
    bool saveReport() { return m_actions->saveReport(); }

protected:
    // The keyboard goes back to the window the run came from: without this it goes nowhere
    // once the view closes, and Return and Escape would do nothing there until a click.
    void hideEvent(QHideEvent* event) override;

private:
    RunResults m_results;
    ResultsTableModel* m_model;
    FailureFilterModel* m_filter;
    QLabel* m_counts;
    QCheckBox* m_failuresOnly;
    QTableView* m_table;
    RowTableActions* m_actions;
    QPushButton* m_retry;
};

}  // namespace velquor::app
