// CUser: the administrator's dialog ("User") that adds and deletes user accounts.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "app/kit/window/control_window.h"
#include "provisioning/provisioning_channel.h"

class QLineEdit;

namespace velquor::app {

enum UserDialogId : int {
    kUserNameEdit = 1038,
    kUserPasswordEdit = 1035,
    kUserConfirmEdit = 1039,
    kAddUserButton = 1036,
    kDeleteUserButton = 1037,
    kListUserDevicesButton = 1040,
};

class CUser : public ControlWindow {
    Q_OBJECT

public:
    explicit CUser(Prompter& prompter, provisioning::KestoEndpoint endpoint = {},
                   QWidget* parent = nullptr);

public slots:
    void OnAddUser();
    void OnDeleteUser();
    // The named user's devices, in the device table.
    void OnListUserDevices();

private:
    void DoDataExchange();
    // Asks before the user is deleted, saying how many devices it has (devices: unknown when
    // the server does not list them), then deletes it, freeing them first when asked to.
    void confirmAndDelete(std::optional<std::uint64_t> devices);

    provisioning::KestoEndpoint m_endpoint;
    QString m_userName;
    QString m_password;
    QString m_confirm;
};

}  // namespace velquor::app
