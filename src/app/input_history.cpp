// InputHistory: the state file, its text form and where it lives.
//
// The file is small line-based text a person can read and delete:
//
//   [velquor-state]
//   version=1
//   [folders]
//   template=/home/tech/templates
//   [fields]
//   mac-file=/home/tech/macs.xlsx
//   [servers]
//   server=https://prov.example/
//
// Values are escaped (\\, \n, \r, \t, \xHH for other control characters) so that any path a
// file system allows comes back as it went in. Sections and keys of a later version are
// skipped; anything that is not a section, a key=value line, a comment or blank marks the file
// as damaged.
#include "app/input_history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QtGlobal>
#include <span>

#include "support/atomic_file.h"

namespace velquor::app {
namespace {

constexpr const char* kHeaderSection = "velquor-state";
constexpr const char* kVersion = "1";
// Far more than twenty servers and a dozen paths need; a bigger file is not ours.
constexpr qint64 kMaxStateFileBytes = 1 << 20;

QString& configuredStateFile() {
    static QString path;
    return path;
}

QByteArray escaped(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// false on a broken escape.
bool unescaped(QByteArrayView text, QByteArray& out) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                bool ok = false;
                const int byte = text.sliced(i + 1, 2).toByteArray().toInt(&ok, 16);
                if (!ok) return false;
                out += static_cast<char>(byte);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

bool isKey(QByteArrayView key) {
    if (key.isEmpty()) return false;
    for (const char c : key) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

void warn(const QString& what) {
    qWarning("velquor: %s", qUtf8Printable(what));
}

void appendSection(QByteArray& text, const char* name, const QMap<QString, QString>& values) {
    text += QByteArray("[") + name + "]\n";
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        text += it.key().toUtf8() + '=' + escaped(it.value()) + '\n';
    }
}

}  // namespace

QString InputHistory::defaultStateFile() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The base directory specification says to ignore a relative path.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/velquor/state.conf");
}

void InputHistory::setStateFile(const QString& path) {
    configuredStateFile() = path;
}

QString InputHistory::stateFile() {
    return configuredStateFile();
}

void InputHistory::rememberFolderOf(const QString& purpose, const QString& path) {
    if (path.isEmpty()) return;
    const QFileInfo info(path);
    m_folders.insert(purpose, info.isDir() ? info.absoluteFilePath() : info.absolutePath());
}

void InputHistory::setField(const QString& name, const QString& value) {
    if (value.isEmpty()) {
        m_fields.remove(name);
    } else {
        m_fields.insert(name, value);
    }
}

void InputHistory::rememberServer(const QString& server) {
    if (server.isEmpty()) return;
    m_servers.removeAll(server);
    m_servers.prepend(server);
    while (m_servers.size() > kMaxServers) m_servers.removeLast();
}

QByteArray InputHistory::serialize() const {
    QByteArray text =
        "# Velquor: inputs remembered between runs (paths, user name, server texts; never a\n"
        "# password or a key). Deleting this file only makes the windows forget them.\n";
    text += QByteArray("[") + kHeaderSection + "]\nversion=" + kVersion + '\n';
    appendSection(text, "folders", m_folders);
    appendSection(text, "fields", m_fields);
    text += "[servers]\n";
    for (const QString& server : m_servers) text += "server=" + escaped(server) + '\n';
    return text;
}

bool InputHistory::parse(const QByteArray& text, InputHistory& history) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded = utf8(text);
    if (utf8.hasError()) return false;

    InputHistory parsed;
    QByteArray section;
    bool versionSeen = false;
    for (const QByteArray& rawLine : text.split('\n')) {
        QByteArrayView line(rawLine);
        if (line.endsWith('\r')) line.chop(1);
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']') || line.size() < 3) return false;
            section = line.sliced(1, line.size() - 2).toByteArray();
            // Nothing counts before the file has said whose it is.
            if (!versionSeen && section != kHeaderSection) return false;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0 || section.isEmpty()) return false;
        const QByteArrayView key = line.first(equals);
        QByteArray value;
        if (!isKey(key) || !unescaped(line.sliced(equals + 1), value)) return false;
        const QString valueText = QString::fromUtf8(value);
        if (section == kHeaderSection) {
            if (key == "version") {
                if (value != kVersion) return false;
                versionSeen = true;
            }
        } else if (!versionSeen) {
            return false;
        } else if (section == "folders") {
            parsed.m_folders.insert(QString::fromUtf8(key.toByteArray()), valueText);
        } else if (section == "fields") {
            parsed.setField(QString::fromUtf8(key.toByteArray()), valueText);
        } else if (section == "servers" && key == "server") {
            if (!valueText.isEmpty() && !parsed.m_servers.contains(valueText) &&
                parsed.m_servers.size() < kMaxServers) {
                parsed.m_servers.append(valueText);
            }
        }
    }
    if (!versionSeen) return false;
    history = std::move(parsed);
    return true;
}

InputHistory InputHistory::load() {
    InputHistory history;
    const QString path = stateFile();
    if (path.isEmpty()) return history;
    QFile file(path);
    if (!file.exists()) return history;
    if (file.size() > kMaxStateFileBytes) {
        warn(QStringLiteral("%1 is too large to be a state file; it is ignored.").arg(path));
        return history;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        warn(QStringLiteral("cannot read %1 (%2); the remembered inputs are ignored.")
                 .arg(path, file.errorString()));
        return history;
    }
    if (!parse(file.read(kMaxStateFileBytes), history)) {
        warn(QStringLiteral("%1 is damaged; the remembered inputs are ignored and will be "
                            "written anew.")
                 .arg(path));
        return InputHistory();
    }
    return history;
}

void InputHistory::update(const std::function<void(InputHistory&)>& change) {
    const QString path = stateFile();
    if (path.isEmpty()) return;
    InputHistory history = load();
    change(history);
    const QString folder = QFileInfo(path).absolutePath();
    // Paths and names are nobody else's business on a shared machine.
    if (!QDir().mkpath(folder)) {
        warn(QStringLiteral("cannot create %1; the inputs are not remembered.").arg(folder));
        return;
    }
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray text = history.serialize();
    const support::Status written = support::writeFileAtomically(
        QFile::encodeName(path).toStdString(),
        std::as_bytes(std::span<const char>(text.constData(), static_cast<size_t>(text.size()))));
    if (!written) {
        warn(QStringLiteral("the inputs are not remembered: %1")
                 .arg(QString::fromStdString(written.error().message)));
    }
}

void InputHistory::forget() {
    const QString path = stateFile();
    if (path.isEmpty() || !QFile::exists(path)) return;
    if (!QFile::remove(path)) {
        // A file that cannot be removed can perhaps still be emptied.
        update([](InputHistory& history) { history = InputHistory(); });
    }
}

}  // namespace velquor::app
