// SiteTableView: the site table; see site_table_view.h. The check runs on a worker behind the
// progress dialog; a failure (a sheet that cannot be read, a refused login) is said in the
// line above the table, with the rows of the last check kept.
#include "app/site/site_table_view.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/kesto/kesto_session.h"
#include "app/kit/progress/progress_task.h"
#include "app/kit/window/control_window.h"
#include "app/kit/window/ordinary_window.h"
#include "app/kit/window/screen_fit.h"
#include "app/language/core_texts.h"
#include "app/results/mac_findings.h"
#include "app/results/row_table_actions.h"
#include "app/results/table_actions.h"
#include "phonecheck/site_report.h"
#include "serve/status/site_status.h"
#include "settings/kesto_settings.h"
#include "wire/server_text.h"

namespace velquor::app {
namespace {

// The verdict and what to do first: what a technician on site reads before anything else; the
// digest, read only to compare with an upload, last.
enum SiteColumn : int {
    kRowColumn,
    kMacColumn,
    kVerdictColumn,
    kActionColumn,
    kFileColumn,
    kRegisteredColumn,
    kServerColumn,
    kFetchedColumn,
    kAskedColumn,
    kMd5Column,
    kSiteColumns,
};

std::string toBytes(const QString& text) {
    return text.toStdString();
}

QString registrationText(const phonecheck::PhoneCheck& check) {
    if (check.phone.mac.empty()) return {};  // a refused row names no phone
    if (!check.registration) return SiteTableModel::tr("not asked");
    switch (*check.registration) {
        case provisioning::CheckOutcome::Registered:
            return SiteTableModel::tr("registered");
        case provisioning::CheckOutcome::NotRegistered:
            return SiteTableModel::tr("not registered");
        case provisioning::CheckOutcome::AnotherAccount:
            return SiteTableModel::tr("another account");
    }
    return {};
}

// What a check needs, taken on the GUI thread: the request, and a password when the table's
// own fields log in (none: the window's KESTO login, which the server still knows, is used).
struct SiteJob {
    phonecheck::SiteRequest request;
    std::string password;
};

using SiteResult = support::Result<phonecheck::SiteCheck>;

SiteResult runSiteJob(const SiteJob& job, support::ProgressSink& sink, std::stop_token stop) {
    auto source = phonecheck::readSite(job.request, stop);
    if (!source) return source.error();
    if (job.request.user && !job.password.empty()) {
        support::NullReporter quiet;
        if (auto role = provisioning::login(job.request.endpoint, *job.request.user, job.password,
                                            quiet, stop);
            !role) {
            return role.error();
        }
    }
    return phonecheck::checkSite(job.request, *source, sink, stop);
}

// The widest a column is made for its texts: the verdict and the URLs in it must leave "What
// to do" on the screen; the whole text is in the cell's tooltip.
int widestColumn(const QTableView& table) {
    return std::max(160, table.viewport()->width() / 4);
}

}  // namespace

SiteTableModel::SiteTableModel(QObject* parent) : QAbstractTableModel(parent) {
    m_headers = {tr("Row"),         tr("MAC"),        tr("Verdict"), tr("What to do"),
                 tr("File"),        tr("Registered"), tr("Server"),  tr("Fetched by the phone"),
                 tr("Phone asked"), tr("MD5")};
}

void SiteTableModel::setChecks(std::vector<phonecheck::PhoneCheck> checks) {
    beginResetModel();
    m_checks = std::move(checks);
    endResetModel();
}

void SiteTableModel::setFetches(const std::vector<serve::PhoneStatus>& phones) {
    struct Shown {
        std::vector<std::string> fetchedBy;
        phonecheck::Verdict verdict;
    };
    std::vector<Shown> before;
    before.reserve(m_checks.size());
    for (const phonecheck::PhoneCheck& check : m_checks)
        before.push_back({check.fetchedBy.arguments, check.verdict});
    phonecheck::addFetches(m_checks, phones);
    int first = -1;
    int last = -1;
    for (std::size_t row = 0; row < m_checks.size(); ++row) {
        if (m_checks[row].fetchedBy.arguments == before[row].fetchedBy &&
            m_checks[row].verdict == before[row].verdict)
            continue;
        if (first < 0) first = static_cast<int>(row);
        last = static_cast<int>(row);
    }
    if (first >= 0) emit dataChanged(index(first, 0), index(last, kSiteColumns - 1));
}

int SiteTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_checks.size());
}

int SiteTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kSiteColumns;
}

QVariant SiteTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const phonecheck::PhoneCheck& check = m_checks.at(static_cast<std::size_t>(index.row()));
    if (role == Qt::UserRole)
        return check.verdict != phonecheck::Verdict::Ready || !check.action.empty();
    // The row sorts as a number, not as text.
    if (role == Qt::EditRole && index.column() == kRowColumn) return check.phone.row;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::EditRole) return {};
    switch (index.column()) {
        case kRowColumn:
            return QString::number(check.phone.row);
        case kMacColumn:
            return QString::fromStdString(check.phone.cell);
        case kFileColumn:
            return QString::fromStdString(check.servedFile);
        case kMd5Column:
            return QString::fromStdString(check.md5);
        case kRegisteredColumn:
            return registrationText(check);
        case kServerColumn:
            return QString::fromStdString(wire::maskedServerText(check.serverText));
        case kVerdictColumn:
            if (role == Qt::ToolTipRole && !check.detail.empty())
                return coreText(check.reason) + QLatin1Char('\n') +
                       QString::fromStdString(check.detail);
            return coreText(check.reason);
        case kFetchedColumn:
            return check.fetchedBy.empty() ? QString() : coreText(check.fetchedBy);
        case kAskedColumn:
            return QString::fromStdString(check.asked);
        case kActionColumn:
            return check.action.empty() ? QString() : coreText(check.action);
        default:
            return {};
    }
}

QVariant SiteTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return m_headers.value(section);
}

void SiteFilterModel::setProblemsOnly(bool problemsOnly) {
    m_problemsOnly = problemsOnly;
    invalidateFilter();
}

void SiteFilterModel::setTypedFilter(const QString& typed) {
    m_typed.setTyped(typed);
    invalidateFilter();
}

bool SiteFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    const QAbstractItemModel* source = sourceModel();
    if (m_problemsOnly && !source->index(sourceRow, 0, sourceParent).data(Qt::UserRole).toBool())
        return false;
    return m_typed.accepts(*source, sourceRow, kMacColumn);
}

SiteTableView::SiteTableView(Prompter& prompter, SiteInputs inputs, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {
    makeOrdinaryWindow(*this);
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Site table"));
    m_model = new SiteTableModel(this);
    m_filter = new SiteFilterModel(this);
    m_filter->setSourceModel(m_model);
    m_filter->setSortRole(Qt::EditRole);
    m_sheet = new QLineEdit(this);
    m_folder = new QLineEdit(this);
    m_key = new QLineEdit(this);
    m_key->setEchoMode(QLineEdit::Password);
    m_user = new QLineEdit(this);
    m_password = new QLineEdit(this);
    m_password->setEchoMode(QLineEdit::Password);
    m_fetchLog = new QLineEdit(this);
    m_fetchLog->setPlaceholderText(tr("optional: the phone server's fetch log"));
    m_caFile = new QLineEdit(this);
    m_caFile->setPlaceholderText(
        tr("optional: the CA certificates an https server text is checked against"));
    m_user->setPlaceholderText(tr("optional: log in to see the registrations"));
    m_counts = new QLabel(this);
    m_counts->setWordWrap(true);
    m_counts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_problemsOnly = new QCheckBox(tr("Problems only"), this);
    m_table = newRowTable(this, m_filter);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_actions = new RowTableActions(
        *this, prompter, *m_table, *m_filter,
        [this] { return phonecheck::siteReport(m_model->checks()); },
        [this](const QString& typed) { m_filter->setTypedFilter(typed); });
    // The rows are the sheet's: Save starts beside it.
    connect(m_sheet, &QLineEdit::textChanged, m_actions, &RowTableActions::setBesideInput);
    m_refresh = new QPushButton(tr("Refresh"), this);
    layOut();
    setInputs(inputs);

    connect(m_problemsOnly, &QCheckBox::toggled, this, [this](bool on) {
        m_filter->setProblemsOnly(on);
        updateButtons();
    });
    connect(m_refresh, &QPushButton::clicked, this, &SiteTableView::refresh);
    m_counts->setText(tr("Press Refresh to check every phone of the sheet."));
    fitColumns();
    updateButtons();
}

void SiteTableView::fitColumns() {
    const int widest = widestColumn(*m_table);
    QHeaderView* header = m_table->horizontalHeader();
    for (int column = 0; column + 1 < kSiteColumns; ++column) {
        m_table->resizeColumnToContents(column);
        // A header is shown whole, before the first check too.
        const int least = header->sectionSizeHint(column);
        m_table->setColumnWidth(column,
                                std::max(least, std::min(m_table->columnWidth(column), widest)));
    }
}

void SiteTableView::layOut() {
    auto* form = new QFormLayout;
    form->addRow(tr("Device sheet:"), m_sheet);
    form->addRow(tr("Output folder:"), m_folder);
    form->addRow(tr("Phones' key:"), m_key);
    auto* login = new QHBoxLayout;
    login->addWidget(m_user, 1);
    login->addWidget(new QLabel(tr("Password:"), this));
    login->addWidget(m_password, 1);
    form->addRow(tr("User:"), login);
    form->addRow(tr("Fetch log:"), m_fetchLog);
    form->addRow(tr("Web server CA:"), m_caFile);
    auto* filters = new QWidget(this);
    auto* filterRow = new QHBoxLayout(filters);
    filterRow->setContentsMargins(0, 0, 0, 0);
    filterRow->addWidget(m_problemsOnly);
    filterRow->addWidget(m_actions->filterBox());
    auto* rows = new QWidget(this);
    auto* close = new QPushButton(tr("Close"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    layOutRowTable(*rows, m_counts, filters, m_table, m_refresh,
                   {m_actions->copyButton(), m_actions->saveButton(), close});
    rows->layout()->setContentsMargins(0, 0, 0, 0);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(rows, 1);
    resize(1040, 560);
}

SiteTableView* SiteTableView::open(ControlWindow& owner, SiteInputs inputs) {
    auto open = owner.findChildren<SiteTableView*>(Qt::FindDirectChildrenOnly);
    SiteTableView* view =
        open.isEmpty() ? new SiteTableView(owner.prompter(), inputs, &owner) : open.front();
    if (!open.isEmpty()) view->setInputs(inputs);
    if (!view->isVisible()) fitToScreen(view);
    view->show();
    view->raise();
    view->activateWindow();
    return view;
}

void SiteTableView::refreshAfterGenerate(ControlWindow& owner, SiteInputs inputs) {
    const auto open = owner.findChildren<SiteTableView*>(Qt::FindDirectChildrenOnly);
    if (open.isEmpty()) return;
    open.front()->setInputs(inputs);
    open.front()->refresh();
}

void SiteTableView::updateOpen(ControlWindow& owner, const SiteInputs& inputs) {
    const auto open = owner.findChildren<SiteTableView*>(Qt::FindDirectChildrenOnly);
    if (!open.isEmpty()) open.front()->setInputs(inputs);
}

void SiteTableView::refreshOpen(QWidget* owner) {
    if (owner == nullptr) return;
    const auto open = owner->findChildren<SiteTableView*>(Qt::FindDirectChildrenOnly);
    if (!open.isEmpty()) open.front()->refresh();
}

void SiteTableView::showServerFetchesOpen(QWidget* owner,
                                          const std::vector<serve::PhoneStatus>& phones) {
    if (owner == nullptr) return;
    const auto open = owner->findChildren<SiteTableView*>(Qt::FindDirectChildrenOnly);
    if (!open.isEmpty()) open.front()->showServerFetches(phones);
}

void SiteTableView::showServerFetches(const std::vector<serve::PhoneStatus>& phones) {
    m_serverPhones = phones;
    m_model->setFetches(phones);
    showCounts();
}

void SiteTableView::setInputs(const SiteInputs& inputs) {
    m_sheet->setText(inputs.sheet);
    m_folder->setText(inputs.outputFolder);
    m_key->setText(inputs.key);
    if (!inputs.fetchLog.isEmpty()) m_fetchLog->setText(inputs.fetchLog);
    if (!inputs.user.isEmpty() && inputs.user != m_loggedInUser) {
        m_loggedInUser = inputs.user;
        m_user->setText(inputs.user);
        m_password->clear();
        m_password->setPlaceholderText(tr("not needed: logged in with KESTO"));
    }
}

void SiteTableView::refresh() {
    if (m_busy) return;
    auto loaded = settings::loadSettings({});
    SiteJob job;
    phonecheck::SiteRequest& request = job.request;
    request.sheet = toBytes(m_sheet->text().trimmed());
    request.outputFolder = toBytes(m_folder->text().trimmed());
    if (!m_key->text().isEmpty()) request.key = toBytes(m_key->text());
    if (const QString user = m_user->text().trimmed(); !user.isEmpty())
        request.user = toBytes(user);
    job.password = toBytes(m_password->text());
    request.fetchLog = toBytes(m_fetchLog->text().trimmed());
    request.caFile = toBytes(m_caFile->text().trimmed());
    if (loaded) request.endpoint = provisioning::endpointFromSettings(loaded->effective);
    request.form = configuredMacForm();
    request.pattern = configuredFileName();
    m_busy = true;
    m_refresh->setEnabled(false);
    runWithProgress<SiteResult>(
        this, tr("Checking every phone of the site…"),
        [job](support::ProgressSink& sink, std::stop_token stop) {
            return runSiteJob(job, sink, stop);
        },
        [this](std::optional<SiteResult> result, bool cancelled) {
            m_busy = false;
            m_refresh->setEnabled(true);
            if (cancelled || !result) return;
            if (!result->ok()) {
                m_counts->setText(
                    tr("The site could not be checked: %1").arg(coreText(result->error())));
                return;
            }
            showChecks(std::move(result->value()));
        },
        ProgressDetail::Item);
}

void SiteTableView::showChecks(phonecheck::SiteCheck site) {
    if (m_serverPhones) phonecheck::addFetches(site.rows, *m_serverPhones);
    m_model->setChecks(std::move(site.rows));
    m_checked = true;
    showCounts();
    m_table->sortByColumn(kRowColumn, Qt::AscendingOrder);
    fitColumns();
    updateButtons();
}

void SiteTableView::showCounts() {
    if (!m_checked) return;
    const phonecheck::SiteCounts counts = phonecheck::countsOf(m_model->checks());
    const auto rows = static_cast<int>(counts.rows);
    const auto ready = static_cast<int>(counts.ready);
    const auto problems = static_cast<int>(counts.problems);
    if (counts.refusedRows == 0) {
        m_counts->setText(
            tr("%n phone(s): %1 ready, %2 with a problem", nullptr, rows).arg(ready).arg(problems));
    } else {
        //: %1 phones (every row of the sheet), %2 ready, %3 with a problem, %n rows of the sheet
        //: that hold no MAC address (among the problems)
        m_counts->setText(tr("%1 phones: %2 ready, %3 with a problem, %n row(s) of the sheet "
                             "refused",
                             nullptr, static_cast<int>(counts.refusedRows))
                              .arg(rows)
                              .arg(ready)
                              .arg(problems));
    }
}

QString SiteTableView::countsText() const {
    return m_counts->text();
}

void SiteTableView::updateButtons() {
    m_actions->updateButtons();
}

}  // namespace velquor::app
