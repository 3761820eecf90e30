// What Serve to phones proposes when it opens: the folder, port, address, log, allowed peers,
// HTTPS certificate and key, and the phones' proof (their CA files, the credentials file, the
// sheet's passwords) of its last use, kept per user in InputHistory (the phones were told that port
// and the log holds what they fetched; the history keeps paths, never a password), and the
// encrypted copies (en/) wherever a run made them. Serving without credentials is chosen anew each
// time.
#pragma once

#include <QString>
#include <QStringList>

namespace velquor::app {

struct ServeFields {
    QString folder;
    QString port;  // as typed: digits, empty for the default
    QString address;
    QString log;
    QString allowed;
    QString tlsCertificate;  // this server's certificate and key, for HTTPS
    QString tlsKey;
    QString phoneCas;  // the phones' CA files, as typed: paths separated by ';'
    QString authFile;  // the credentials file (htdigest)
    bool sheetPasswords = false;

    bool operator==(const ServeFields&) const = default;
};

// folder/en when folder holds such a folder (a run that encrypted made it), else empty.
QString encryptedCopiesOf(const QString& folder);

// The paths of a field that holds several, separated by ';' (spaces around them dropped).
QStringList pathsOf(const QString& field);
// path added to such a field's text.
QString withPathAdded(const QString& field, const QString& path);

// The log of a folder lies beside it, never in it, where it would be served.
QString defaultLogFor(const QString& folder);

// The fields of the last use, as InputHistory keeps them (all empty when it keeps none).
ServeFields rememberedServeFields();
void rememberServeFields(const ServeFields& fields);

// What to propose for serving outputFolder (Generate's, its en/ folder when the run
// encrypted; or empty) after last: the last use's folder and log when they are of the same
// output folder or none is given, else outputFolder with its own log; the last port, address,
// allowed peers, HTTPS and proof in either case. A folder with encrypted copies gives way to them.
ServeFields proposedServeFields(const QString& outputFolder, const ServeFields& last);

}  // namespace velquor::app
