// CChangePassword: the "Change password" dialog, opened from the device dialog's menu, that
// sets a new password for the user who logged in.
#pragma once

#include <QString>
#include <string>

#include "app/kit/window/control_window.h"
#include "provisioning/provisioning_channel.h"

namespace velquor::app {

enum ChangePasswordDialogId : int {
    kNewPasswordEdit = 1029,
    kConfirmPasswordEdit = 1030,
    kChangePasswordOkButton = 1,
    kChangePasswordCancelButton = 2,
};

class CChangePassword : public ControlWindow {
    Q_OBJECT

public:
    // userName: the name typed at login, at most 64 bytes; it cannot be edited here.
    CChangePassword(Prompter& prompter, std::string userName,
                    provisioning::KestoEndpoint endpoint = {}, QWidget* parent = nullptr);

    const std::string& userName() const { return m_userName; }

public slots:
    // Sends the change; the dialog stays open whatever the answer.
    void OnOK();

private:
    void DoDataExchange();

    std::string m_userName;
    provisioning::KestoEndpoint m_endpoint;
    QString m_newPassword;
    QString m_confirm;
};

}  // namespace velquor::app
