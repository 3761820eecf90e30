// CUser: Add and Delete send one account request each; the dialog stays open after every message.
#include "app/kesto/user_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/kesto/kesto_reporting.h"
#include "provisioning/kesto_operations.h"

namespace velquor::app {

namespace {

QLineEdit* passwordBox(QWidget* parent) {
    auto* box = new QLineEdit(parent);
    // Shoulder-surfing at a shared provisioning bench is the risk; the box never shows text.
    box->setEchoMode(QLineEdit::Password);
    return box;
}

}  // namespace

CUser::CUser(Prompter& prompter, provisioning::KestoEndpoint endpoint, QWidget* parent)
    : ControlWindow(prompter, parent), m_endpoint(std::move(endpoint)) {
    setWindowTitle(QStringLiteral("User"));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Name:"), registerControl(kUserNameEdit, new QLineEdit(this)));
    form->addRow(QStringLiteral("Password:"),
                 registerControl(kUserPasswordEdit, passwordBox(this)));
    form->addRow(QStringLiteral("Confirm:"), registerControl(kUserConfirmEdit, passwordBox(this)));
    auto* add = registerControl(kAddUserButton, new QPushButton(QStringLiteral("Add"), this));
    auto* remove =
        registerControl(kDeleteUserButton, new QPushButton(QStringLiteral("Delete"), this));
    for (QPushButton* button : {add, remove}) button->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(add);
    buttons->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
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
    runReportedRequest(
        tr("Deleting the user…"),
        [endpoint = m_endpoint, user = toBytes(m_userName), password = toBytes(m_password)](
            support::Reporter& reporter, support::ProgressSink&, std::stop_token stop) {
            return provisioning::deleteUser(endpoint, user, password, reporter, stop);
        });
}

}  // namespace velquor::app
