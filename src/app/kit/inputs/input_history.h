// InputHistory: what the windows remember between runs so a technician does not type it again —
// the folder each file dialog last opened in, the main window's paths, the MAC file, the login
// name, the server texts of the Device dialog and Serve to phones' folder, port and log — in a
// state file of its own ($XDG_STATE_HOME/velquor/state.conf). It never holds a password or a
// key: nothing here has a place for one. A damaged file is ignored with a warning; losing
// history is never fatal.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QSettings;

namespace velquor::app {

class InputHistory {
public:
    // The server texts kept for the Device dialog's list.
    static constexpr int kMaxServers = 20;

    // $XDG_STATE_HOME/velquor/state.conf, or ~/.local/state/velquor/state.conf when
    // XDG_STATE_HOME is unset or not an absolute path.
    static QString defaultStateFile();

    // Where this process keeps its history. Empty (the default) remembers nothing, so a window
    // made by a test or an embedding program never reads or writes a user's state.
    static void setStateFile(const QString& path);
    static QString stateFile();
    static bool enabled() { return !stateFile().isEmpty(); }

    // The history as the state file holds it now; empty when there is none or it is damaged.
    static InputHistory load();
    // Loads, lets change() alter the history, and writes it back when enabled. A write that
    // fails is warned about and otherwise ignored.
    static void update(const std::function<void(InputHistory&)>& change);
    // Removes everything remembered.
    static void forget();
    // Why the state file was last passed over because it is no file this user alone could have
    // written (a FIFO, one owned by another user or writable by others), once; else empty.
    static QString takeUntrustedWarning();

    QString folder(const QString& purpose) const { return m_folders.value(purpose); }
    // Where a file dialog of purpose starts, the one rule of every window: the folder that kind
    // of file was last taken from while it exists, else the folder of the first of besides (the
    // field's own path, then the files already picked for the same job: the template beside the
    // sheet) that is there (a folder itself when it is one), else empty (the working folder).
    QString startFolder(const QString& purpose, const QStringList& besides) const;
    // Remembers the folder that holds path (or path itself when it is a folder).
    void rememberFolderOf(const QString& purpose, const QString& path);
    // Loads, remembers the folder of a file dialog's choice for purpose (nothing when it was
    // cancelled or has no purpose) and writes back; returns chosen.
    static std::optional<QString> rememberChoice(const QString& purpose,
                                                 std::optional<QString> chosen);

    QString field(const QString& name) const { return m_fields.value(name); }
    // An empty value forgets the field.
    void setField(const QString& name, const QString& value);

    // Most recent first, without repeats, at most kMaxServers.
    const QStringList& servers() const { return m_servers; }
    void rememberServer(const QString& server);

private:
    // False, with a warning and history untouched, when the file at path is not a sound state
    // file; a missing file is an empty history.
    static bool read(const QString& path, InputHistory& history);
    // False when a value has a shape this program never writes.
    bool readFrom(QSettings& settings);
    void writeTo(QSettings& settings) const;

    QMap<QString, QString> m_folders;
    QMap<QString, QString> m_fields;
    QStringList m_servers;
};

// The names under which the windows keep their fields and folders.
namespace history_key {
inline const QString kInputFile = QStringLiteral("input-file");
inline const QString kTemplate = QStringLiteral("template");
inline const QString kMacAccount = QStringLiteral("mac-account");
inline const QString kOutputDir = QStringLiteral("output-dir");
inline const QString kMd5File = QStringLiteral("md5-file");
inline const QString kConfigOutput = QStringLiteral("config-output");
inline const QString kReport = QStringLiteral("report");
inline const QString kMacFile = QStringLiteral("mac-file");
// Certificates and keys (Serve to phones' HTTPS and the phones' CAs).
inline const QString kCertificate = QStringLiteral("certificate");
inline const QString kLoginUser = QStringLiteral("login-user");
// Serve to phones' last use.
inline const QString kServeFolder = QStringLiteral("serve-folder");
inline const QString kServePort = QStringLiteral("serve-port");
inline const QString kServeAddress = QStringLiteral("serve-address");
inline const QString kServeLog = QStringLiteral("serve-log");
inline const QString kServeAllowed = QStringLiteral("serve-allowed");
inline const QString kServeTlsCertificate = QStringLiteral("serve-tls-certificate");
inline const QString kServeTlsKey = QStringLiteral("serve-tls-key");
inline const QString kServePhoneCas = QStringLiteral("serve-phone-cas");
inline const QString kServeAuthFile = QStringLiteral("serve-auth-file");
inline const QString kServeSheetPasswords = QStringLiteral("serve-sheet-passwords");
}  // namespace history_key

}  // namespace velquor::app
