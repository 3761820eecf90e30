// CVelquorDlg: the main window's controls, their layout and tab order, and its commands.
#include "app/main_window/velquor_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/kesto_reporting.h"
#include "app/kesto/kesto_session.h"
#include "app/kit/input_history.h"
#include "app/kit/path_drop.h"
#include "app/kit/progress_task.h"
#include "app/kit/screen_fit.h"
#include "app/language/core_texts.h"
#include "app/main_window/file_filters.h"
#include "app/main_window/settings_dialog.h"
#include "app/results/mac_findings.h"
#include "app/results/results_view.h"
#include "app/serve/serve_dialog.h"
#include "app/site/site_table_view.h"
#include "crypto/config_file.h"
#include "generator/existing_outputs.h"
#include "generator/generation_job.h"
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

// The tab order of the window, which is also the order of its focusable controls.
constexpr int kTabOrder[] = {
    kInputFileEdit,   kBrowseInputButton,    kAesKeyEdit,     kEncryptButton,
    kTemplateEdit,    kBrowseTemplateButton, kMacAccountEdit, kBrowseMacAccountButton,
    kGenerateKeyEdit, kGenerateButton,       kOutputDirEdit,  kBrowseOutputDirButton,
    kAesKeyCheckBox,  kDecryptButton,        kMd5FileEdit,    kBrowseMd5FileButton,
    kMd5DigestEdit,   kGenerateMd5Button,    kCopyButton,
};

// Sizes below are the window's original proportions, in dialog units: a quarter of the
// average character width across, an eighth of the line height down. The line height is the
// one a Latin font of this size has: a CJK font's much taller line (a Chinese desktop's
// default) would otherwise make every button a quarter taller and the window taller than a
// laptop's screen, with no more text in it.
struct DialogUnits {
    explicit DialogUnits(const QFont& font) : metrics(font), lineHeight(metrics.height()) {
        // The common sans fonts' line is 1.6 times their capital letters' height; a CJK
        // font's is 1.75 to 2 times.
        constexpr double kLatinLinePerCapHeight = 1.6;
        const double latinLine = QFontMetricsF(font).capHeight() * kLatinLinePerCapHeight;
        if (lineHeight > latinLine * 1.05) lineHeight = static_cast<int>(std::lround(latinLine));
    }
    int x(int units) const { return units * metrics.averageCharWidth() / 4; }
    int y(int units) const { return units * lineHeight / 8; }
    // The space between rows: a CJK font's fields are taller by its extra line already.
    int rowGap() const { return std::max(1, y(3) - (metrics.height() - lineHeight) / 2); }
    QFontMetrics metrics;
    int lineHeight;
};

// A field the user cannot type into must not look like one that takes typing.
void makeReadOnly(QLineEdit* field) {
    field->setReadOnly(true);
    QPalette look = field->palette();
    look.setColor(QPalette::Base, look.color(QPalette::Window));
    field->setPalette(look);
}

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// Passes a job's progress on under a name of our choosing: the core says what it is doing
// ("encrypting"), the dialog shows which file it is doing it to.
class NamedProgress final : public support::ProgressSink {
public:
    NamedProgress(support::ProgressSink& inner, std::string name)
        : m_inner(inner), m_name(std::move(name)) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        m_inner.progress(done, total, m_name);
    }

private:
    support::ProgressSink& m_inner;
    std::string m_name;
};

}  // namespace

CVelquorDlg::CVelquorDlg(Prompter& prompter, QWidget* parent) : ControlWindow(prompter, parent) {
    initVelquorResources();
    m_hIcon = QIcon(QStringLiteral(":/velquor/velquor.png"));
    setWindowTitle(tr("Velquor"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
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

QLineEdit* CVelquorDlg::addField(int id) {
    auto* field = registerControl(id, new QLineEdit(this));
    field->setMinimumWidth(DialogUnits(font()).x(180));
    return field;
}

QPushButton* CVelquorDlg::addSizedButton(int id, const QString& text, int widthUnits,
                                         int heightUnits) {
    QPushButton* button = addCommandButton(id, text);
    const DialogUnits du(font());
    button->setMinimumSize(du.x(widthUnits), du.y(heightUnits));
    return button;
}

QLabel* CVelquorDlg::addLabel(int id, const QString& text) {
    auto* label = new QLabel(text, this);
    if (id != 0) registerControl(id, label);
    label->setMinimumWidth(DialogUnits(font()).x(54));
    return label;
}

QGridLayout* CVelquorDlg::addGroup(QGroupBox* group) {
    auto* grid = new QGridLayout(group);
    // Rows closer than the original's, so the three groups fit a 1366x768 laptop at 125 %
    // without scrolling (and scroll less at 200 % on a full-HD screen).
    grid->setVerticalSpacing(DialogUnits(font()).rowGap());
    grid->setColumnStretch(1, 1);
    m_groupsLayout->addWidget(group);
    return grid;
}

// The command buttons of a group sit on its last row, at the right (an optional one at the left).
static void addCommandRow(QGridLayout* grid, QWidget* right, QWidget* left = nullptr) {
    auto* row = new QHBoxLayout;
    if (left) row->addWidget(left);
    row->addStretch(1);
    row->addWidget(right);
    grid->addLayout(row, grid->rowCount(), 0, 1, 3);
}

QGridLayout* CVelquorDlg::buildEncryptGroup() {
    QGridLayout* grid = addGroup(new QGroupBox(tr("Encrypt Configuration"), this));
    grid->addWidget(addLabel(0, tr("Input File :")), 0, 0);
    QLineEdit* inputField = addField(kInputFileEdit);
    // What the field shows is always the file Encrypt and Decrypt will read.
    makeReadOnly(inputField);
    grid->addWidget(inputField, 0, 1);
    grid->addWidget(addSizedButton(kBrowseInputButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kAesKeyLabel, tr("AES Key:")), 1, 0);
    grid->addWidget(addField(kAesKeyEdit), 1, 1);
    QPushButton* decrypt = addSizedButton(kDecryptButton, tr("Decrypt"), 64, 23);
    addCommandRow(grid, addSizedButton(kEncryptButton, tr("Encrypt"), 64, 23), decrypt);
    return grid;
}

QGridLayout* CVelquorDlg::buildMacGroup() {
    QGridLayout* grid = addGroup(new QGroupBox(tr("MAC-CFG"), this));
    grid->addWidget(addLabel(kTemplateLabel, tr("Template:")), 0, 0);
    grid->addWidget(addField(kTemplateEdit), 0, 1);
    grid->addWidget(addSizedButton(kBrowseTemplateButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kMacAccountLabel, tr("MAC-ACCOUNT:")), 1, 0);
    grid->addWidget(addField(kMacAccountEdit), 1, 1);
    grid->addWidget(addSizedButton(kBrowseMacAccountButton, tr("Browse"), 68, 17), 1, 2);
    grid->addWidget(registerControl(kAesKeyCheckBox, new QCheckBox(tr("AES Key"), this)), 2, 0);
    grid->addWidget(addField(kGenerateKeyEdit), 2, 1);
    grid->addWidget(addLabel(0, tr("Out put path:")), 3, 0);
    grid->addWidget(addField(kOutputDirEdit), 3, 1);
    grid->addWidget(addSizedButton(kBrowseOutputDirButton, tr("Browse"), 68, 17), 3, 2);
    addCommandRow(grid, addSizedButton(kGenerateButton, tr("Generate"), 96, 31));
    return grid;
}

QGridLayout* CVelquorDlg::buildMd5Group() {
    QGridLayout* grid = addGroup(registerControl(kMd5Group, new QGroupBox(tr("MD5"), this)));
    grid->addWidget(addLabel(kMd5FileLabel, tr("File:")), 0, 0);
    grid->addWidget(addField(kMd5FileEdit), 0, 1);
    grid->addWidget(addSizedButton(kBrowseMd5FileButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kMd5DigestLabel, tr("MD5:")), 1, 0);
    QLineEdit* digestField = addField(kMd5DigestEdit);
    makeReadOnly(digestField);
    grid->addWidget(digestField, 1, 1);
    QPushButton* copy = addSizedButton(kCopyButton, tr("Copy"), 64, 17);
    copy->hide();
    grid->addWidget(copy, 1, 2);
    addCommandRow(grid, addSizedButton(kGenerateMd5Button, tr("Generate MD5"), 98, 23));
    return grid;
}

// One label column across the groups, so the fields line up as in one form.
static void alignLabelColumns(std::initializer_list<QGridLayout*> grids) {
    int labelWidth = 0;
    for (QGridLayout* grid : grids) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            QLayoutItem* item = grid->itemAtPosition(row, 0);
            if (item && item->widget()) {
                labelWidth = std::max(labelWidth, item->widget()->sizeHint().width());
            }
        }
    }
    for (QGridLayout* grid : grids) grid->setColumnMinimumWidth(0, labelWidth);
}

void CVelquorDlg::buildControls() {
    auto* windowLayout = new QVBoxLayout(this);
    auto* menuBar = new QMenuBar(this);
    registerMenuCommand(kKestoMenuCommand, menuBar->addAction(tr("KESTO")));
    registerMenuCommand(kSettingsMenuCommand, menuBar->addAction(tr("Settings")));
    registerMenuCommand(kForgetHistoryMenuCommand, menuBar->addAction(tr("Forget history")));
    registerMenuCommand(kSiteTableMenuCommand, menuBar->addAction(tr("Site table")));
    registerMenuCommand(kServeMenuCommand, menuBar->addAction(tr("Serve to phones")));
    windowLayout->setMenuBar(menuBar);
    // The groups scroll when the screen is shorter than the window (a laptop at 125 %).
    m_groupsLayout = new QVBoxLayout;
    alignLabelColumns({buildEncryptGroup(), buildMacGroup(), buildMd5Group()});
    m_groupsLayout->addStretch(1);
    windowLayout->addWidget(new FittingScrollArea(m_groupsLayout, this));
    resize(DialogUnits(font()).x(400), sizeHint().height());
}

void CVelquorDlg::buildTabOrder() {
    for (std::size_t i = 1; i < std::size(kTabOrder); ++i) {
        setTabOrder(control(kTabOrder[i - 1]), control(kTabOrder[i]));
    }
}

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
            chooseOpenFile(pairedFilter.toStdString(), QString(), purpose)) {
        setControlText(fieldId, *path);
    }
}

void CVelquorDlg::OnBrowseInputFile() {
    if (std::optional<QString> path =
            chooseOpenFile(configFileFilter().toStdString(), QString(), history_key::kInputFile)) {
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
    if (std::optional<QString> folder = chooseFolder(tr("Select dir"), history_key::kOutputDir)) {
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

void CVelquorDlg::OnEncrypt() {
    runConfigFileCommand(&crypto::EncryptConfigFile, tr("Encrypting…"));
}

void CVelquorDlg::OnDecrypt() {
    runConfigFileCommand(&crypto::DecryptConfigFile, tr("Decrypting…"));
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
    if (request.encrypt && !confirmEmptyKey(controlText(kGenerateKeyEdit))) return;
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
    ResultsView* view = ResultsView::open(*this, generationResults(report, folder));
    if (report.filesWritten() > 0 && !report.dryRun)
        view->offerFollowUp(tr("Serve to phones"), [this] { OnServeMenu(); });
    SiteTableView::refreshAfterGenerate(*this, siteInputs());
}

SiteInputs CVelquorDlg::siteInputs() {
    refreshAesKeyChecked();
    return SiteInputs{controlText(kMacAccountEdit), controlText(kOutputDirEdit),
                      m_aesKeyChecked != 0 ? controlText(kGenerateKeyEdit) : QString()};
}

void CVelquorDlg::OnSiteTableMenu() {
    SiteTableView::open(*this, siteInputs());
}

void CVelquorDlg::OnServeMenu() {
    refreshAesKeyChecked();
    QString folder = controlText(kOutputDirEdit).trimmed();
    // An encrypting run's phones take the encrypted copies.
    if (!folder.isEmpty() && m_aesKeyChecked != 0)
        folder = QDir(folder).filePath(QStringLiteral("en"));
    ServeDialog::open(*this, folder, controlText(kMacAccountEdit).trimmed(), configuredFileName());
}

void CVelquorDlg::OnKestoMenu() {
    const std::optional<KestoSession> session = loadKestoSession(*this);
    if (!session) return;
    kestologin login(prompter(), session->endpoint, this);
    login.setBatchJobs(session->jobs);
    login.setLoginRefusals(&m_loginRefusals);
    login.exec();
}

bool CVelquorDlg::confirmEmptyKey(const QString& keyText) {
    // Files made with the all-zero key must still open, so it is allowed; but never unasked.
    if (!keyText.isEmpty()) return true;
    return messageBox(tr("The AES key is empty: the all-zero key will be used."), QString(),
                      MessageButtons::YesNoDefaultNo, MessageIcon::Warning) == Answer::Yes;
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

template <typename Operation>
void CVelquorDlg::runConfigFileCommand(Operation operation, const QString& progressLabel) {
    if (isBusy()) return;
    if (m_inputFilePath.isEmpty()) {
        messageBox(tr("No input file chosen: choose one with the Browse button first."), QString(),
                   MessageButtons::Ok, MessageIcon::Warning);
        return;
    }
    if (!confirmEmptyKey(controlText(kAesKeyEdit))) return;
    const std::optional<QString> output =
        chooseSaveFile(configFileFilter().toStdString(), QString(), history_key::kConfigOutput);
    if (!output) return;

    const std::string inputPath = localPath(m_inputFilePath);
    const std::string outputPath = localPath(*output);
    const std::string keyText = controlText(kAesKeyEdit).toStdString();
    // A wrong key decrypts without an error, to noise, and a second encryption of a file
    // gives one that decrypts to the first: both are asked about before a byte is written.
    auto prompts = std::make_shared<GuiThreadPrompts>(*this);
    const MessageRequest wrongKey = doubtQuestion(crypto::Doubt::WrongKey, *output);
    const MessageRequest encryptedAlready = doubtQuestion(crypto::Doubt::EncryptedAlready, *output);
    runReportedRequest(
        progressLabel,
        [operation, inputPath, outputPath, keyText, prompts, wrongKey, encryptedAlready](
            support::Reporter& reporter, support::ProgressSink& sink, std::stop_token stop) {
            NamedProgress named(sink, inputPath);
            crypto::ConfigFileOptions options;
            options.progress = &named;
            options.stop = stop;
            bool declined = false;
            options.whenDoubtful = [&](crypto::Doubt doubt) {
                const MessageRequest& question =
                    doubt == crypto::Doubt::WrongKey ? wrongKey : encryptedAlready;
                declined = prompts->ask(question) != Answer::Yes;
                return !declined;
            };
            support::Status status = operation(inputPath, outputPath, keyText, reporter, options);
            // No is the user's answer: nothing more to say.
            if (!status && declined) {
                return support::Status(
                    support::makeError(support::ErrorCode::Cancelled, status.error().message));
            }
            return status;
        },
        [this](bool ok) {
            if (ok) messageBox(tr("Success !"));
        },
        ProgressDetail::Path);
}

MessageRequest CVelquorDlg::doubtQuestion(crypto::Doubt doubt, const QString& output) const {
    MessageRequest question;
    question.text =
        doubt == crypto::Doubt::WrongKey
            ? tr("The result does not look like a configuration file: the key may be wrong. "
                 "Write it anyway?")
            : tr("%1 does not look like a configuration file: it may be encrypted already. "
                 "Encrypt it anyway?")
                  .arg(m_inputFilePath);
    question.caption = applicationTitle();
    question.buttons = MessageButtons::YesNoDefaultNo;
    question.icon = MessageIcon::Warning;
    if (QFileInfo::exists(output)) {
        question.details = tr("Yes replaces %1; No keeps it as it is.").arg(output);
    }
    return question;
}

}  // namespace velquor::app
