// SettingsDialog: the per-user file's [kesto] values in a form, checked as the file reader
// checks them, saved atomically, and tried with one handshake before they are saved.
#include "app/main_window/settings_dialog.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <functional>
#include <string>

#include "app/kit/inputs/input_history.h"
#include "app/kit/progress/progress_task.h"
#include "app/language/core_texts.h"
#include "app/language/window_language.h"

namespace velquor::app {
namespace {

using settings::KestoValues;

std::string bytesOf(const QString& text) {
    return text.trimmed().toUtf8().toStdString();
}

QString textOf(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The dialog's texts outside its member functions are translated under its own name.
QString translated(const char* text) {
    return QCoreApplication::translate("velquor::app::SettingsDialog", text);
}

// One field of the form: its control, the key it writes and how its text becomes a value.
struct Field {
    int id;
    const char* label;  // marked for translation, shown through translated()
    const char* key;
    // Parses the field's text into values; the error says what was expected.
    std::function<support::Status(const std::string&, KestoValues&)> parse;
    // The value as the field shows it; empty when the source does not set it.
    std::function<std::string(const KestoValues&)> show;
};

template <typename T, typename Parse>
support::Status store(std::optional<T> KestoValues::*member, Parse parse, const std::string& text,
                      KestoValues& values) {
    auto parsed = parse(text);
    if (!parsed) return parsed.error();
    values.*member = std::move(*parsed);
    return {};
}

const std::vector<Field>& fields() {
    static const std::vector<Field> all{
        {kSettingsAddressEdit, QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Server address:"),
         "address",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::address, settings::parseAddress, text, values);
         },
         [](const KestoValues& values) { return values.address.value_or(std::string()); }},
        {kSettingsPortsEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Ports (login, account, device):"),
         "ports",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::ports, settings::parsePorts, text, values);
         },
         [](const KestoValues& values) {
             return values.ports ? settings::formatPorts(*values.ports) : std::string();
         }},
        {kSettingsCaFileEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "CA certificate file:"), "ca-file",
         [](const std::string& text, KestoValues& values) -> support::Status {
             // Kept as an absolute path: the file would otherwise read it beside itself.
             values.caFile = bytesOf(QFileInfo(textOf(text)).absoluteFilePath());
             return {};
         },
         [](const KestoValues& values) { return values.caFile.value_or(std::string()); }},
        {kSettingsConnectTimeoutEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Connect time-out (seconds):"),
         "connect-timeout",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::connectTimeout, settings::parseSeconds, text, values);
         },
         [](const KestoValues& values) {
             return values.connectTimeout ? settings::formatSeconds(*values.connectTimeout)
                                          : std::string();
         }},
        {kSettingsExchangeTimeoutEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Exchange time-out (seconds):"),
         "exchange-timeout",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::exchangeTimeout, settings::parseSeconds, text, values);
         },
         [](const KestoValues& values) {
             return values.exchangeTimeout ? settings::formatSeconds(*values.exchangeTimeout)
                                           : std::string();
         }},
        {kSettingsJobsEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Device requests at once:"), "jobs",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::jobs, settings::parseJobs, text, values);
         },
         [](const KestoValues& values) {
             return values.jobs ? std::to_string(*values.jobs) : std::string();
         }},
        {kSettingsMacFormEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog",
                           "MAC form (plain, lower, upper, as-written):"),
         "mac-form",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::macForm, settings::parseMacForm, text, values);
         },
         [](const KestoValues& values) {
             return values.macForm ? std::string(mac::formName(*values.macForm)) : std::string();
         }},
        {kSettingsFileNameEdit,
         QT_TRANSLATE_NOOP("velquor::app::SettingsDialog",
                           "Device file name ({mac} is the MAC, e.g. cfg{mac}.xml):"),
         "file-name",
         [](const std::string& text, KestoValues& values) {
             return store(&KestoValues::fileName, settings::parseFileName, text, values);
         },
         [](const KestoValues& values) {
             return values.fileName ? values.fileName->text() : std::string();
         }},
    };
    return all;
}

// The value a login uses: the dialog's when typed, else the system file's, else the built-in.
template <typename T>
settings::Effective<T> layered(const std::optional<T>& typed, const std::optional<T>& system,
                               const std::optional<T>& builtIn,
                               const settings::SettingsPaths& paths) {
    if (typed) return {*typed, {settings::Origin::UserFile, paths.userFile().string()}};
    if (system) return {*system, {settings::Origin::SystemFile, paths.systemFile().string()}};
    return {builtIn.value_or(T{}), {settings::Origin::BuildDefault, std::string()}};
}

// What the server showed, for the box that says the connection works.
QString certificateText(const provisioning::ServerCertificate& certificate) {
    QStringList lines{
        translated(QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Certificate: %1"))
            .arg(textOf(certificate.subject))};
    if (!certificate.names.empty()) {
        QStringList names;
        for (const std::string& name : certificate.names) names << textOf(name);
        lines << translated(QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Names: %1"))
                     .arg(names.join(QStringLiteral(", ")));
    }
    if (!certificate.issuer.empty()) {
        lines << translated(QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Issued by: %1"))
                     .arg(textOf(certificate.issuer));
    }
    lines << translated(QT_TRANSLATE_NOOP("velquor::app::SettingsDialog", "Valid until: %1"))
                 .arg(textOf(certificate.notAfter));
    return lines.join('\n');
}

}  // namespace

SettingsDialog::SettingsDialog(Prompter& prompter, settings::SettingsPaths paths, QWidget* parent)
    : ControlWindow(prompter, parent), m_paths(std::move(paths)) {
    setWindowTitle(tr("Settings"));
    buildControls();
    loadFiles();
}

void SettingsDialog::buildControls() {
    auto* form = new QFormLayout;
    auto* note = new QLabel(
        tr("Kesto server settings of this user, saved in %1. An empty field takes the value "
           "shown in grey (the system file's or the built-in one).")
            .arg(QString::fromStdString(m_paths.userFile().string())),
        this);
    note->setWordWrap(true);
    form->addRow(note);
    for (const Field& field : fields()) {
        auto* edit = registerControl(field.id, new QLineEdit(this));
        edit->setMinimumWidth(260);
        if (field.id != kSettingsCaFileEdit) {
            form->addRow(translated(field.label), edit);
            continue;
        }
        auto* row = new QHBoxLayout;
        row->addWidget(edit, 1);
        QPushButton* browse = addCommandButton(kSettingsBrowseCaButton, tr("Browse"));
        row->addWidget(browse);
        form->addRow(translated(field.label), row);
        connect(browse, &QPushButton::clicked, this, &SettingsDialog::OnBrowseCaFile);
    }
    buildLanguageChoice(form);
    QPushButton* test = addCommandButton(kSettingsTestButton, tr("Test connection"));
    connect(test, &QPushButton::clicked, this, &SettingsDialog::OnTestConnection);
    QHBoxLayout* buttons =
        addStandardOkCancelRow(kSettingsOkButton, kSettingsCancelButton, [this] { OnOK(); });
    buttons->insertWidget(0, test);
    layOutForm(form, buttons);
}

// A damaged file still opens the dialog: saving from it is how the operator repairs it.
void SettingsDialog::loadFiles() {
    auto loaded = settings::loadSettings({}, m_paths);
    if (!loaded) {
        messageBox(tr("The settings could not be read; fields left empty."), QString(),
                   MessageButtons::Ok, MessageIcon::Warning, coreSentence(loaded.error()));
        showInheritedValues();
        return;
    }
    m_system = loaded->system;
    for (const Field& field : fields()) setControlText(field.id, textOf(field.show(loaded->user)));
    showInheritedValues();
    showLanguage(loaded->user);
}

void SettingsDialog::showInheritedValues() {
    const KestoValues builtIn = settings::builtInDefaults();
    for (const Field& field : fields()) {
        std::string value = field.show(m_system);
        QString origin = tr("system file");
        if (value.empty()) {
            value = field.show(builtIn);
            origin = tr("built in");
        }
        QString shown = textOf(value);
        if (value.empty() && field.id == kSettingsCaFileEdit) {
            shown = tr("cacert.pem here, then velquor/cacert.pem in the configuration folders");
        }
        auto* edit = qobject_cast<QLineEdit*>(control(field.id));
        edit->setPlaceholderText(
            tr("%1 (%2)", "a value and where it comes from").arg(shown, origin));
    }
}

std::optional<KestoValues> SettingsDialog::typedValues() {
    KestoValues values;
    values.language = chosenLanguage();
    for (const Field& field : fields()) {
        const std::string text = bytesOf(controlText(field.id));
        if (text.empty()) continue;
        if (auto parsed = field.parse(text, values); !parsed) {
            messageBox(tr("%1 %2", "a field's label and the value typed in it")
                           .arg(translated(field.label), textOf(text)),
                       QString(), MessageButtons::Ok, MessageIcon::Warning,
                       QStringLiteral("%1: %2").arg(QString::fromUtf8(field.key),
                                                    coreText(parsed.error())));
            control(field.id)->setFocus();
            return std::nullopt;
        }
    }
    return values;
}

settings::KestoSettings SettingsDialog::settingsAsTyped(const KestoValues& typed) const {
    const KestoValues builtIn = settings::builtInDefaults();
    settings::KestoSettings effective;
    effective.address = layered(typed.address, m_system.address, builtIn.address, m_paths);
    effective.ports = layered(typed.ports, m_system.ports, builtIn.ports, m_paths);
    effective.caFile = layered(typed.caFile, m_system.caFile, builtIn.caFile, m_paths);
    effective.connectTimeout =
        layered(typed.connectTimeout, m_system.connectTimeout, builtIn.connectTimeout, m_paths);
    effective.exchangeTimeout =
        layered(typed.exchangeTimeout, m_system.exchangeTimeout, builtIn.exchangeTimeout, m_paths);
    effective.jobs = layered(typed.jobs, m_system.jobs, builtIn.jobs, m_paths);
    effective.macForm = layered(typed.macForm, m_system.macForm, builtIn.macForm, m_paths);
    effective.fileName = layered(typed.fileName, m_system.fileName, builtIn.fileName, m_paths);
    return effective;
}

// The window's language: the desktop's, the original English, or one of the translations.
void SettingsDialog::buildLanguageChoice(QFormLayout* form) {
    auto* choice = registerControl(kSettingsLanguageCombo, new QComboBox(this));
    choice->addItem(tr("The desktop's language"),
                    QString::fromUtf8(settings::kAutomaticLanguage.data(),
                                      settings::kAutomaticLanguage.size()));
    choice->addItem(QStringLiteral("English (en)"), QStringLiteral("en"));
    for (const QString& language : availableTranslations()) {
        choice->addItem(
            QStringLiteral("%1 (%2)").arg(QLocale(language).nativeLanguageName(), language),
            language);
    }
    auto* note = new QLabel(tr("The language takes effect the next time Velquor starts."), this);
    note->setWordWrap(true);
    auto* column = new QVBoxLayout;
    column->addWidget(choice);
    column->addWidget(note);
    form->addRow(tr("Window language:"), column);
}

// The user's setting when the file has one, else what the system file or the default says.
void SettingsDialog::showLanguage(const KestoValues& user) {
    const std::string value = user.language.value_or(
        m_system.language.value_or(std::string(settings::kAutomaticLanguage)));
    auto* choice = qobject_cast<QComboBox*>(control(kSettingsLanguageCombo));
    int index = choice->findData(textOf(value));
    if (index < 0) {
        // A language with no translation here, kept as the file says it.
        choice->addItem(textOf(value), textOf(value));
        index = choice->count() - 1;
    }
    choice->setCurrentIndex(index);
    m_userLanguage = user.language;
}

std::optional<std::string> SettingsDialog::chosenLanguage() const {
    auto* choice = qobject_cast<QComboBox*>(control(kSettingsLanguageCombo));
    const std::string chosen = bytesOf(choice->currentData().toString());
    const std::string inherited =
        m_system.language.value_or(std::string(settings::kAutomaticLanguage));
    // Left to the system file and the default unless the user's file said it or it differs.
    if (!m_userLanguage && chosen == inherited) return std::nullopt;
    return chosen;
}

void SettingsDialog::OnOK() {
    if (isBusy()) return;
    const std::optional<KestoValues> values = typedValues();
    if (!values) return;
    if (const support::Status saved = settings::saveUserSettings(*values, m_paths); !saved) {
        messageBox(tr("The settings were not saved."), QString(), MessageButtons::Ok,
                   MessageIcon::Warning, coreSentence(saved.error()));
        return;
    }
    accept();
}

void SettingsDialog::OnBrowseCaFile() {
    if (auto path = chooseOpenFile("(*.pem)|*.pem;*.crt|", tr("CA certificate"),
                                   history_key::kCertificate, {controlText(kSettingsCaFileEdit)})) {
        setControlText(kSettingsCaFileEdit, *path);
    }
}

void SettingsDialog::OnTestConnection() {
    if (isBusy()) return;
    const std::optional<KestoValues> values = typedValues();
    if (!values) return;
    const provisioning::KestoEndpoint endpoint =
        provisioning::endpointFromSettings(settingsAsTyped(*values), m_paths);
    const QString server = textOf(endpoint.address);
    using Outcome = std::vector<provisioning::PortTest>;
    startTask(runWithProgress<Outcome>(
        this, tr("Connecting to %1…").arg(server),
        [endpoint](support::ProgressSink&, std::stop_token stop) {
            return provisioning::testEveryPort(endpoint, stop);
        },
        [this, server](std::optional<Outcome> outcome, bool cancelled) {
            if (cancelled) return;
            if (!outcome) {
                messageBox(tr("No connection to %1.").arg(server), QString(), MessageButtons::Ok,
                           MessageIcon::Warning, tr("The test stopped on an unexpected error."));
                return;
            }
            showPortTests(server, *outcome);
        }));
}

void SettingsDialog::showPortTests(const QString& server,
                                   const std::vector<provisioning::PortTest>& tests) {
    QStringList lines;
    const provisioning::ServerCertificate* shown = nullptr;
    int failed = 0;
    for (const provisioning::PortTest& test : tests) {
        lines << portTestLine(test);
        if (!test.outcome) ++failed;
        if (test.outcome && shown == nullptr) shown = &test.outcome.value();
    }
    if (shown != nullptr) lines << QString() << certificateText(*shown);
    const QString details = lines.join('\n');
    if (failed == 0) {
        messageBox(tr("The connection to %1 works.").arg(server), QString(), MessageButtons::Ok,
                   MessageIcon::Information, details);
    } else if (shown == nullptr) {
        messageBox(tr("No connection to %1.").arg(server), QString(), MessageButtons::Ok,
                   MessageIcon::Warning, details);
    } else {
        messageBox(tr("%1 does not answer on %n of its three ports.", nullptr, failed).arg(server),
                   QString(), MessageButtons::Ok, MessageIcon::Warning, details);
    }
}

QString SettingsDialog::portTestLine(const provisioning::PortTest& test) {
    using provisioning::KestoPort;
    const bool works = test.outcome.ok();
    const QString reason = works ? QString() : coreText(test.outcome.error());
    QString line;
    switch (test.which) {
        case KestoPort::Login:
            line = works ? tr("Login port %1: works") : tr("Login port %1: %2");
            break;
        case KestoPort::Account:
            line = works ? tr("Account port %1: works") : tr("Account port %1: %2");
            break;
        case KestoPort::Device:
            line = works ? tr("Device port %1: works") : tr("Device port %1: %2");
            break;
    }
    line = line.arg(test.port);
    return works ? line : line.arg(reason);
}

}  // namespace velquor::app
