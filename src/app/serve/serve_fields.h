// What Serve to phones proposes when it opens: the folder, port, address, log and allowed
// peers of its last use, kept per user in InputHistory (the phones were told that port and
// the log holds what they fetched), and the encrypted copies (en/) wherever a run made them.
#pragma once

#include <QString>

namespace velquor::app {

struct ServeFields {
    QString folder;
    QString port;  // as typed: digits, empty for the default
    QString address;
    QString log;
    QString allowed;

    bool operator==(const ServeFields&) const = default;
};

// folder/en when folder holds such a folder (a run that encrypted made it), else empty.
QString encryptedCopiesOf(const QString& folder);

// The log of a folder lies beside it, never in it, where it would be served.
QString defaultLogFor(const QString& folder);

// The fields of the last use, as InputHistory keeps them (all empty when it keeps none).
ServeFields rememberedServeFields();
void rememberServeFields(const ServeFields& fields);

// What to propose for serving outputFolder (Generate's, its en/ folder when the run
// encrypted; or empty) after last: the last use's folder and log when they are of the same
// output folder or none is given, else outputFolder with its own log; the last port, address
// and allowed peers in either case. A folder with encrypted copies gives way to them.
ServeFields proposedServeFields(const QString& outputFolder, const ServeFields& last);

}  // namespace velquor::app
