// The Serve to phones window; see serve_dialog.h.
#include "app/serve/serve_dialog.h"

#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <utility>

#include "app/kit/inputs/input_history.h"
#include "app/kit/prompts/prompter.h"
#include "app/kit/window/control_window.h"
#include "app/kit/window/ordinary_window.h"
#include "app/kit/window/screen_fit.h"
#include "app/language/core_texts.h"
#include "app/main_window/file_filters.h"
#include "app/results/row_table_actions.h"
#include "app/results/table_actions.h"
#include "app/serve/serve_phones_model.h"
#include "serve/folder/plain_files.h"
#include "serve/status/site_sheet.h"
#include "support/hex.h"

namespace velquor::app {
namespace {

// Well within the second in which a fetch must show, and cheap: a look at one counter.
constexpr int kRefreshMs = 250;

std::string localName(const QString& text) {
    return QFile::encodeName(text.trimmed()).toStdString();
}

// The counts of lines the server could not write to its log and could not hand on to be
// shown. The server counts them from the next change on; until it is in this tree the window
// reads them where they exist and shows none where they do not.
struct DroppedLines {
    std::uint64_t log = 0;
    std::uint64_t output = 0;
};

template <typename Server>
DroppedLines droppedLines(const Server& server) {
    DroppedLines dropped;
    if constexpr (requires { server.logDropped(); }) dropped.log = server.logDropped();
    if constexpr (requires { server.outputDropped(); }) dropped.output = server.outputDropped();
    return dropped;
}

// The widest time the table shows.
const QString kWidestTime = QStringLiteral("0000-00-00T00:00:00+00:00");
constexpr int kColumnPadding = 10;

// Widths from the texts a column holds at most (a MAC, a file name, a status, a time): the
// table changes four times a second, and measuring its rows each time would move the columns.
// They leave the User agent, the last column, room in a window as wide as a laptop's screen.
void sizeColumns(QTableView* table) {
    const QFontMetrics metrics = table->fontMetrics();
    const std::pair<int, QString> widest[] = {
        {ServePhonesModel::kMac, QStringLiteral("000000000000")},
        {ServePhonesModel::kFile, QStringLiteral("000000000000.xml")},
        {ServePhonesModel::kStatus, coreText(serve::stateName(serve::PhoneState::AskedNotFound))},
        {ServePhonesModel::kProof, QStringLiteral("digest")},
        {ServePhonesModel::kFirstFetch, kWidestTime},
        {ServePhonesModel::kLastRequest, kWidestTime},
        {ServePhonesModel::kCount, ServePhonesModel::tr("Fetches")},
        {ServePhonesModel::kPeer, QStringLiteral("000.000.000.000")},
    };
    QHeaderView* header = table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    for (const auto& [column, text] : widest) {
        const QString title = table->model()->headerData(column, Qt::Horizontal).toString();
        header->resizeSection(
            column, std::max(metrics.horizontalAdvance(text), metrics.horizontalAdvance(title)) +
                        kColumnPadding);
    }
    // The sheet's order until the operator sorts.
    table->sortByColumn(-1, Qt::AscendingOrder);
}

// Widens a column to the longest text it has held: a file name cut short could hide the MAC
// it holds, a refusal's reason the MAC a certificate names.
void showWhole(QTableView* table, int column, const QString& longest) {
    const int wanted = table->fontMetrics().horizontalAdvance(longest) + kColumnPadding;
    QHeaderView* header = table->horizontalHeader();
    if (header->sectionSize(column) < wanted) header->resizeSection(column, wanted);
}

void showWholeTexts(QTableView* table, const ServePhonesModel& model) {
    showWhole(table, ServePhonesModel::kFile, model.longestFile());
    showWhole(table, ServePhonesModel::kStatus, model.longestStatus());
}

// The TFTP port box: off, or the port to serve TFTP on. A step up from off goes to the
// well-known port, the phones' factory default, rather than to port 1.
class TftpPortBox : public QSpinBox {
public:
    using QSpinBox::QSpinBox;
    void stepBy(int steps) override {
        if (value() == 0 && steps > 0)
            setValue(serve::tftp::kWellKnownPort);
        else
            QSpinBox::stepBy(steps);
    }
};

}  // namespace

ServeDialog::ServeDialog(Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {
    makeOrdinaryWindow(*this);
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    addQuitShortcut(this);
    buildForm();
    updateTitle();
    resize(1120, 560);
}

ServeDialog::~ServeDialog() {
    stopServing();
}

void ServeDialog::buildForm() {
    m_folder = new QLineEdit(this);
    m_sheet = new QLineEdit(this);
    m_sheet->setPlaceholderText(tr("optional: the device sheet or a MAC file"));
    m_port = new QSpinBox(this);
    m_port->setRange(0, 65535);
    m_port->setSpecialValueText(tr("any free port"));
    m_port->setValue(serve::kDefaultPort);
    m_tftpPort = new TftpPortBox(this);
    m_tftpPort->setRange(0, 65535);
    m_tftpPort->setSpecialValueText(tr("off", "no TFTP"));
    m_tftpPort->setToolTip(
        tr("Serve the folder over TFTP too, on this port: phones that take their server from "
           "DHCP option 66 or 150. Port 69 needs privileges; a port above 1024 goes in option "
           "66 as tftp://HOST:PORT/."));
    m_allow = new QLineEdit(this);
    m_allow->setPlaceholderText(tr("everyone; or ranges such as 10.0.0.0/8 fd00::/8"));
    m_address = new QLineEdit(this);
    m_address->setPlaceholderText(tr("every address"));
    m_log = new QLineEdit(this);
    auto* browseFolder = new QPushButton(tr("Browse…"), this);
    auto* browseSheet = new QPushButton(tr("Browse…"), this);
    m_serve = new QPushButton(tr("Serve"), this);
    m_serve->setDefault(true);
    m_sheetPasswords = new QCheckBox(tr("Passwords from its http-password column"), this);
    m_sheetPasswords->setToolTip(
        tr("Each phone of the sheet fetches only its own file, with its MAC as its user and "
           "the password of its http-password cell."));
    m_fields = {m_folder, m_sheet, m_port,       m_tftpPort,  m_address,
                m_allow,  m_log,   browseFolder, browseSheet, m_serve};

    auto withButton = [this](QWidget* field, QPushButton* button) {
        auto* row = new QHBoxLayout;
        row->addWidget(field, 1);
        row->addWidget(button);
        return row;
    };
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(m_port);
    portRow->addWidget(new QLabel(tr("TFTP"), this));
    portRow->addWidget(m_tftpPort);
    portRow->addWidget(new QLabel(tr("Address"), this));
    portRow->addWidget(m_address, 1);
    portRow->addWidget(new QLabel(tr("Allowed peers"), this));
    portRow->addWidget(m_allow, 1);
    auto* form = new QFormLayout;
    form->addRow(tr("Folder"), withButton(m_folder, browseFolder));
    QHBoxLayout* sheetRow = withButton(m_sheet, browseSheet);
    sheetRow->addWidget(m_sheetPasswords);
    form->addRow(tr("Phones"), sheetRow);
    form->addRow(tr("HTTPS certificate"), buildHttpsRow());
    form->addRow(tr("Phones' CA files"), buildProofRow());
    form->addRow(tr("Port"), portRow);
    form->addRow(tr("Fetch log"), withButton(m_log, m_serve));

    m_urls = new QComboBox(this);
    m_urls->setEnabled(false);
    m_copyUrl = new QPushButton(tr("Copy URL"), this);
    m_copyUrl->setEnabled(false);
    m_copyUrl->setAutoDefault(false);
    form->addRow(tr("Give the phones"), withButton(m_urls, m_copyUrl));
    m_warning = new QLabel(this);
    m_warning->setWordWrap(true);
    m_warning->setStyleSheet(QStringLiteral("color: #a04000;"));
    m_warning->hide();
    m_dropped = new QLabel(this);
    m_dropped->setWordWrap(true);
    m_dropped->setStyleSheet(QStringLiteral("color: #a04000;"));
    m_dropped->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_dropped->hide();

    m_countsLabel = new QLabel(this);
    m_shown = new QComboBox(this);
    m_shown->addItems({tr("All phones"), tr("Waiting"), tr("Fetched"), tr("Problems")});
    m_model = new ServePhonesModel(this);
    m_filter = new ServePhonesFilter(this);
    m_filter->setSourceModel(m_model);
    m_table = newRowTable(this, m_filter);
    sizeColumns(m_table);
    m_actions = new RowTableActions(
        *this, m_prompter, *m_table, *m_filter, [this] { return serve::statusTable(m_phones); },
        [this](const QString& typed) { m_filter->setTypedFilter(typed); });
    // The rows are the sheet's phones: Save starts beside it.
    connect(m_sheet, &QLineEdit::textChanged, m_actions, &RowTableActions::setBesideInput);
    m_stop = new QPushButton(tr("Stop"), this);
    m_stop->setEnabled(false);
    auto* close = new QPushButton(tr("Close"), this);

    auto* filters = new QWidget(this);
    auto* filterRow = new QHBoxLayout(filters);
    filterRow->setContentsMargins(0, 0, 0, 0);
    filterRow->addWidget(m_shown);
    filterRow->addWidget(m_actions->filterBox());
    auto* rows = new QWidget(this);
    layOutRowTable(*rows, m_countsLabel, filters, m_table, m_stop,
                   {m_actions->copyButton(), m_actions->saveButton(), close});
    rows->layout()->setContentsMargins(0, 0, 0, 0);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_warning);
    layout->addWidget(m_dropped);
    layout->addWidget(rows, 1);

    m_timer = new QTimer(this);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, &ServeDialog::refresh);
    connect(m_serve, &QPushButton::clicked, this, &ServeDialog::startServing);
    connect(m_stop, &QPushButton::clicked, this, &ServeDialog::stopServing);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(m_copyUrl, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(m_urls->currentText()); });
    connect(m_shown, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_filter->setShown(static_cast<ServePhonesFilter::Shown>(index));
        m_actions->updateButtons();
    });
    connect(m_folder, &QLineEdit::textEdited, this,
            [this](const QString& folder) { m_log->setText(defaultLogFor(folder)); });
    connect(browseFolder, &QPushButton::clicked, this, [this] {
        const QString start = InputHistory::load().startFolder(history_key::kOutputDir,
                                                               {m_folder->text(), m_sheet->text()});
        if (auto chosen = InputHistory::rememberChoice(
                history_key::kOutputDir,
                m_prompter.existingDirectory(this, tr("Folder to serve"), start)))
            setFolder(*chosen);
    });
    connect(m_sheet, &QLineEdit::textChanged, this, &ServeDialog::updateSheetPasswords);
    updateSheetPasswords();
    connect(browseSheet, &QPushButton::clicked, this, [this] {
        const QString start = InputHistory::load().startFolder(history_key::kMacAccount,
                                                               {m_sheet->text(), m_folder->text()});
        if (auto chosen = InputHistory::rememberChoice(
                history_key::kMacAccount,
                m_prompter.openFile(this, tr("The site's phones"), sheetFilter(), start)))
            m_sheet->setText(*chosen);
    });
}

QPushButton* ServeDialog::chooserFor(QLineEdit* field, const QString& title, const QString& filter,
                                     Choosing choosing) {
    auto* button =
        new QPushButton(choosing == Choosing::AddsOne ? tr("Add…") : tr("Browse…"), this);
    connect(button, &QPushButton::clicked, this, [this, field, title, filter, choosing] {
        const QStringList paths = pathsOf(field->text());
        const QString start = InputHistory::load().startFolder(
            history_key::kCertificate, {paths.isEmpty() ? QString() : paths.back()});
        const auto chosen = InputHistory::rememberChoice(
            history_key::kCertificate, m_prompter.openFile(this, title, filter, start));
        if (!chosen) return;
        field->setText(choosing == Choosing::AddsOne ? withPathAdded(field->text(), *chosen)
                                                     : *chosen);
    });
    m_fields << field << button;
    return button;
}

QLayout* ServeDialog::buildHttpsRow() {
    const QString certificates = tr("Certificates|*.pem;*.crt|All files|*|",
                                    "file-dialog filter: translate the descriptions, keep the "
                                    "patterns");
    m_tlsCertificate = new QLineEdit(this);
    m_tlsCertificate->setPlaceholderText(tr("none: plain HTTP"));
    m_tlsKey = new QLineEdit(this);
    auto* row = new QHBoxLayout;
    row->addWidget(m_tlsCertificate, 1);
    row->addWidget(chooserFor(m_tlsCertificate, tr("This server's certificate"), certificates,
                              Choosing::OneFile));
    row->addWidget(new QLabel(tr("Key"), this));
    row->addWidget(m_tlsKey, 1);
    row->addWidget(chooserFor(m_tlsKey, tr("This server's key"), certificates, Choosing::OneFile));
    return row;
}

QLayout* ServeDialog::buildProofRow() {
    m_phoneCas = new QLineEdit(this);
    m_phoneCas->setPlaceholderText(tr("none: no phone's certificate asked"));
    m_phoneCas->setToolTip(
        tr("PEM files of the CAs that issued the phones' certificates, separated by ';' (a site "
           "that mixes makers gives one for each). Over HTTPS a phone then fetches only with a "
           "certificate issued under one of them, and only the file of the MAC it names."));
    m_authFile = new QLineEdit(this);
    m_authFile->setPlaceholderText(tr("none"));
    m_authFile->setToolTip(
        tr("An htdigest file (user:realm:hash): a user for the site or one "
           "per phone, named by its MAC. It holds no password."));
    m_noAuth = new QCheckBox(tr("Serve without credentials (knowingly)"), this);
    m_noAuth->setToolTip(
        tr("Plain configuration files go to anyone who can reach the port and "
           "name a MAC, with the phones' passwords in them."));
    m_fields << m_noAuth;

    auto* row = new QHBoxLayout;
    row->addWidget(m_phoneCas, 1);
    m_addPhoneCa = chooserFor(m_phoneCas, tr("A CA of the phones' certificates"),
                              tr("Certificates|*.pem;*.crt|All files|*|",
                                 "file-dialog filter: translate the descriptions, keep the "
                                 "patterns"),
                              Choosing::AddsOne);
    row->addWidget(m_addPhoneCa);
    row->addWidget(new QLabel(tr("Credentials file"), this));
    row->addWidget(m_authFile, 1);
    row->addWidget(
        chooserFor(m_authFile, tr("The phones' credentials"), anyFileFilter(), Choosing::OneFile));
    row->addWidget(m_noAuth);
    return row;
}

void ServeDialog::updateSheetPasswords() {
    m_sheetPasswords->setEnabled(!isServing() && !m_sheet->text().trimmed().isEmpty());
}

serve::ServeOptions ServeDialog::proofOptions() const {
    serve::ServeOptions options;
    for (const QString& path : pathsOf(m_phoneCas->text()))
        options.phoneCas.push_back(localName(path));
    options.authFile = localName(m_authFile->text());
    options.sheetPasswords = m_sheetPasswords->isChecked() && !m_sheet->text().trimmed().isEmpty();
    if (options.sheetPasswords) options.sheetFile = localName(m_sheet->text().trimmed());
    options.noAuth = m_noAuth->isChecked();
    options.tlsCertificate = localName(m_tlsCertificate->text());
    options.tlsKey = localName(m_tlsKey->text());
    return options;
}

ServeDialog* ServeDialog::open(ControlWindow& owner, const QString& outputFolder,
                               const QString& sheet, const mac::FileNamePattern& fileName) {
    ServeDialog* dialog = owner.findChild<ServeDialog*>(QString(), Qt::FindDirectChildrenOnly);
    if (dialog == nullptr) dialog = new ServeDialog(owner.prompter(), &owner);
    if (!dialog->isServing()) {
        dialog->setFields(proposedServeFields(outputFolder, rememberedServeFields()));
        dialog->setSheet(sheet);
        dialog->setFileName(fileName);
        dialog->showLogOfLastTime();
    }
    if (!dialog->isVisible()) fitToScreen(dialog);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

void ServeDialog::showLogOfLastTime() {
    // A long deployment's log is read when serving starts, off this thread's way; a preview
    // never holds the window up for more than a moment.
    constexpr qint64 kPreviewBytes = 64 * 1024 * 1024;
    const QFileInfo log(m_log->text());
    if (!log.isFile() || log.size() > kPreviewBytes) return;
    auto phones = serve::phonesOfFetchLog(log.filesystemFilePath());
    if (!phones) return;
    m_counts = serve::SiteCounts{};
    for (const serve::PhoneStatus& phone : *phones) {
        if (phone.state == serve::PhoneState::Fetched) ++m_counts.fetched;
        if (phone.state == serve::PhoneState::AskedNotFound) ++m_counts.askedNotFound;
        if (phone.state == serve::PhoneState::Refused) ++m_counts.refused;
        if (phone.state == serve::PhoneState::Unknown) ++m_counts.unknownPhones;
    }
    m_hasSite = false;
    m_phones = *phones;
    m_model->update(std::move(*phones));
    showWholeTexts(m_table, *m_model);
    updateTitle();
    m_actions->updateButtons();
}

void ServeDialog::setFolder(const QString& folder) {
    m_folder->setText(folder);
    m_log->setText(defaultLogFor(folder));
}

ServeFields ServeDialog::fields() const {
    ServeFields fields;
    fields.folder = m_folder->text();
    fields.port = QString::number(m_port->value());
    fields.address = m_address->text();
    fields.log = m_log->text();
    fields.allowed = m_allow->text();
    fields.tlsCertificate = m_tlsCertificate->text();
    fields.tlsKey = m_tlsKey->text();
    fields.phoneCas = m_phoneCas->text();
    fields.authFile = m_authFile->text();
    fields.sheetPasswords = m_sheetPasswords->isChecked();
    return fields;
}

void ServeDialog::setFields(const ServeFields& fields) {
    m_folder->setText(fields.folder);
    bool isNumber = false;
    const int port = fields.port.toInt(&isNumber);
    m_port->setValue(isNumber ? port : serve::kDefaultPort);
    m_address->setText(fields.address);
    m_log->setText(fields.log);
    m_allow->setText(fields.allowed);
    m_tlsCertificate->setText(fields.tlsCertificate);
    m_tlsKey->setText(fields.tlsKey);
    m_phoneCas->setText(fields.phoneCas);
    m_authFile->setText(fields.authFile);
    m_sheetPasswords->setChecked(fields.sheetPasswords);
}

void ServeDialog::setSheet(const QString& sheet) {
    m_sheet->setText(sheet);
}

std::uint16_t ServeDialog::port() const {
    return m_server ? m_server->port() : 0;
}

void ServeDialog::refuse(const QString& text, const QString& details) {
    m_prompter.message(this, MessageRequest{text, applicationTitle(), MessageButtons::Ok,
                                            MessageIcon::Warning, details});
}

std::optional<bool> ServeDialog::confirmPlainFiles() {
    const QString encrypted = encryptedCopiesOf(m_folder->text());
    if (encrypted.isEmpty()) return false;
    const Answer answer = m_prompter.message(
        this, MessageRequest{tr("Serve the encrypted copies in en/?"), applicationTitle(),
                             MessageButtons::ServeEncryptedOrPlain, MessageIcon::Question,
                             //: %1 is the folder chosen, %2 its en folder
                             tr("%1 holds the plain files, with the phones' passwords readable "
                                "by anyone who asks; %2 holds their encrypted copies.")
                                 .arg(QDir::toNativeSeparators(m_folder->text().trimmed()),
                                      QDir::toNativeSeparators(encrypted))});
    if (answer == Answer::ServePlain) return true;
    if (answer != Answer::ServeEncrypted) return std::nullopt;
    // The log follows the folder unless another was chosen.
    const bool defaultLog = m_log->text() == defaultLogFor(m_folder->text());
    m_folder->setText(encrypted);
    if (defaultLog) m_log->setText(defaultLogFor(encrypted));
    return false;
}

bool ServeDialog::startServing() {
    if (m_server) return true;
    serve::ServeOptions options = proofOptions();
    if (m_folder->text().trimmed().isEmpty()) {
        refuse(tr("Choose the folder to serve."), QString());
        return false;
    }
    const std::optional<bool> plainFiles = confirmPlainFiles();
    if (!plainFiles) return false;
    options.plainFiles = *plainFiles;
    options.folder = localName(m_folder->text());
    options.address = m_address->text().trimmed().toStdString();
    options.fileName = m_fileName;
    options.port = static_cast<std::uint16_t>(m_port->value());
    if (m_tftpPort->value() != 0) {
        serve::tftp::TftpOptions tftp;
        tftp.port = static_cast<std::uint16_t>(m_tftpPort->value());
        options.tftp = tftp;
    }
    options.logFile = localName(m_log->text());
    const QStringList ranges =
        m_allow->text().split(QRegularExpression(QStringLiteral("[\\s,;]+")), Qt::SkipEmptyParts);
    for (const QString& range : ranges) {
        auto parsed = serve::parsePeerRange(range.toStdString());
        if (!parsed) {
            refuse(tr("The allowed peers are not address ranges."), coreText(parsed.error()));
            return false;
        }
        options.allowed.add(*parsed);
    }
    if (!m_sheet->text().trimmed().isEmpty()) {
        auto site = serve::readSite(localName(m_sheet->text()));
        if (!site) {
            refuse(tr("The site's phones cannot be read."), coreText(site.error()));
            return false;
        }
        options.site = std::move(*site);
    }
    const std::string address = options.address;  // options are the server's from here on
    auto server = serve::PhoneServer::start(std::move(options));
    if (!server && serve::refusesUnprovenAskers(server.error())) {
        refuse(tr("The plain configuration files would go to anyone who reaches this computer."),
               tr("They hold the phones' SIP passwords and no phone has to prove itself. Serve "
                  "the encrypted copies in en/, give the phones' CA or credentials, serve on "
                  "127.0.0.1 only, or tick Serve without credentials to accept the risk."));
        return false;
    }
    if (!server) {
        refuse(tr("The folder cannot be served."), coreText(server.error()));
        return false;
    }
    m_server = std::move(*server);
    // The phones are told this port: the next use proposes it, whatever was asked.
    ServeFields used = fields();
    used.port = QString::number(m_server->port());
    rememberServeFields(used);
    m_urls->clear();
    for (const std::string& url : serve::serverUrls(m_server->port(), m_server->usesTls(), address))
        m_urls->addItem(QString::fromStdString(url));
    if (const std::uint16_t tftpPort = m_server->tftpPort(); tftpPort != 0) {
        // The same hosts over TFTP, for DHCP option 66.
        for (const std::string& url : serve::serverUrls(tftpPort, false, address))
            m_urls->addItem(QStringLiteral("tftp") +
                            QString::fromStdString(url).mid(QStringLiteral("http").size()));
    }
    m_urls->setEnabled(true);
    m_copyUrl->setEnabled(true);
    QStringList warnings;
    for (const support::Phrase& warning : m_server->warnings()) warnings << coreText(warning);
    m_warning->setText(warnings.join(QLatin1Char('\n')));
    m_warning->setVisible(!warnings.isEmpty());
    setFieldsEnabled(false);
    m_seenRequests = UINT64_MAX;
    refresh();
    m_timer->start();
    return true;
}

void ServeDialog::stopServing() {
    if (!m_server) return;
    m_timer->stop();
    m_server->stop();
    m_seenRequests = UINT64_MAX;
    refresh();
    m_server.reset();
    m_urls->setEnabled(false);
    m_copyUrl->setEnabled(false);
    setFieldsEnabled(true);
    updateTitle();
}

void ServeDialog::setFieldsEnabled(bool enabled) {
    for (QWidget* field : m_fields) field->setEnabled(enabled);
    updateSheetPasswords();
    m_stop->setEnabled(!enabled);
}

void ServeDialog::showDropped() {
    const DroppedLines dropped = droppedLines(*m_server);
    QStringList lines;
    if (dropped.log > 0) {
        lines << tr("%n request(s) could not be written to the fetch log.", nullptr,
                    static_cast<int>(std::min<std::uint64_t>(dropped.log, INT_MAX)));
        const std::string why = m_server->logError();
        if (!why.empty()) lines << QString::fromStdString(support::escapeControls(why));
    }
    if (dropped.output > 0) {
        lines << tr(
            "%n request line(s) were left out of the display: they came faster than "
            "they could be shown. Serving went on.",
            nullptr, static_cast<int>(std::min<std::uint64_t>(dropped.output, INT_MAX)));
    }
    // Looked at four times a second: the label is laid out again only when it changed.
    const QString text = lines.join(QLatin1Char('\n'));
    if (text == m_dropped->text()) return;
    m_dropped->setText(text);
    m_dropped->setVisible(!lines.isEmpty());
}

void ServeDialog::refresh() {
    if (!m_server) return;
    showDropped();
    const std::uint64_t requests = m_server->requestCount();
    if (requests == m_seenRequests) return;
    m_seenRequests = requests;
    serve::ServeSnapshot snapshot = m_server->snapshot();
    m_counts = snapshot.counts;
    m_hasSite = snapshot.hasSite;
    m_phones = snapshot.phones;
    m_model->update(std::move(snapshot.phones));
    showWholeTexts(m_table, *m_model);
    updateTitle();
    m_actions->updateButtons();
    if (m_phonesListener) m_phonesListener(m_phones);
}

void ServeDialog::updateTitle() {
    const QString serving = m_server ? tr("Serve to phones (serving)") : tr("Serve to phones");
    if (m_phones.empty() && !m_hasSite) {
        setWindowTitle(serving);
        m_countsLabel->setText(m_server ? tr("No phone has asked yet.") : QString());
        return;
    }
    const std::size_t problems = m_counts.askedNotFound + m_counts.refused + m_counts.unknownPhones;
    const QString counts = m_hasSite
                               ? tr("%1 of %2 fetched, %3 waiting, problems: %4")
                                     .arg(m_counts.fetched)
                                     .arg(m_counts.phones)
                                     .arg(m_counts.waiting)
                                     .arg(problems)
                               : tr("%1 fetched, problems: %2").arg(m_counts.fetched).arg(problems);
    //: %1 is "Serve to phones", %2 the counts of the phones
    setWindowTitle(tr("%1 — %2").arg(serving, counts));
    m_countsLabel->setText(counts);
}

void ServeDialog::closeEvent(QCloseEvent* event) {
    stopServing();
    QDialog::closeEvent(event);
}

}  // namespace velquor::app
