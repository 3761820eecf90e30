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

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace velquor::app {

class ControlWindow;
class Prompter;

class ResultsView final : public QDialog {
    Q_OBJECT

public:
    ResultsView(Prompter& prompter, RunResults results, QWidget* parent = nullptr);

    // Opens the results of a run beside owner, in place of the view of its previous run.
    static ResultsView* open(ControlWindow& owner, RunResults results);

    QString countsText() const;
    QTableView* table() const { return m_table; }
    QCheckBox* failuresOnlyBox() const { return m_failuresOnly; }
    // Keeps the rows of a MAC typed in any spelling, or of a row's number (RowSearch).
    QLineEdit* filterBox() const { return m_filterBox; }
    QPushButton* copyButton() const { return m_copy; }
    QPushButton* saveButton() const { return m_save; }
    // How many rows the table shows with the filter as it stands.
    int visibleRowCount() const;
    // A "Retry failed rows" button for the count rows that ended failed, unknown or not sent;
    // retry sends them again (once: the button is then disabled).
    void offerRetry(int count, std::function<void()> retry);
    QPushButton* retryButton() const { return m_retry; }
    // The same place offers what may follow a run that has nothing to retry (Generate's Serve
    // to phones); action runs at each click.
    void offerFollowUp(const QString& text, std::function<void()> action);

public slots:
    // Selected rows (all shown rows when none is selected) as tab-separated lines with a
    // header, ready to paste into a spreadsheet or a ticket.
    void copyRows();
    // Asks where, then writes the report of the same rows atomically, as CSV or as .xlsx by
    // the name's extension; a name without one gets that of the chosen file type. False when
    // nothing was written.
    bool saveReport();

protected:
    // The keyboard goes back to the window the run came from: without this it goes nowhere
    // once the view closes, and Return and Escape would do nothing there until a click.
    void hideEvent(QHideEvent* event) override;

private:
    // The source rows Copy and Save act on, in the order the table shows them.
    QList<int> actedRows() const;
    // Says on Copy and Save which rows they take.
    void updateButtonTexts();

    Prompter& m_prompter;
    RunResults m_results;
    ResultsTableModel* m_model;
    FailureFilterModel* m_filter;
    QLabel* m_counts;
    QCheckBox* m_failuresOnly;
    QLineEdit* m_filterBox;
    QTableView* m_table;
    QPushButton* m_copy;
    QPushButton* m_save;
    QPushButton* m_retry;
};

}  // namespace velquor::app
