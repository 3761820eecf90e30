// The fields Serve to phones proposes; see serve_fields.h.
#include "app/serve/serve_fields.h"

#include <QDir>
#include <QFileInfo>

#include "app/kit/inputs/input_history.h"

namespace velquor::app {
namespace {

const QString kEncryptedFolder = QStringLiteral("en");
const QString kYes = QStringLiteral("yes");

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

QStringList pathsOf(const QString& field) {
    QStringList paths;
    for (const QString& path : field.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!path.trimmed().isEmpty()) paths << path.trimmed();
    return paths;
}

QString withPathAdded(const QString& field, const QString& path) {
    QStringList paths = pathsOf(field);
    if (!paths.contains(path)) paths << path;
    return paths.join(QStringLiteral("; "));
}

QString defaultLogFor(const QString& folder) {
    const QFileInfo info(QDir::cleanPath(folder.trimmed()));
    if (folder.trimmed().isEmpty() || info.fileName().isEmpty()) return {};
    return info.dir().filePath(info.fileName() + QStringLiteral("-fetch-log.csv"));
}

// Each field with the name the history keeps it under.
template <typename Visit>
void forEachKept(ServeFields& fields, Visit visit) {
    visit(history_key::kServeFolder, fields.folder);
    visit(history_key::kServePort, fields.port);
    visit(history_key::kServeAddress, fields.address);
    visit(history_key::kServeLog, fields.log);
    visit(history_key::kServeAllowed, fields.allowed);
    visit(history_key::kServeTlsCertificate, fields.tlsCertificate);
    visit(history_key::kServeTlsKey, fields.tlsKey);
    visit(history_key::kServePhoneCas, fields.phoneCas);
    visit(history_key::kServeAuthFile, fields.authFile);
}

ServeFields rememberedServeFields() {
    const InputHistory history = InputHistory::load();
    ServeFields fields;
    forEachKept(fields, [&](const QString& key, QString& field) { field = history.field(key); });
    fields.sheetPasswords = history.field(history_key::kServeSheetPasswords) == kYes;
    return fields;
}

void rememberServeFields(const ServeFields& fields) {
    ServeFields kept = fields;
    InputHistory::update([&](InputHistory& history) {
        forEachKept(kept,
                    [&](const QString& key, QString& field) { history.setField(key, field); });
        history.setField(history_key::kServeSheetPasswords,
                         fields.sheetPasswords ? kYes : QString());
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
