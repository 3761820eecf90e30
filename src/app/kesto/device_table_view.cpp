// DeviceTableView: a listing or a check of devices, filtered, sorted, copied, saved, deleted.
#include "app/kesto/device_table_view.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <algorithm>

#include "app/kit/window/control_window.h"
#include "app/kit/window/keyboard_access.h"
#include "app/results/row_table_actions.h"
#include "app/results/table_actions.h"
#include "support/hex.h"
#include "support/local_time.h"
#include "wire/server_text.h"

namespace velquor::app {
namespace {

// How many rows a column is measured on for its width: a long listing is not read whole.
constexpr int kMeasuredRows = 50;

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// A server's text as the table shows it: its control characters visibly escaped, so that a
// line break or an escape sequence cannot pass for something else. Save keeps the bytes.
QString serverText(const std::string& text) {
    return fromUtf8(support::escapeControls(text));
}

QString outcomeWord(provisioning::CheckOutcome outcome) {
    switch (outcome) {
        case provisioning::CheckOutcome::Registered:
            return DeviceTableView::tr("registered");
        case provisioning::CheckOutcome::NotRegistered:
            return DeviceTableView::tr("not registered");
        case provisioning::CheckOutcome::AnotherAccount:
            return DeviceTableView::tr("another account");
    }
    return {};
}

constexpr int kMacColumn = 0;

// What a phone was last told on kestod's phones' port, as the list shows it.
QString askedCell(const provisioning::RegisteredDevice& device) {
    if (!device.askedKnown) return DeviceTableView::tr("not known (kestod without phones' port)");
    if (device.askedAt.empty()) return DeviceTableView::tr("never asked");
    return DeviceTableView::tr("asked at %1 from %2 (%3)")
        .arg(fromUtf8(provisioning::localTimeOfUtc(device.askedAt)), fromUtf8(device.askedFrom),
             fromUtf8(device.askedAnswer));
}

}  // namespace

DeviceTable listingTable(const std::vector<provisioning::RegisteredDevice>& devices,
                         const QString& account, const QString& server) {
    DeviceTable table;
    table.listing = true;
    const int count = static_cast<int>(devices.size());
    table.title = account.isEmpty() ? DeviceTableView::tr("Registered devices")
                                    : DeviceTableView::tr("Devices of %1").arg(account);
    table.counts =
        account.isEmpty()
            ? DeviceTableView::tr("%n device(s) registered to this account on %1.", nullptr, count)
                  .arg(server)
            : DeviceTableView::tr("%n device(s) registered to %1 on %2.", nullptr, count)
                  .arg(account, server);
    table.headers = {DeviceTableView::tr("MAC"), DeviceTableView::tr("Server"),
                     DeviceTableView::tr("Registered"), DeviceTableView::tr("Phone asked")};
    table.report = provisioning::listingReport(devices);
    table.rows.reserve(devices.size());
    for (const auto& device : devices) {
        table.rows.push_back(
            {fromUtf8(device.mac), serverText(wire::maskedServerText(device.server)),
             serverText(support::localTimeOfUtcText(device.registered)), askedCell(device)});
    }
    return table;
}

DeviceTable checkTable(const std::vector<provisioning::CheckedDevice>& checked,
                       const QString& file) {
    DeviceTable table;
    std::array<int, 3> counts{};
    for (const auto& device : checked) ++counts.at(static_cast<std::size_t>(device.outcome));
    table.title = DeviceTableView::tr("Check of %1").arg(file);
    table.counts = DeviceTableView::tr(
                       "Registered to you: %1, not registered: %2, registered to "
                       "another account: %3.")
                       .arg(counts[0])
                       .arg(counts[1])
                       .arg(counts[2]);
    table.headers = {DeviceTableView::tr("MAC"), DeviceTableView::tr("Outcome"),
                     DeviceTableView::tr("Server")};
    table.report = provisioning::checkReport(checked);
    table.rows.reserve(checked.size());
    for (const auto& device : checked) {
        table.rows.push_back({fromUtf8(device.mac), outcomeWord(device.outcome),
                              serverText(wire::maskedServerText(device.server))});
    }
    return table;
}

void DeviceTableModel::setTable(QStringList headers, std::vector<QStringList> rows) {
    beginResetModel();
    m_headers = std::move(headers);
    m_rows = std::move(rows);
    endResetModel();
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
    return m_rows.at(static_cast<std::size_t>(index.row())).value(index.column());
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return m_headers.value(section);
}

void DeviceFilterModel::setTypedFilter(const QString& typed) {
    m_typed.setTyped(typed);
    invalidateFilter();
}

bool DeviceFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    return m_typed.accepts(*sourceModel(), sourceRow, kMacColumn);
}

DeviceTableView::DeviceTableView(Prompter& prompter, DeviceTable table, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {
    setWindowFlag(Qt::Window);
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    addQuitShortcut(this);

    m_model = new DeviceTableModel(this);
    m_filter = new DeviceFilterModel(this);
    m_filter->setSourceModel(m_model);
    m_counts = new QLabel(this);
    m_counts->setWordWrap(true);
    m_counts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_table = newRowTable(this, m_filter);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_actions = new RowTableActions(
        *this, prompter, *m_table, *m_filter, [this] { return m_source.report; },
        [this](const QString& typed) { m_filter->setTypedFilter(typed); });

    m_delete = new QPushButton(tr("Delete selected"), this);
    m_delete->hide();
    auto* close = new QPushButton(tr("Close"), this);
    layOutRowTable(*this, m_counts, m_actions->filterBox(), m_table, m_delete,
                   {m_actions->copyButton(), m_actions->saveButton(), close});
    resize(640, 420);

    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &DeviceTableView::updateButtons);
    connect(m_delete, &QPushButton::clicked, this, &DeviceTableView::deleteSelected);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    showTable(std::move(table));
}

DeviceTableView* DeviceTableView::open(ControlWindow& owner, DeviceTable table) {
    for (auto* previous : owner.findChildren<DeviceTableView*>(Qt::FindDirectChildrenOnly)) {
        delete previous;
    }
    auto* view = new DeviceTableView(owner.prompter(), std::move(table), &owner);
    view->show();
    view->raise();
    return view;
}

void DeviceTableView::showTable(DeviceTable table) {
    m_source = std::move(table);
    setWindowTitle(m_source.title);
    m_counts->setText(m_source.counts);
    m_model->setTable(m_source.headers, m_source.rows);
    m_source.rows.clear();
    m_table->sortByColumn(kMacColumn, Qt::AscendingOrder);
    m_table->horizontalHeader()->setResizeContentsPrecision(kMeasuredRows);
    for (int column = 0; column + 1 < m_model->columnCount(); ++column) {
        m_table->resizeColumnToContents(column);
    }
    widenToColumns();
    updateButtons();
}

void DeviceTableView::widenToColumns() {
    const int columns = m_model->columnCount();
    if (columns == 0) return;
    int wanted = 0;
    for (int column = 0; column + 1 < columns; ++column) wanted += m_table->columnWidth(column);
    // The last column stretches over what is left: it is measured, not resized, on as many
    // rows as the others were.
    int last = m_table->horizontalHeader()->sectionSizeHint(columns - 1);
    const int measured = std::min(m_filter->rowCount(), kMeasuredRows);
    for (int row = 0; row < measured; ++row) {
        last = std::max(last, m_table->sizeHintForIndex(m_filter->index(row, columns - 1)).width());
    }
    wanted += last;
    const QMargins margins = layout()->contentsMargins();
    wanted += margins.left() + margins.right() + 2 * m_table->frameWidth() +
              m_table->verticalScrollBar()->sizeHint().width();
    if (m_table->verticalHeader()->isVisible()) wanted += m_table->verticalHeader()->width();
    if (const QScreen* shownOn = screen()) {
        wanted = std::min(wanted, shownOn->availableGeometry().width());
    }
    if (wanted > width()) resize(wanted, height());
}

void DeviceTableView::setDeleteRequest(DeleteRequest request) {
    m_deleteRequest = std::move(request);
    m_delete->setVisible(m_source.listing && m_deleteRequest != nullptr);
    updateButtons();
}

void DeviceTableView::bringToFront() {
    show();
    raise();
    activateWindow();
}

QString DeviceTableView::countsText() const {
    return m_counts->text();
}

void DeviceTableView::updateButtons() {
    m_actions->updateButtons();
    const auto selected = static_cast<int>(m_table->selectionModel()->selectedRows().size());
    m_delete->setEnabled(selected > 0);
    setTextKeepingAltKey(*m_delete, selected > 0 ? tr("Delete selected (%n)", nullptr, selected)
                                                 : tr("Delete selected"));
}

void DeviceTableView::deleteSelected() {
    if (!m_deleteRequest) return;
    std::vector<std::string> macs;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows(kMacColumn)) {
        macs.push_back(index.data().toString().toStdString());
    }
    if (!macs.empty()) m_deleteRequest(macs);
}

}  // namespace velquor::app
