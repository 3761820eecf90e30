// The fields Serve to phones proposes; see serve_fields.h.
#include "app/serve/serve_fields.h"

#include <QDir>
#include <QFileInfo>

#include "app/kit/inputs/input_history.h"

namespace velquor::app {
namespace {

const QString kEncryptedFolder = QStringLiteral("en");

// The output folder a served folder belongs to: itself, or its parent when it is its en/.
QString outputFolderOf(const QString& folder) {
    const QString clean = QDir::cleanPath(folder.trimmed());
    const QFileInfo info(clean);
    return info.fileName() == kEncryptedFolder ? info.path() : clean;
}

// A folder that has encrypted copies gives way to them.
QString preferEncrypted(const QString& folder) {
    const QString encrypted = encryptedCopiesOf(folder);
    return encrypted.isEmpty() ? folder : encrypted;
}

}  // namespace

QString encryptedCopiesOf(const QString& folder) {
    if (folder.trimmed().isEmpty()) return {};
    const QString clean = QDir::cleanPath(folder.trimmed());
    if (QFileInfo(clean).fileName() == kEncryptedFolder) return {};
    const QString encrypted = QDir(clean).filePath(kEncryptedFolder);
    return QFileInfo(encrypted).isDir() ? encrypted : QString();
}

QString defaultLogFor(const QString& folder) {
    const QFileInfo info(QDir::cleanPath(folder.trimmed()));
    if (folder.trimmed().isEmpty() || info.fileName().isEmpty()) return {};
    return info.dir().filePath(info.fileName() + QStringLiteral("-fetch-log.csv"));
}

ServeFields rememberedServeFields() {
    const InputHistory history = InputHistory::load();
    return ServeFields{
        history.field(history_key::kServeFolder), history.field(history_key::kServePort),
        history.field(history_key::kServeAddress), history.field(history_key::kServeLog),
        history.field(history_key::kServeAllowed)};
}

void rememberServeFields(const ServeFields& fields) {
    InputHistory::update([&](InputHistory& history) {
        history.setField(history_key::kServeFolder, fields.folder);
        history.setField(history_key::kServePort, fields.port);
        history.setField(history_key::kServeAddress, fields.address);
        history.setField(history_key::kServeLog, fields.log);
        history.setField(history_key::kServeAllowed, fields.allowed);
    });
}

ServeFields proposedServeFields(const QString& outputFolder, const ServeFields& last) {
    ServeFields proposed = last;
    const bool sameOutput =
        !last.folder.isEmpty() && (outputFolder.trimmed().isEmpty() ||
                                   outputFolderOf(outputFolder) == outputFolderOf(last.folder));
    if (!sameOutput) {
        proposed.folder = outputFolder;
        proposed.log = QString();
    }
    proposed.folder = preferEncrypted(proposed.folder);
    if (proposed.log.isEmpty()) proposed.log = defaultLogFor(proposed.folder);
    return proposed;
}

}  // namespace velquor::app
