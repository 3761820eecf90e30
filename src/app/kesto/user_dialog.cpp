// CUser: Add and Delete send one account request each; the dialog stays open after every message.
#include "app/kesto/user_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/core_texts.h"
#include "app/kesto/kesto_reporting.h"
#include "provisioning/kesto_operations.h"

namespace velquor::app {

CUser::CUser(Prompter& prompter, provisioning::KestoEndpoint endpoint, QWidget* parent)
    : ControlWindow(prompter, parent), m_endpoint(std::move(endpoint)) {
    setWindowTitle(sessionTitle(tr("User"), provisioning::kAdministratorName, m_endpoint,
                                m_endpoint.accountPort, wire::kAccountPort));
    auto* form = new QFormLayout;
    form->addRow(tr("Name:"), registerControl(kUserNameEdit, new QLineEdit(this)));
    form->addRow(tr("Password:"), addPasswordBox(kUserPasswordEdit));
    form->addRow(tr("Confirm:"), addPasswordBox(kUserConfirmEdit));
    QPushButton* add = addCommandButton(kAddUserButton, tr("Add"));
    QPushButton* remove = addCommandButton(kDeleteUserButton, tr("Delete"));
    layOutForm(form, buttonRow({add, remove}));
    connect(add, &QPushButton::clicked, this, &CUser::OnAddUser);
    connect(remove, &QPushButton::clicked, this, &CUser::OnDeleteUser);
}

void CUser::DoDataExchange() {
    m_userName = controlText(kUserNameEdit);
    m_password = controlText(kUserPasswordEdit);
    m_confirm = controlText(kUserConfirmEdit);
}

void CUser::OnAddUser() {
    if (isBusy()) return;
    DoDataExchange();
    runReportedRequest(
        tr("Adding the user…"),
        [endpoint = m_endpoint, user = toBytes(m_userName), password = toBytes(m_password),
         confirm = toBytes(m_confirm)](support::Reporter& reporter, support::ProgressSink&,
                                       std::stop_token stop) {
            return provisioning::addUser(endpoint, user, password, confirm, reporter, stop);
        });
}

void CUser::OnDeleteUser() {
    if (isBusy()) return;
    DoDataExchange();
    // A deleted account and its registrations cannot be brought back: ask first.
    const QString question = tr("Delete user %1?").arg(m_userName);
    if (messageBox(question, coreText(provisioning::kesto_text::kDeleteUserCaption),
                   MessageButtons::YesNoDefaultNo, MessageIcon::Question) != Answer::Yes) {
        return;
    }
    runReportedRequest(
        tr("Deleting the user…"),
        [endpoint = m_endpoint, user = toBytes(m_userName), password = toBytes(m_password)](
            support::Reporter& reporter, support::ProgressSink&, std::stop_token stop) {
            return provisioning::deleteUser(endpoint, user, password, reporter, stop);
        });
}

}  // namespace velquor::app
