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
    setWindowTitle(QStringLiteral("Change password"));
    auto* form = new QFormLayout;
    for (auto [id, label] : {std::pair{kNewPasswordEdit, "New password:"},
                             std::pair{kConfirmPasswordEdit, "Confirm:"}}) {
        auto* box = registerControl(id, new QLineEdit(this));
        box->setEchoMode(QLineEdit::Password);
        form->addRow(QString::fromUtf8(label), box);
    }
    auto* ok =
        registerControl(kChangePasswordOkButton, new QPushButton(QStringLiteral("确定"), this));
    auto* cancel =
        registerControl(kChangePasswordCancelButton, new QPushButton(QStringLiteral("取消"), this));
    ok->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &CChangePassword::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
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
