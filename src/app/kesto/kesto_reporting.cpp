// How the Kesto dialogs run the next dialog, and their titles.
#include "app/kesto/kesto_reporting.h"

#include <QDialog>

namespace velquor::app {

ModalRunner execModal() {
    return [](QDialog& dialog) {
        // Modal to the window that opened it only: the site table and Serve to phones beside
        // that window stay usable.
        dialog.setWindowModality(Qt::WindowModal);
        return dialog.exec();
    };
}

QString sessionTitle(const QString& dialogName, std::string_view userName,
                     const provisioning::KestoEndpoint& endpoint, std::uint16_t port,
                     std::uint16_t usualPort) {
    const std::string where =
        port == usualPort ? endpoint.address : settings::hostAndPort(endpoint.address, port);
    return QStringLiteral("%1 — %2 @ %3").arg(dialogName, fromBytes(userName), fromBytes(where));
}

}  // namespace velquor::app
