// CChangePassword: OK sends the change and keeps the dialog open; Cancel closes it unsent.
#include "app/kesto/change_password_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/kesto/kesto_reporting.h"
#include "provisioning/kesto_operations.h"

namespace velquor::app {

CChangePassword::CChangePassword(Prompter& prompter, std::string userName,
                                 provisioning::KestoEndpoint endpoint, QWidget* parent)
    : ControlWindow(prompter, parent),
      m_userName(std::move(userName)),
      m_endpoint(std::move(endpoint)) {
    setWindowTitle(tr("Change password"));
    auto* form = new QFormLayout;
    form->addRow(tr("New password:"), addPasswordBox(kNewPasswordEdit));
    form->addRow(tr("Confirm:"), addPasswordBox(kConfirmPasswordEdit));
    layOutForm(form, addOkCancelRow(kChangePasswordOkButton, kChangePasswordCancelButton,
                                    [this] { OnOK(); }));
}

void CChangePassword::DoDataExchange() {
    m_newPassword = controlText(kNewPasswordEdit);
    m_confirm = controlText(kConfirmPasswordEdit);
}

void CChangePassword::OnOK() {
    if (isBusy()) return;
    DoDataExchange();
    runReportedRequest(
        tr("Changing the password…"),
        [endpoint = m_endpoint, user = m_userName, password = toBytes(m_newPassword),
         confirm = toBytes(m_confirm)](support::Reporter& reporter, support::ProgressSink&,
                                       std::stop_token stop) {
            return provisioning::changePassword(endpoint, user, password, confirm, reporter, stop);
        });
}

}  // namespace velquor::app
