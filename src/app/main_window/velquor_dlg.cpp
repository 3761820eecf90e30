// CVelquorDlg: the main window's commands but Encrypt and Decrypt (config_file_commands.cpp);
// its controls are laid out in main_window_layout.cpp.
#include "app/main_window/velquor_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <utility>

#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/kesto_session.h"
#include "app/kit/inputs/input_history.h"
#include "app/kit/inputs/path_drop.h"
#include "app/kit/progress/progress_task.h"
#include "app/language/core_texts.h"
#include "app/main_window/file_filters.h"
#include "app/main_window/settings_dialog.h"
#include "app/results/mac_findings.h"
#include "app/results/results_view.h"
#include "app/serve/serve_dialog.h"
#include "app/site/site_table_view.h"
#include "generator/outputs/existing_outputs.h"
#include "generator/run/generation_job.h"
#include "mac/mac_check.h"

// The icon lives in the library's resources; a static library has to register them itself.
static void initVelquorResources() {
    Q_INIT_RESOURCE(velquor);
}

namespace velquor::app {
namespace {

// The path fields whose text is remembered from one run to the next.
const std::pair<int, const QString*> kRememberedFields[] = {
    {kInputFileEdit, &history_key::kInputFile},   {kTemplateEdit, &history_key::kTemplate},
    {kMacAccountEdit, &history_key::kMacAccount}, {kOutputDirEdit, &history_key::kOutputDir},
    {kMd5FileEdit, &history_key::kMd5File},
};

}  // namespace

CVelquorDlg::CVelquorDlg(Prompter& prompter, QWidget* parent) : ControlWindow(prompter, parent) {
    initVelquorResources();
    m_hIcon = QIcon(QStringLiteral(":/velquor/velquor.png"));
    setWindowTitle(productTitle());
    // A window, not a dialog: the window manager keeps no window of the program above it.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(m_hIcon);
    buildControls();
    buildTabOrder();
    connectCommands();
    enablePathDrops();
    restoreRememberedFields();
    control(kInputFileEdit)->setFocus();
}

CVelquorDlg::~CVelquorDlg() = default;

void CVelquorDlg::connectCommands() {
    const std::pair<int, void (CVelquorDlg::*)()> commands[] = {
        {kBrowseInputButton, &CVelquorDlg::OnBrowseInputFile},
        {kEncryptButton, &CVelquorDlg::OnEncrypt},
        {kBrowseTemplateButton, &CVelquorDlg::OnBrowseTemplate},
        {kBrowseMacAccountButton, &CVelquorDlg::OnBrowseMacAccount},
        {kBrowseOutputDirButton, &CVelquorDlg::OnBrowseOutputDir},
        {kDecryptButton, &CVelquorDlg::OnDecrypt},
        {kBrowseMd5FileButton, &CVelquorDlg::OnBrowseMd5File},
        {kCopyButton, &CVelquorDlg::OnCopy},
        {kGenerateButton, &CVelquorDlg::OnGenerateConfigs},
        {kGenerateMd5Button, &CVelquorDlg::OnGenerateMd5},
    };
    for (const auto& [id, handler] : commands) {
        connect(qobject_cast<QPushButton*>(control(id)), &QPushButton::clicked, this, handler);
    }
    connect(menuCommand(kKestoMenuCommand), &QAction::triggered, this, &CVelquorDlg::OnKestoMenu);
    connect(menuCommand(kForgetHistoryMenuCommand), &QAction::triggered, this,
            &CVelquorDlg::OnForgetHistory);
    connect(menuCommand(kSettingsMenuCommand), &QAction::triggered, this,
            &CVelquorDlg::OnSettingsMenu);
    connect(menuCommand(kSiteTableMenuCommand), &QAction::triggered, this,
            &CVelquorDlg::OnSiteTableMenu);
    connect(menuCommand(kServeMenuCommand), &QAction::triggered, this, &CVelquorDlg::OnServeMenu);
}

void CVelquorDlg::enablePathDrops() {
    auto field = [this](int id) { return qobject_cast<QLineEdit*>(control(id)); };
    acceptPathDrops(field(kInputFileEdit), DroppedPathKind::File,
                    [this](const QString& path) { takeInputFile(path); });
    acceptPathDrops(field(kOutputDirEdit), DroppedPathKind::Folder,
                    [this](const QString& folder) { takeOutputFolder(folder); });
    // The other path fields hold what their Browse chose, and nothing more.
    for (const auto& [id, purpose] : kRememberedFields) {
        if (id == kInputFileEdit || id == kOutputDirEdit) continue;
        acceptPathDrops(field(id), DroppedPathKind::File, [this, id, purpose](const QString& path) {
            setControlText(id, path);
            InputHistory::update(
                [&](InputHistory& history) { history.rememberFolderOf(*purpose, path); });
        });
    }
}

void CVelquorDlg::restoreRememberedFields() {
    if (!InputHistory::enabled()) return;
    const InputHistory history = InputHistory::load();
    for (const auto& [id, name] : kRememberedFields) setControlText(id, history.field(*name));
    m_inputFilePath = controlText(kInputFileEdit);
    // Said once the window is up, so that it opens whatever the file is.
    if (const QString untrusted = InputHistory::takeUntrustedWarning(); !untrusted.isEmpty()) {
        QTimer::singleShot(0, this, [this, untrusted] {
            messageBox(tr("The remembered inputs were not used."), QString(), MessageButtons::Ok,
                       MessageIcon::Warning, untrusted);
        });
    }
}

void CVelquorDlg::done(int result) {
    InputHistory::update([this](InputHistory& history) {
        for (const auto& [id, name] : kRememberedFields) {
            const auto forgotten = m_forgottenFields.constFind(id);
            if (forgotten == m_forgottenFields.cend() || *forgotten != controlText(id)) {
                history.setField(*name, controlText(id));
            }
        }
    });
    // The windows it opened beside it (the site table, Serve to phones) close with it.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() && child->isVisible()) child->close();
    }
    ControlWindow::done(result);
}

void CVelquorDlg::OnForgetHistory() {
    if (messageBox(tr("Forget the remembered folders and inputs?"), QString(),
                   MessageButtons::YesNoDefaultNo, MessageIcon::Question,
                   tr("The fields keep what they show now, for the work at hand; it is not "
                      "remembered when the window closes.")) != Answer::Yes) {
        return;
    }
    InputHistory::forget();
    for (const auto& [id, name] : kRememberedFields) m_forgottenFields.insert(id, controlText(id));
}

void CVelquorDlg::refreshAesKeyChecked() {
    m_aesKeyChecked = qobject_cast<QCheckBox*>(control(kAesKeyCheckBox))->isChecked() ? 1 : 0;
}

void CVelquorDlg::browseIntoField(int fieldId, const QString& pairedFilter,
                                  const QString& purpose) {
    if (std::optional<QString> path =
            chooseOpenFile(pairedFilter.toStdString(), QString(), purpose, besidesOf(fieldId))) {
        setControlText(fieldId, *path);
    }
}

QStringList CVelquorDlg::besidesOf(int fieldId) const {
    // The MAC-CFG group's inputs are one job's: each dialog starts beside the others.
    const int job[] = {kMacAccountEdit, kTemplateEdit, kOutputDirEdit};
    QStringList besides{controlText(fieldId)};
    if (std::find(std::begin(job), std::end(job), fieldId) != std::end(job)) {
        for (int other : job) {
            if (other != fieldId) besides << controlText(other);
        }
    }
    return besides;
}

void CVelquorDlg::OnBrowseInputFile() {
    if (std::optional<QString> path =
            chooseOpenFile(configFileFilter().toStdString(), QString(), history_key::kInputFile,
                           {controlText(kInputFileEdit)})) {
        takeInputFile(*path);
    }
}

void CVelquorDlg::takeInputFile(const QString& path) {
    m_inputFilePath = path;
    setControlText(kInputFileEdit, m_inputFilePath);
    InputHistory::update(
        [&](InputHistory& history) { history.rememberFolderOf(history_key::kInputFile, path); });
}

void CVelquorDlg::OnBrowseTemplate() {
    browseIntoField(kTemplateEdit, templateFilter(), history_key::kTemplate);
}

void CVelquorDlg::OnBrowseMacAccount() {
    browseIntoField(kMacAccountEdit, sheetFilter(), history_key::kMacAccount);
}

void CVelquorDlg::OnBrowseMd5File() {
    browseIntoField(kMd5FileEdit, anyFileFilter(), history_key::kMd5File);
}

void CVelquorDlg::OnBrowseOutputDir() {
    // Beside the sheet the files are made from, until a folder has been chosen.
    if (std::optional<QString> folder =
            chooseFolder(tr("Select dir"), history_key::kOutputDir, besidesOf(kOutputDirEdit))) {
        takeOutputFolder(*folder);
    }
}

void CVelquorDlg::takeOutputFolder(const QString& folder) {
    // Exactly one separator at the end, also for the root folder.
    QString withSeparator = folder;
    while (withSeparator.endsWith('/')) withSeparator.chop(1);
    setControlText(kOutputDirEdit, withSeparator + '/');
    InputHistory::update(
        [&](InputHistory& history) { history.rememberFolderOf(history_key::kOutputDir, folder); });
}

void CVelquorDlg::OnCopy() {
    QGuiApplication::clipboard()->setText(controlText(kMd5DigestEdit));
}

void CVelquorDlg::OnGenerateMd5() {
    if (isBusy()) return;
    auto* digestField = qobject_cast<QLineEdit*>(control(kMd5DigestEdit));
    setControlText(kMd5DigestEdit, QString());
    digestField->setToolTip(QString());
    m_digestEngine.SetInputKind(digest::kInputFile);
    const std::string path = localPath(controlText(kMd5FileEdit));
    m_digestEngine.SetFilePath(path.c_str());
    m_digestEngine.SetOutputFormat(digest::kFormatPlain);
    m_digestEngine.SetAlgorithm(digest::kAlgorithmMd5);

    // The engine's settings stay untouched while the job reads them: the progress dialog
    // keeps every other command from running meanwhile.
    const digest::CDigestEngine* engine = &m_digestEngine;
    startTask(runWithProgress<support::Result<std::string>>(
        this, tr("Computing the MD5 digest…"),
        [engine, path](support::ProgressSink& sink, std::stop_token stop) {
            return engine->computeFile(path, sink, stop);
        },
        [this, digestField](std::optional<support::Result<std::string>> digestText,
                            bool cancelled) {
            if (cancelled || !digestText) return;
            if (!digestText->ok()) {
                // No message box: the empty field says no digest was made; the reason is
                // there for whoever looks.
                digestField->setToolTip(coreText(digestText->error()));
                return;
            }
            setControlText(kMd5DigestEdit, QString::fromStdString(digestText->value()));
        },
        ProgressDetail::Path));
}

bool CVelquorDlg::refuseEmptyFields(std::initializer_list<std::pair<int, QString>> fields) {
    for (const auto& [id, name] : fields) {
        if (controlText(id).isEmpty()) {
            messageBox(tr("Please fill in the %1 field first.").arg(name), QString(),
                       MessageButtons::Ok, MessageIcon::Warning);
            control(id)->setFocus();
            return true;
        }
    }
    return false;
}

void CVelquorDlg::OnGenerateConfigs() {
    if (isBusy()) return;
    // An empty output field would scatter the files into whatever folder the program
    // happened to start in.
    if (refuseEmptyFields({{kMacAccountEdit, tr("MAC-ACCOUNT")},
                           {kTemplateEdit, tr("Template")},
                           {kOutputDirEdit, tr("Out put path")}})) {
        return;
    }
    generator::GenerationRequest request;
    request.sheetPath = localPath(controlText(kMacAccountEdit));
    request.templatePath = localPath(controlText(kTemplateEdit));
    refreshAesKeyChecked();
    request.encrypt = m_aesKeyChecked != 0;
    request.outputFolder = localPath(controlText(kOutputDirEdit));
    if (request.encrypt) request.keyText = controlText(kGenerateKeyEdit).toStdString();
    if (request.encrypt && !confirmKey(controlText(kGenerateKeyEdit))) return;
    request.macForm = configuredMacForm();
    request.fileName = configuredFileName();
    // A sheet that cannot be read is the run's to report, with its reason.
    if (auto check = generator::checkDeviceSheet(request);
        check &&
        !confirmMacFindings(*this, generationFindings(*check, controlText(kOutputDirEdit)))) {
        return;
    }
    if (!confirmExistingOutputs(request)) return;

    using Outcome = support::Result<generator::GenerationReport>;
    startTask(runWithProgress<Outcome>(
        this, tr("Generating the device configurations…"),
        [request](support::ProgressSink& sink, std::stop_token stop) {
            return generator::runGeneration(request, sink, stop);
        },
        [this, folder = controlText(kOutputDirEdit)](std::optional<Outcome> outcome, bool) {
            if (!outcome) {
                const support::Error failure = support::makeError(
                    support::ErrorCode::Internal,
                    support::Phrase{VELQUOR_TR_NOOP("core", "The generation stopped unexpectedly."),
                                    {}});
                showReports({}, &failure);
            } else if (!outcome->ok()) {
                if (outcome->error().code != support::ErrorCode::Cancelled) {
                    showReports({}, &outcome->error());
                }
            } else {
                showGenerationResults(outcome->value(), folder);
            }
        },
        ProgressDetail::Item));
}

void CVelquorDlg::showGenerationResults(const generator::GenerationReport& report,
                                        const QString& folder) {
    QString details = generationCountsText(report, folder);
    if (report.staleTwinsRemoved > 0) {
        details += '\n' + tr("%n file(s) of these phones under another name removed.", nullptr,
                             static_cast<int>(report.staleTwinsRemoved));
    }
    if (!report.staleTwinError.empty()) {
        //: %1 is the first file and the system's reason
        details += '\n' + tr("%n file(s) of these phones under another name could not be "
                             "removed: %1",
                             nullptr, static_cast<int>(report.staleTwinsLeft))
                              .arg(QString::fromStdString(report.staleTwinError));
    }
    if (report.checkSumsLinesDropped > 0) {
        details += '\n' + tr("%n line(s) of MD5SUMS named files no longer there and were dropped.",
                             nullptr, static_cast<int>(report.checkSumsLinesDropped));
    }
    if (report.mixedCase && report.allWritten()) {
        details += '\n' + QString::fromStdString(mac::mixedCaseText());
    }
    if (report.allWritten()) {
        messageBox(tr("Success !"), QString(), MessageButtons::Ok, MessageIcon::None, details);
    } else {
        // A partial run, cancelled or not, says what was done and what was not.
        if (report.hasUnlistedRows()) {
            details +=
                QLatin1Char('\n') + tr("Every row, with its reason, is in the results view.");
        }
        messageBox(generationSummary(report), QString(), MessageButtons::Ok, MessageIcon::Warning,
                   details);
    }
    RunResults results = generationResults(report, folder);
    // Its rows are the sheet's: Save starts beside it.
    results.input = controlText(kMacAccountEdit);
    ResultsView* view = ResultsView::open(*this, std::move(results));
    if (report.filesWritten() > 0 && !report.dryRun)
        view->offerFollowUp(tr("Serve to phones"), [this] { OnServeMenu(); });
    SiteTableView::refreshAfterGenerate(*this, siteInputs());
}

SiteInputs CVelquorDlg::siteInputs() {
    refreshAesKeyChecked();
    const auto* serving = findChild<ServeDialog*>(QString(), Qt::FindDirectChildrenOnly);
    return SiteInputs{controlText(kMacAccountEdit), controlText(kOutputDirEdit),
                      m_aesKeyChecked != 0 ? controlText(kGenerateKeyEdit) : QString(), m_kestoUser,
                      serving != nullptr ? serving->logEdit()->text().trimmed() : QString()};
}

void CVelquorDlg::OnSiteTableMenu() {
    SiteTableView* view = SiteTableView::open(*this, siteInputs());
    const auto* serving = findChild<ServeDialog*>(QString(), Qt::FindDirectChildrenOnly);
    if (serving != nullptr && !serving->phones().empty())
        view->showServerFetches(serving->phones());
}

void CVelquorDlg::OnServeMenu() {
    refreshAesKeyChecked();
    QString folder = controlText(kOutputDirEdit).trimmed();
    // An encrypting run's phones take the encrypted copies.
    if (!folder.isEmpty() && m_aesKeyChecked != 0)
        folder = QDir(folder).filePath(QStringLiteral("en"));
    ServeDialog* serving = ServeDialog::open(*this, folder, controlText(kMacAccountEdit).trimmed(),
                                             configuredFileName());
    serving->setPhonesListener([this](const std::vector<serve::PhoneStatus>& phones) {
        SiteTableView::showServerFetchesOpen(this, phones);
    });
    SiteTableView::updateOpen(*this, siteInputs());
}

void CVelquorDlg::OnKestoMenu() {
    const std::optional<KestoSession> session = loadKestoSession(*this);
    if (!session) return;
    kestologin login(prompter(), session->endpoint, this);
    login.setBatchJobs(session->jobs);
    login.setLoginRefusals(&m_loginRefusals);
    connect(&login, &kestologin::loggedIn, this, [this](const QString& user) {
        m_kestoUser = user;
        SiteTableView::updateOpen(*this, siteInputs());
    });
    // It blocks this window, not the site table or Serve to phones beside it.
    login.setWindowModality(Qt::WindowModal);
    login.exec();
}

bool CVelquorDlg::confirmExistingOutputs(generator::GenerationRequest& request) {
    const support::Result<generator::ExistingOutputs> existing =
        generator::findExistingOutputs(request);
    // A sheet that cannot be read is the run's to report, with its reason.
    if (!existing || !existing->any()) return true;
    if (!existing->staleTwins.empty()) {
        const QString example = QString::fromStdString(
            std::filesystem::path(existing->staleTwins.front()).filename().string());
        const Answer answer = messageBox(
            tr("%n file(s) of these phones are under another name, such as %1: remove them?",
               nullptr, static_cast<int>(existing->staleTwins.size()))
                .arg(example),
            QString(), MessageButtons::RemoveKeepCancel, MessageIcon::Question,
            tr("A phone may fetch the old file instead of its new one. Remove takes them away "
               "once the new files are written; Keep leaves them as they are."));
        if (answer == Answer::Cancel) return false;
        request.removeStaleTwins = answer == Answer::Remove;
    }
    if (existing->replacedFiles == 0 && existing->staleEncryptedCopies == 0) return true;
    QStringList parts;
    if (existing->replacedFiles > 0) {
        parts << tr("%n file(s) will be replaced.", nullptr,
                    static_cast<int>(existing->replacedFiles));
    }
    if (const support::Phrase list = generator::checkSumsListPhrase(*existing); !list.empty()) {
        parts << coreText(list);
    }
    if (existing->staleEncryptedCopies > 0) {
        parts << tr("%n encrypted copy(ies) in %1 from an earlier run stay(s) as it is and will "
                    "not match the new files (no key is used this time).",
                    nullptr, static_cast<int>(existing->staleEncryptedCopies))
                     .arg(QString::fromStdString(existing->encryptedFolder));
    }
    return messageBox(parts.join(QLatin1Char(' ')), QString(), MessageButtons::YesNoDefaultNo,
                      MessageIcon::Question, tr("Generate anyway?")) == Answer::Yes;
}

void CVelquorDlg::OnSettingsMenu() {
    SettingsDialog dialog(prompter(), settings::defaultSettingsPaths(), this);
    dialog.exec();
}

}  // namespace velquor::app
