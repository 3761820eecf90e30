// SiteTableView: the site table — one row per phone of the device sheet: its row, MAC, file
// and MD5, registration and server text, the phone's-eye verdict, when the phone fetched it,
// and what to do about a problem. A filter to the problems and a text filter, sorting, Copy and
// Save (CSV or .xlsx, the CLI's columns) for the customer's acceptance record. It refreshes on
// demand and after each Generate, Add and Delete, and its "Fetched by the phone" column follows
// the Serve to phones window while it serves; it does not block the main window.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "app/results/row_table_actions.h"
#include "app/results/table_actions.h"
#include "phonecheck/phone_check.h"
#include "phonecheck/site_check.h"
#include "report/report_table.h"
#include "serve/status/site_status.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace velquor::app {

class ControlWindow;
class Prompter;

// What the site table checks: the main window's sheet, output folder and key, the user of
// the window's KESTO login (asked again for no password), and the Serve to phones window's
// fetch log.
struct SiteInputs {
    QString sheet;
    QString outputFolder;
    QString key;       // empty: the served files are not decrypted
    QString user;      // empty: not logged in; the table's own fields may log in
    QString fetchLog;  // empty: leaves the table's field as it is
};

class SiteTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit SiteTableModel(QObject* parent = nullptr);
    void setChecks(std::vector<phonecheck::PhoneCheck> checks);
    // The phone server's statuses: only the "Fetched by the phone" cells that changed.
    void setFetches(const std::vector<serve::PhoneStatus>& phones);
    const std::vector<phonecheck::PhoneCheck>& checks() const { return m_checks; }
    const QStringList& headers() const { return m_headers; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QStringList m_headers;
    std::vector<phonecheck::PhoneCheck> m_checks;
};

// The problem rows only, when asked, and the rows the typed text finds (TypedRowFilter).
class SiteFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit SiteFilterModel(QObject* parent = nullptr) : QSortFilterProxyModel(parent) {}
    void setProblemsOnly(bool problemsOnly);
    void setTypedFilter(const QString& typed);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_problemsOnly = false;
    TypedRowFilter m_typed;
};

class SiteTableView final : public QDialog {
    Q_OBJECT

public:
    SiteTableView(Prompter& prompter, SiteInputs inputs, QWidget* parent = nullptr);

    // Opens the site table beside owner, or brings the open one forward with these inputs.
    static SiteTableView* open(ControlWindow& owner, SiteInputs inputs);
    // The open one's, if any, after owner ran a Generate: the same inputs, checked again.
    static void refreshAfterGenerate(ControlWindow& owner, SiteInputs inputs);
    // The open one's, if any, given owner's inputs (a login, a fetch log), not checked again.
    static void updateOpen(ControlWindow& owner, const SiteInputs& inputs);
    // The open one's, if any, checked again after an Add or Delete of owner's Device dialog.
    static void refreshOpen(QWidget* owner);
    // The open one's, if any, given the statuses of the phone server serving the site.
    static void showServerFetchesOpen(QWidget* owner,
                                      const std::vector<serve::PhoneStatus>& phones);

    // The statuses of the phone server serving the site: the "Fetched by the phone" column
    // follows them at once and every later check takes them. A phone taking its file changes
    // nothing the check compares, so the phones are not fetched and checked again for it.
    void showServerFetches(const std::vector<serve::PhoneStatus>& phones);

    void setInputs(const SiteInputs& inputs);
    QLineEdit* userBox() const { return m_user; }
    QLineEdit* passwordBox() const { return m_password; }
    QLineEdit* fetchLogBox() const { return m_fetchLog; }
    QCheckBox* problemsOnlyBox() const { return m_problemsOnly; }
    QLineEdit* filterBox() const { return m_actions->filterBox(); }
    QTableView* table() const { return m_table; }
    QPushButton* refreshButton() const { return m_refresh; }
    QPushButton* saveButton() const { return m_actions->saveButton(); }
    QString countsText() const;
    int visibleRowCount() const { return m_filter->rowCount(); }
    const SiteTableModel& model() const { return *m_model; }

public slots:
    // Checks every phone again: off the GUI thread, behind a progress dialog.
    void refresh();
    void copyRows() { m_actions->copyRows(); }
    bool saveReport() { return m_actions->saveReport(); }

private:
    void showChecks(phonecheck::SiteCheck site);
    void updateButtons();
    void layOut();
    // Each column as wide as its texts, at most a quarter of the table, and its header whole.
    void fitColumns();
    void showCounts();

    Prompter& m_prompter;
    SiteTableModel* m_model;
    SiteFilterModel* m_filter;
    QLineEdit* m_sheet;
    QLineEdit* m_folder;
    QLineEdit* m_key;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QLineEdit* m_fetchLog;
    QLineEdit* m_caFile;
    QString m_loggedInUser;  // the window's KESTO login
    QLabel* m_counts;
    QCheckBox* m_problemsOnly;
    QTableView* m_table;
    RowTableActions* m_actions;
    QPushButton* m_refresh;
    bool m_busy = false;
    bool m_checked = false;  // the counts say something once a check ended
    std::optional<std::vector<serve::PhoneStatus>> m_serverPhones;
};

}  // namespace velquor::app
