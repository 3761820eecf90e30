// CDevice: the bulk Add and Delete run on a worker behind the progress dialog; their messages
// and the replace question are shown on the GUI thread while the worker waits for the answer.
#include "app/kesto/device_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "app/kesto/batch_prompts.h"
#include "app/kesto/change_password_dialog.h"
#include "app/kesto/device_table_view.h"
#include "app/kit/inputs/input_history.h"
#include "app/kit/inputs/path_drop.h"
#include "app/kit/progress/progress_task.h"
#include "app/language/core_texts.h"
#include "app/results/mac_findings.h"
#include "app/results/results_view.h"
#include "app/site/site_table_view.h"
#include "provisioning/batch_cells.h"
#include "provisioning/mac_file.h"
#include "sheet/cell_name.h"
#include "wire/server_text.h"

namespace velquor::app {

namespace {

using BatchResult = support::Result<provisioning::DeviceBatchSummary>;
using ListResult = support::Result<std::vector<provisioning::RegisteredDevice>>;
using CheckResult = support::Result<std::vector<provisioning::CheckedDevice>>;

// A stop the operator asked for needs no box of its own.
bool cancelledOrNothing(const auto& result) {
    return !result || (!result->ok() && result->error().code == support::ErrorCode::Cancelled);
}

}  // namespace

CDevice::CDevice(Prompter& prompter, std::string userName, provisioning::KestoEndpoint endpoint,
                 QWidget* parent)
    : ControlWindow(prompter, parent),
      m_userName(std::move(userName)),
      m_endpoint(std::move(endpoint)) {
    setWindowTitle(sessionTitle(tr("Device"), m_userName, m_endpoint, m_endpoint.devicePort,
                                wire::kDevicePort));

    auto* menuBar = new QMenuBar(this);
    QAction* changePassword = menuBar->addAction(tr("Change password"));
    registerMenuCommand(kChangePasswordMenuCommand, changePassword);
    connect(changePassword, &QAction::triggered, this, &CDevice::OnChangePassword);

    auto* macFile = registerControl(kMacFileEdit, new QLineEdit(this));
    auto* typedMacs = registerControl(kMacAddressesEdit, new QPlainTextEdit(this));
    typedMacs->setPlaceholderText(
        tr("MAC addresses to use instead of the file, separated by spaces, commas or lines"));
    typedMacs->setTabChangesFocus(true);
    typedMacs->setFixedHeight(typedMacs->fontMetrics().lineSpacing() * 3 +
                              2 * typedMacs->frameWidth() + 8);
    QPushButton* browse = addCommandButton(kBrowseMacFileButton, tr("Browse"));
    auto* server = registerControl(kServerCombo, new QComboBox(this));
    // The server text is whatever is typed; the list offers the texts used before.
    server->setEditable(true);
    server->setInsertPolicy(QComboBox::NoInsert);
    server->setDuplicatesEnabled(false);
    QPushButton* add = addCommandButton(kAddDeviceButton, tr("Add"));
    QPushButton* remove = addCommandButton(kDeleteDeviceButton, tr("Delete"));
    QPushButton* list = addCommandButton(kListDevicesButton, tr("List devices"));
    QPushButton* check = addCommandButton(kCheckMacFileButton, tr("Check MAC file"));

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(macFile, 1);
    fileRow->addWidget(browse);
    auto* form = new QFormLayout;
    form->addRow(tr("MAC file:"), fileRow);
    form->addRow(tr("MAC addresses:"), typedMacs);
    form->addRow(tr("Server:"), server);
    layOutForm(form, buttonRow({add, remove, list, check}), menuBar);
    setMinimumWidth(420);

    connect(browse, &QPushButton::clicked, this, &CDevice::OnBrowse);
    connect(add, &QPushButton::clicked, this, &CDevice::OnAdd);
    connect(remove, &QPushButton::clicked, this, &CDevice::OnDelete);
    connect(list, &QPushButton::clicked, this, &CDevice::OnListDevices);
    connect(check, &QPushButton::clicked, this, &CDevice::OnCheckMacFile);
    acceptPathDrops(macFile, DroppedPathKind::File,
                    [this](const QString& path) { takeMacFile(path); });
    restoreRememberedInputs();
}

void CDevice::restoreRememberedInputs() {
    if (!InputHistory::enabled()) return;
    const InputHistory history = InputHistory::load();
    setControlText(kMacFileEdit, history.field(history_key::kMacFile));
    auto* server = static_cast<QComboBox*>(control(kServerCombo));
    server->addItems(history.servers());
    server->setCurrentIndex(history.servers().isEmpty() ? -1 : 0);
}

// What a batch was run with is what the next session most likely wants again.
void CDevice::rememberInputs() {
    InputHistory::update([this](InputHistory& history) {
        history.setField(history_key::kMacFile, m_macFilePath);
        history.rememberServer(m_server);
    });
    if (!InputHistory::enabled() || m_server.isEmpty()) return;
    auto* server = static_cast<QComboBox*>(control(kServerCombo));
    const QString typed = server->currentText();
    server->clear();
    server->addItems(InputHistory::load().servers());
    server->setEditText(typed);
}

void CDevice::DoDataExchange() {
    m_macFilePath = controlText(kMacFileEdit);
    m_server = static_cast<QComboBox*>(control(kServerCombo))->currentText();
    m_typedMacs = static_cast<QPlainTextEdit*>(control(kMacAddressesEdit))->toPlainText();
}

CDevice::BatchSource CDevice::sourceOfTheFields() const {
    if (m_typedMacs.trimmed().isEmpty()) return BatchSource{std::nullopt, m_macFilePath};
    return BatchSource{provisioning::parseTypedMacs(toBytes(m_typedMacs)),
                       tr("the MAC addresses box"), false};
}

void CDevice::askForSheetColumn(const QString& caption) {
    m_macColumn = 0;
    m_sheetServers = {};
    if (!m_typedMacs.trimmed().isEmpty()) return;
    provisioning::DeviceBatch batch{toBytes(m_macFilePath), toBytes(m_server), m_userName};
    batch.macForm = configuredMacForm();
    if (auto check = provisioning::checkMacFile(provisioning::DeviceOperation::Add, batch);
        check || check.error().code != support::ErrorCode::InvalidInput) {
        return;
    }
    const std::size_t count = provisioning::deviceSheetMacCount(batch.macFilePath, batch.macForm);
    if (count == 0) return;
    const QString question =
        tr("%1 is not a MAC file, but its column A holds %n MAC address(es) after the header "
           "row, as a device sheet does. Use column A?",
           nullptr, static_cast<int>(count))
            .arg(QFileInfo(m_macFilePath).fileName());
    if (messageBox(question, caption, MessageButtons::YesNo, MessageIcon::Question) ==
        Answer::Yes) {
        m_macColumn = 1;
    }
}

void CDevice::askForSheetServers(const QString& caption) {
    if (m_macColumn == 0) return;
    provisioning::SheetServers servers =
        provisioning::deviceSheetServers(toBytes(m_macFilePath), m_macColumn);
    if (servers.byRow.empty()) return;
    const QString question = fillArguments(
        tr("Column %1 of %2 is headed server and gives %n phone(s) their own Server "
           "text; the others get the Server box's. Send each phone its own?",
           nullptr, static_cast<int>(servers.byRow.size())),
        {fromBytes(sheet::columnName(servers.column)), QFileInfo(m_macFilePath).fileName()});
    if (messageBox(question, caption, MessageButtons::YesNo, MessageIcon::Question) ==
        Answer::Yes) {
        m_sheetServers = std::move(servers);
    }
}

void CDevice::OnBrowse() {
    // Only the MAC file box changes: what was typed in the Server box is kept.
    // Spreadsheets the reader understands.
    const QString filter = tr("Spreadsheets|*.xlsx;*.xlsm;*.csv|",
                              "file-dialog filter: translate the descriptions, keep the patterns");
    if (auto path = chooseOpenFile(filter.toStdString(), QString(), history_key::kMacFile,
                                   {controlText(kMacFileEdit)})) {
        takeMacFile(*path);
    }
}

void CDevice::takeMacFile(const QString& path) {
    m_macFilePath = path;
    setControlText(kMacFileEdit, m_macFilePath);
    InputHistory::update(
        [&](InputHistory& history) { history.rememberFolderOf(history_key::kMacFile, path); });
}

void CDevice::OnAdd() {
    if (isBusy()) return;
    DoDataExchange();
    const QString caption = coreText(provisioning::kesto_text::kAddDeviceCaption);
    askForSheetColumn(caption);
    askForSheetServers(caption);
    runBatch(provisioning::DeviceOperation::Add, sourceOfTheFields());
}

void CDevice::OnDelete() {
    if (isBusy()) return;
    DoDataExchange();
    askForSheetColumn(coreText(provisioning::kesto_text::kDeleteDeviceCaption));
    BatchSource source = sourceOfTheFields();
    if (!confirmDeregistration(source)) return;
    runBatch(provisioning::DeviceOperation::Delete, std::move(source));
}

provisioning::DeviceBatch CDevice::batchOf(std::optional<provisioning::MacFile> cells) const {
    provisioning::DeviceBatch batch{toBytes(m_macFilePath), toBytes(m_server), m_userName,
                                    m_batchJobs};
    batch.macForm = configuredMacForm();
    batch.cells = std::move(cells);
    if (!batch.cells) batch.macColumn = m_macColumn;
    // A retry's rows are the sheet's rows: they keep their own Server texts.
    batch.rowServers = m_sheetServers.byRow;
    return batch;
}

bool CDevice::confirmDeregistration(const BatchSource& source, QWidget* asker) {
    // The requests the batch would send: not the header, nor a cell that is no MAC address,
    // nor a repeat. A file that cannot be read, or lists nothing, sends nothing: the batch
    // says why.
    const auto check =
        provisioning::checkMacFile(provisioning::DeviceOperation::Delete, batchOf(source.cells));
    if (!check) return true;
    const auto count = static_cast<int>(check->count(provisioning::MacOutcome::Usable));
    if (count == 0) return true;
    const QString server = fromBytes(m_endpoint.address);
    const QString question =
        source.cells
            ? tr("Deregister %n device(s) from %1?", nullptr, count).arg(server)
            : fillArguments(tr("Deregister the %n device(s) of %1 from %2?", nullptr, count),
                            {QFileInfo(m_macFilePath).fileName(), server});
    const QString caption = coreText(provisioning::kesto_text::kDeleteDeviceCaption);
    if (asker != nullptr) {
        return prompter().message(asker,
                                  MessageRequest{question, caption, MessageButtons::YesNoDefaultNo,
                                                 MessageIcon::Question, QString()}) == Answer::Yes;
    }
    return messageBox(question, caption, MessageButtons::YesNoDefaultNo, MessageIcon::Question) ==
           Answer::Yes;
}

void CDevice::runBatch(provisioning::DeviceOperation command, BatchSource source, bool retry) {
    if (isBusy()) return;
    provisioning::DeviceBatch batch = batchOf(std::move(source.cells));
    // The Server text goes with an Add; a Delete names the MAC alone.
    if (command == provisioning::DeviceOperation::Add && !confirmServerText(*this, batch.server)) {
        return;
    }
    // A file that cannot be read, or is no MAC file, is the batch's to report, with its reason.
    if (auto check = provisioning::checkMacFile(command, batch);
        check &&
        !confirmMacFindings(*this, deviceFindings(*check, source.name, source.cells.has_value()))) {
        return;
    }
    // Only what a batch is sent with is remembered, not a Server text its warning cancelled.
    rememberInputs();
    const provisioning::KestoEndpoint endpoint = m_endpoint;
    auto prompts = std::make_shared<BatchPrompts>(*this);
    const bool adding = command == provisioning::DeviceOperation::Add;
    const QString label = coreText(adding ? provisioning::kesto_text::kAddDeviceCaption
                                          : provisioning::kesto_text::kDeleteDeviceCaption);

    auto job = [batch, endpoint, prompts, adding, caption = toBytes(label),
                servers = m_sheetServers.byMacCell](support::ProgressSink& sink,
                                                    std::stop_token stop) -> BatchResult {
        auto askWhenSilent = [prompts, caption](const std::string& server,
                                                const support::Phrase& reason) {
            return prompts->askRetry(server, reason, caption);
        };
        auto askLogin = [prompts](const std::string& server) {
            return prompts->askNewLogin(server);
        };
        if (!adding) {
            return provisioning::deleteDevices(endpoint, batch, askWhenSilent, *prompts, sink, stop,
                                               askLogin);
        }
        auto ask = [prompts, &batch, &servers](const std::string& macCell,
                                               const std::string& question,
                                               const std::string& registeredTo) {
            const auto own = servers.find(macCell);
            return prompts->askReplace(
                question, registeredTo,
                wire::maskedServerText(own == servers.end() ? batch.server : own->second));
        };
        return provisioning::addDevices(endpoint, batch, ask, askWhenSilent, *prompts, sink, stop,
                                        askLogin);
    };
    auto then = [this, prompts,
                 source = BatchSource{std::nullopt, source.name, source.cellsOfAFile},
                 retry](std::optional<BatchResult> result, bool) {
        if (!result) {
            messageBox(tr("The command stopped on an unexpected error."), QString(),
                       MessageButtons::Ok, MessageIcon::Critical);
        } else if (result->ok()) {
            takeBatchSummary(*prompts, std::move(result->value()), source, retry);
        } else {
            prompts->showHeldReports(QString(), 0);
        }
        if (std::exchange(m_listAfterBatch, false)) refreshListing();
        SiteTableView::refreshOpen(parentWidget());
    };
    startTask(runWithProgress<BatchResult>(this, label, std::move(job), std::move(then),
                                           ProgressDetail::Item));
}

void CDevice::deleteListedDevices(const std::vector<std::string>& macs) {
    if (isBusy() || macs.empty()) return;
    provisioning::MacFile cells;
    cells.firstRowMayBeHeader = false;
    for (const std::string& mac : macs) {
        cells.cells.push_back({static_cast<int>(cells.cells.size()) + 1, 1, mac});
    }
    BatchSource source{std::move(cells), tr("the selected devices"), false};
    // Asked on the listing, which stays above this dialog.
    if (!confirmDeregistration(
            source, findChild<DeviceTableView*>(QString(), Qt::FindDirectChildrenOnly))) {
        return;
    }
    DoDataExchange();
    m_listAfterBatch = true;
    runBatch(provisioning::DeviceOperation::Delete, std::move(source));
}

void CDevice::retryFailedRows() {
    if (isBusy() || !m_lastSummary) return;
    provisioning::MacFile cells = provisioning::retryCells(*m_lastSummary);
    if (cells.cells.empty()) return;
    DoDataExchange();
    runBatch(m_lastSummary->command,
             BatchSource{std::move(cells), tr("the failed rows"), m_lastRun.cellsOfAFile}, true);
}

void CDevice::takeBatchSummary(BatchPrompts& prompts, provisioning::DeviceBatchSummary summary,
                               const BatchSource& source, bool retry) {
    const std::size_t boxed = summary.count(provisioning::MacOutcome::Failed) +
                              summary.count(provisioning::MacOutcome::Unknown);
    prompts.wordHeldText(provisioning::describeSummary(summary), deviceBatchSummaryText(summary));
    prompts.showHeldReports(deviceBatchCountsText(summary, source.name), boxed);
    if (retry && m_lastSummary) {
        m_lastSummary = provisioning::mergeRetried(std::move(*m_lastSummary), summary);
    } else {
        m_lastSummary = std::move(summary);
        m_lastRun = LastRun{source.name, source.cellsOfAFile};
    }
    showLastResults(retry ? ResultsView::Filters::Kept : ResultsView::Filters::Fresh);
}

void CDevice::showLastResults(ResultsView::Filters filters) {
    ResultsView* view = ResultsView::open(
        *this, deviceBatchResults(*m_lastSummary, m_lastRun.sourceName, m_lastRun.cellsOfAFile),
        filters);
    const auto retriable = static_cast<int>(provisioning::retryCells(*m_lastSummary).cells.size());
    if (retriable > 0) view->offerRetry(retriable, [this] { retryFailedRows(); });
}

void CDevice::OnListDevices() {
    listDevices(false);
}

void CDevice::refreshListing() {
    QTimer::singleShot(0, this, [this] { listDevices(true); });
}

void CDevice::listDevices(bool refresh) {
    if (isBusy()) return;
    const provisioning::KestoEndpoint endpoint = m_endpoint;
    const provisioning::InventoryScope scope{m_userName, ""};
    const QString caption = tr("List devices");
    auto job = [endpoint, scope](support::ProgressSink& sink, std::stop_token stop) {
        return provisioning::listDevices(provisioning::channelFetchers(endpoint, stop), scope, sink,
                                         stop);
    };
    auto then = [this, caption, refresh](std::optional<ListResult> result, bool) {
        if (cancelledOrNothing(result)) return;
        if (!result->ok()) {
            messageBox(tr("The devices could not be listed."), caption, MessageButtons::Ok,
                       MessageIcon::Warning, coreSentence(result->error()));
            return;
        }
        DeviceTable table = listingTable(result->value(), QString(), fromBytes(m_endpoint.address));
        auto* shown = findChild<DeviceTableView*>(QString(), Qt::FindDirectChildrenOnly);
        if (refresh && shown != nullptr && shown->isListing()) {
            shown->showTable(std::move(table));
            shown->bringToFront();
            return;
        }
        DeviceTableView* view = DeviceTableView::open(*this, std::move(table));
        view->setDeleteRequest(
            [this](const std::vector<std::string>& macs) { deleteListedDevices(macs); });
    };
    startTask(runWithProgress<ListResult>(this, caption, std::move(job), std::move(then),
                                          ProgressDetail::Item));
}

void CDevice::OnCheckMacFile() {
    if (isBusy()) return;
    DoDataExchange();
    askForSheetColumn(tr("Check MAC file"));
    BatchSource source = sourceOfTheFields();
    provisioning::DeviceBatch batch{toBytes(m_macFilePath), toBytes(m_server), m_userName};
    batch.macForm = configuredMacForm();
    batch.cells = std::move(source.cells);
    if (!batch.cells) batch.macColumn = m_macColumn;
    auto checked = provisioning::checkMacFile(provisioning::DeviceOperation::Add, batch);
    if (!checked) {
        messageBox(tr("The MAC file was not checked."), tr("Check MAC file"), MessageButtons::Ok,
                   MessageIcon::Warning, coreSentence(checked.error()));
        return;
    }
    if (!confirmMacFindings(*this, deviceFindings(*checked, source.name, source.cells.has_value())))
        return;
    std::vector<std::string> macs;
    for (const provisioning::MacResult& row : checked->results) {
        if (row.outcome != provisioning::MacOutcome::Usable) continue;
        if (auto canonical = mac::canonicalMac(row.macAddress)) macs.push_back(*canonical);
    }
    checkDevices(std::move(macs), QFileInfo(source.name).fileName());
}

void CDevice::checkDevices(std::vector<std::string> macs, const QString& source) {
    const provisioning::KestoEndpoint endpoint = m_endpoint;
    const std::string user = m_userName;
    const QString caption = tr("Check MAC file");
    auto job = [endpoint, user, macs = std::move(macs)](support::ProgressSink& sink,
                                                        std::stop_token stop) {
        return provisioning::checkDevices(provisioning::channelFetchers(endpoint, stop), user, macs,
                                          sink, stop);
    };
    auto then = [this, caption, source](std::optional<CheckResult> result, bool) {
        if (cancelledOrNothing(result)) return;
        if (!result->ok()) {
            messageBox(tr("The MAC addresses could not be checked."), caption, MessageButtons::Ok,
                       MessageIcon::Warning, coreSentence(result->error()));
            return;
        }
        DeviceTableView::open(*this, checkTable(result->value(), source));
    };
    startTask(runWithProgress<CheckResult>(this, caption, std::move(job), std::move(then),
                                           ProgressDetail::Item));
}

void CDevice::OnChangePassword() {
    if (isBusy()) return;
    CChangePassword dialog(prompter(), m_userName, m_endpoint, this);
    m_runModal(dialog);
}

void CDevice::reject() {
    if (isBusy()) return;
    ControlWindow::reject();
}

void CDevice::closeEvent(QCloseEvent* event) {
    if (isBusy()) {
        event->ignore();
        return;
    }
    ControlWindow::closeEvent(event);
}

}  // namespace velquor::app
