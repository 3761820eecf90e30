// InputHistory: the state file and where it lives.
//
// The file is an INI file that QSettings reads and writes (through a temporary file renamed
// over the old one, so a crash leaves the old history or the new, never half of one), small
// enough for a person to read and delete:
//
//   [General]
//   version=1
//   [folders]
//   template=/home/tech/templates
//   [fields]
//   mac-file=/home/tech/macs.xlsx
//   [servers]
//   1\server=https://prov.example/
//   size=1
//
// QSettings quotes and escapes the values, so any path a file system allows comes back as it
// went in. Every value this program writes is a single string: anything else (a list, a byte
// array, a count that is not a number) marks the file as damaged, like one QSettings cannot
// parse, one of a later version, one that is not UTF-8 or one far too large to be ours.
#include "app/kit/inputs/input_history.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QStringDecoder>
#include <QtGlobal>
#include <optional>
#include <utility>

#include "support/trusted_file.h"

namespace velquor::app {
namespace {

const QString kVersionKey = QStringLiteral("version");
const QString kVersion = QStringLiteral("1");
const QString kFoldersGroup = QStringLiteral("folders");
const QString kFieldsGroup = QStringLiteral("fields");
const QString kServersArray = QStringLiteral("servers");
const QString kServerKey = QStringLiteral("server");
// Far more than twenty servers and a dozen paths need; a bigger file is not ours.
constexpr qint64 kMaxStateFileBytes = 1 << 20;

QString& configuredStateFile() {
    static QString path;
    return path;
}

// QSettings keeps each file it has parsed in memory and parses it again only once it changes, so
// only its first reader in a process hears of a parse error. The unparsable files seen, as they
// were then, so that every later reader also ignores them.
struct FileVersion {
    qint64 size = -1;
    QDateTime modified;
    bool operator==(const FileVersion&) const = default;
};

FileVersion versionOf(const QString& path) {
    const QFileInfo info(path);
    return {info.size(), info.lastModified()};
}

QHash<QString, FileVersion>& unparsableFiles() {
    static QHash<QString, FileVersion> files;
    return files;
}

bool parsed(const QSettings& settings, const QString& path) {
    if (settings.status() == QSettings::FormatError) {
        unparsableFiles().insert(path, versionOf(path));
        return false;
    }
    const auto seen = unparsableFiles().constFind(path);
    return settings.status() == QSettings::NoError &&
           (seen == unparsableFiles().cend() || *seen != versionOf(path));
}

void warn(const QString& what) {
    qWarning("velquor: %s", qUtf8Printable(what));
}

QString damaged(const QString& path) {
    const auto text = QStringLiteral(
        "%1 is damaged; the remembered inputs are ignored and will "
        "be written anew.");
    return text.arg(path);
}

// Why the last state file read was not used when nobody should have written it as it is: a
// FIFO, a device, or a file another user could have planted.
QString& untrustedProblem() {
    static QString problem;
    return problem;
}

// What is wrong with the file before its settings are read: a FIFO would block the reader
// (and the window would never appear), a file planted by another user would fill the fields
// with his paths, QSettings would read a huge file whole and turn bytes that are not UTF-8
// into replacement characters in a path.
std::optional<QString> byteProblem(const QString& path) {
    const auto bytes = support::readTrustedFile(
        QFile::encodeName(path).toStdString(), kMaxStateFileBytes, support::FileTrust::OwnerOrRoot);
    if (!bytes) {
        const QString why = QString::fromStdString(bytes.error().message);
        if (bytes.error().code == support::ErrorCode::Refused ||
            bytes.error().code == support::ErrorCode::InvalidInput) {
            untrustedProblem() = why;
        }
        if (bytes.error().code == support::ErrorCode::TooLarge) {
            return QStringLiteral("%1 is too large to be a state file; it is ignored.").arg(path);
        }
        return QStringLiteral("%1; the remembered inputs are ignored.").arg(why);
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded =
        utf8(QByteArrayView(bytes->data(), static_cast<qsizetype>(bytes->size())));
    if (utf8.hasError()) return damaged(path);
    return std::nullopt;
}

// A path, a name or a server text: the single string this program writes for each.
std::optional<QString> textAt(const QSettings& settings, const QString& key) {
    const QVariant value = settings.value(key);
    if (value.typeId() != QMetaType::QString) return std::nullopt;
    return value.toString();
}

bool readGroup(QSettings& settings, const QString& group, QMap<QString, QString>& values) {
    settings.beginGroup(group);
    bool sound = true;
    for (const QString& key : settings.childKeys()) {
        const auto value = textAt(settings, key);
        if (!value) {
            sound = false;
            break;
        }
        values.insert(key, *value);
    }
    settings.endGroup();
    return sound;
}

void writeGroup(QSettings& settings, const QString& group, const QMap<QString, QString>& values) {
    settings.beginGroup(group);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
}

}  // namespace

QString InputHistory::defaultStateFile() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG folders are absolute paths; a relative one is ignored, as every desktop program does.
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

QString InputHistory::startFolder(const QString& purpose, const QStringList& besides) const {
    if (const QString remembered = folder(purpose);
        !remembered.isEmpty() && QFileInfo(remembered).isDir()) {
        return remembered;
    }
    for (const QString& beside : besides) {
        if (beside.trimmed().isEmpty()) continue;
        const QFileInfo info(beside);
        const QString near = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
        if (QFileInfo(near).isDir()) return near;
    }
    return {};
}

void InputHistory::rememberFolderOf(const QString& purpose, const QString& path) {
    if (path.isEmpty()) return;
    const QFileInfo info(path);
    m_folders.insert(purpose, info.isDir() ? info.absoluteFilePath() : info.absolutePath());
}

std::optional<QString> InputHistory::rememberChoice(const QString& purpose,
                                                    std::optional<QString> chosen) {
    if (chosen && !purpose.isEmpty()) {
        update([&](InputHistory& history) { history.rememberFolderOf(purpose, *chosen); });
    }
    return chosen;
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

bool InputHistory::readFrom(QSettings& settings) {
    // An empty file remembers nothing; it is not damaged.
    if (settings.allKeys().isEmpty()) return true;
    if (textAt(settings, kVersionKey) != kVersion) return false;
    if (!readGroup(settings, kFoldersGroup, m_folders)) return false;
    QMap<QString, QString> fields;
    if (!readGroup(settings, kFieldsGroup, fields)) return false;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) setField(it.key(), it.value());

    // A count: text from the file, a number when this process wrote it.
    const QVariant count = settings.value(kServersArray + QStringLiteral("/size"), 0);
    bool counted = false;
    if (count.toInt(&counted) < 0 || !counted) return false;
    const int size = settings.beginReadArray(kServersArray);
    bool sound = true;
    for (int i = 0; i < size && sound && m_servers.size() < kMaxServers; ++i) {
        settings.setArrayIndex(i);
        const auto server = textAt(settings, kServerKey);
        sound = server.has_value();
        if (sound && !server->isEmpty() && !m_servers.contains(*server)) m_servers.append(*server);
    }
    settings.endArray();
    return sound;
}

void InputHistory::writeTo(QSettings& settings) const {
    // What a later version added is not kept: it was already refused on reading.
    settings.clear();
    settings.setValue(kVersionKey, kVersion);
    writeGroup(settings, kFoldersGroup, m_folders);
    writeGroup(settings, kFieldsGroup, m_fields);
    settings.beginWriteArray(kServersArray, static_cast<int>(m_servers.size()));
    for (int i = 0; i < m_servers.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(kServerKey, m_servers[i]);
    }
    settings.endArray();
    settings.sync();
}

bool InputHistory::read(const QString& path, InputHistory& history) {
    if (!QFileInfo::exists(path)) return true;
    if (const auto problem = byteProblem(path)) {
        warn(*problem);
        return false;
    }
    QSettings settings(path, QSettings::IniFormat);
    InputHistory found;
    // QSettings parses a section when its keys are first asked for: the status comes after.
    const bool shaped = found.readFrom(settings);
    if (!parsed(settings, path) || !shaped) {
        warn(damaged(path));
        return false;
    }
    history = std::move(found);
    return true;
}

QString InputHistory::takeUntrustedWarning() {
    return std::exchange(untrustedProblem(), QString());
}

InputHistory InputHistory::load() {
    InputHistory history;
    const QString path = stateFile();
    if (!path.isEmpty()) read(path, history);
    return history;
}

void InputHistory::update(const std::function<void(InputHistory&)>& change) {
    const QString path = stateFile();
    if (path.isEmpty()) return;
    InputHistory history;
    const bool sound = read(path, history);
    change(history);
    const QString folder = QFileInfo(path).absolutePath();
    // Paths and names are nobody else's business on a shared machine.
    if (!QDir().mkpath(folder)) {
        warn(QStringLiteral("cannot create %1; the inputs are not remembered.").arg(folder));
        return;
    }
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // QSettings would merge into a damaged file and keep its parse error as the status of the
    // write: start from nothing.
    if (!sound) QFile::remove(path);
    unparsableFiles().remove(path);
    QSettings settings(path, QSettings::IniFormat);
    history.writeTo(settings);
    if (settings.status() != QSettings::NoError) {
        warn(QStringLiteral("the inputs are not remembered: cannot write %1").arg(path));
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
