// DeviceTableView: what the server holds, read back — the devices registered to the account
// (List devices) or the outcome of every MAC address of a file (Check MAC file) — with a filter
// box, sorting by any column, Copy and Save as CSV or .xlsx (the CLI's columns). From a
// listing, the selected devices can be deleted: the owner runs the Delete and refreshes the
// table. It does not block its owner.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/results/row_table_actions.h"
#include "app/results/table_actions.h"
#include "provisioning/device_inventory.h"
#include "report/report_table.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace velquor::app {

class ControlWindow;
class Prompter;

// One table's rows as the window shows them, and the same rows as the CLI writes them.
struct DeviceTable {
    QString title;
    QString counts;  // the line above the table
    QStringList headers;
    std::vector<QStringList> rows;  // MAC first
    report::ReportTable report;     // row i is rows[i]
    bool listing = false;           // the account's devices, which may be deleted
};

// The devices of account (empty: the operator's own) as the listing gave them.
DeviceTable listingTable(const std::vector<provisioning::RegisteredDevice>& devices,
                         const QString& account, const QString& server);
// The outcome of each MAC address of file.
DeviceTable checkTable(const std::vector<provisioning::CheckedDevice>& checked,
                       const QString& file);

class DeviceTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit DeviceTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
    void setTable(QStringList headers, std::vector<QStringList> rows);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    const QStringList& headers() const { return m_headers; }

private:
    QStringList m_headers;
    std::vector<QStringList> m_rows;
};

// Keeps the rows where some column holds the typed text, in any case; in the MAC column the
// text is compared without separators too, so "00:1A:2B" finds 001a2b….
class DeviceFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit DeviceFilterModel(QObject* parent = nullptr) : QSortFilterProxyModel(parent) {}
    void setTypedFilter(const QString& typed);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    TypedRowFilter m_typed;
};

class DeviceTableView final : public QDialog {
    Q_OBJECT

public:
    // Given the canonical MACs of the selected rows; the owner asks, deletes, then refreshes.
    using DeleteRequest = std::function<void(const std::vector<std::string>& macs)>;

    DeviceTableView(Prompter& prompter, DeviceTable table, QWidget* parent = nullptr);

    // Opens table beside owner, in place of the one it showed before.
    static DeviceTableView* open(ControlWindow& owner, DeviceTable table);
    // Shows the new rows (a refreshed listing), keeping the filter.
    void showTable(DeviceTable table);
    // A listing offers "Delete selected" once this is set.
    void setDeleteRequest(DeleteRequest request);
    bool isListing() const { return m_source.listing; }
    // Raised above its owner and given the keyboard, as after its owner's boxes closed.
    void bringToFront();

    QLineEdit* filterBox() const { return m_actions->filterBox(); }
    QTableView* table() const { return m_table; }
    QPushButton* deleteButton() const { return m_delete; }
    QPushButton* copyButton() const { return m_actions->copyButton(); }
    QPushButton* saveButton() const { return m_actions->saveButton(); }
    QString countsText() const;
    int visibleRowCount() const { return m_filter->rowCount(); }

public slots:
    void copyRows() { m_actions->copyRows(); }
    bool saveReport() { return m_actions->saveReport(); }
    void deleteSelected();

private:
    void updateButtons();
    // Widens the window, as far as its screen has room, until every column shows whole.
    void widenToColumns();

    Prompter& m_prompter;
    DeviceTable m_source;
    DeviceTableModel* m_model;
    DeviceFilterModel* m_filter;
    QLabel* m_counts;
    QTableView* m_table;
    RowTableActions* m_actions;
    QPushButton* m_delete;
    DeleteRequest m_deleteRequest;
};

}  // namespace velquor::app
