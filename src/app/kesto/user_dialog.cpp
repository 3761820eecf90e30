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
    form->addRow(QStringLiteral("Password:"), registerControl(kUserPasswordEdit, passwordBox(this)));
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
    DoDataExchange();
    WindowReporter reporter(*this);
    (void)provisioning::addUser(m_endpoint, toBytes(m_userName), toBytes(m_password),
                                toBytes(m_confirm), reporter);
}

void CUser::OnDeleteUser() {
    DoDataExchange();
    WindowReporter reporter(*this);
    (void)provisioning::deleteUser(m_endpoint, toBytes(m_userName), toBytes(m_password),
                                   reporter);
}

}  // namespace velquor::app
