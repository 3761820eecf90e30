// CUser: Add and Delete send one account request each; the dialog stays open after every message.
#include "app/kesto/user_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "app/kesto/device_table_view.h"
#include "app/kesto/kesto_reporting.h"
#include "app/kit/progress/progress_task.h"
#include "app/language/core_texts.h"
#include "provisioning/device_inventory.h"
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
    QPushButton* list = addCommandButton(kListUserDevicesButton, tr("List devices"));
    layOutForm(form, buttonRow({add, remove, list}));
    connect(add, &QPushButton::clicked, this, &CUser::OnAddUser);
    connect(remove, &QPushButton::clicked, this, &CUser::OnDeleteUser);
    connect(list, &QPushButton::clicked, this, &CUser::OnListUserDevices);
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
    using CountResult = support::Result<std::uint64_t>;
    auto job = [endpoint = m_endpoint, user = toBytes(m_userName)](support::ProgressSink&,
                                                                   std::stop_token) {
        return provisioning::accountDeviceCount(endpoint, provisioning::kAdministratorName, user);
    };
    // A server that does not list devices, or cannot say now, leaves the count unknown; the
    // question is then the one it always was.
    auto then = [this](std::optional<CountResult> result, bool cancelled) {
        if (cancelled) return;
        std::optional<std::uint64_t> devices;
        if (result && result->ok()) devices = result->value();
        confirmAndDelete(devices);
    };
    startTask(runWithProgress<CountResult>(this, tr("Deleting the user…"), std::move(job),
                                           std::move(then)));
}

void CUser::confirmAndDelete(std::optional<std::uint64_t> devices) {
    // A deleted account and its registrations cannot be brought back: ask first.
    const QString caption = coreText(provisioning::kesto_text::kDeleteUserCaption);
    const int count = devices ? static_cast<int>(std::min<std::uint64_t>(*devices, INT32_MAX)) : 0;
    const QString held = count > 0
                             ? tr("%1 has %n registered device(s).", nullptr, count).arg(m_userName)
                             : QString();
    if (messageBox(tr("Delete user %1?").arg(m_userName), caption, MessageButtons::YesNoDefaultNo,
                   MessageIcon::Question, held) != Answer::Yes) {
        return;
    }
    // Once the account is gone, nobody but the server's administrator can free its devices.
    const bool freeDevices =
        count > 0 &&
        messageBox(tr("Free the %n device(s) of %1 too?", nullptr, count).arg(m_userName), caption,
                   MessageButtons::YesNo, MessageIcon::Question,
                   tr("Yes frees them, so their phones are no longer redirected; No leaves them "
                      "registered, with no account to change them.")) == Answer::Yes;
    runReportedRequest(
        tr("Deleting the user…"),
        [endpoint = m_endpoint, user = toBytes(m_userName), password = toBytes(m_password),
         freeDevices](support::Reporter& reporter, support::ProgressSink&, std::stop_token stop) {
            if (freeDevices) {
                const support::Status freed = provisioning::freeAccountDevices(
                    endpoint, provisioning::kAdministratorName, user);
                if (!freed) return freed;
            }
            return provisioning::deleteUser(endpoint, user, password, reporter, stop);
        });
}

void CUser::OnListUserDevices() {
    if (isBusy()) return;
    DoDataExchange();
    using ListResult = support::Result<std::vector<provisioning::RegisteredDevice>>;
    const provisioning::InventoryScope scope{std::string(provisioning::kAdministratorName),
                                             toBytes(m_userName)};
    auto job = [endpoint = m_endpoint, scope](support::ProgressSink& sink, std::stop_token stop) {
        return provisioning::listDevices(provisioning::channelFetchers(endpoint, stop), scope, sink,
                                         stop);
    };
    auto then = [this, account = m_userName](std::optional<ListResult> result, bool cancelled) {
        if (cancelled || !result) return;
        if (!result->ok()) {
            messageBox(tr("The devices could not be listed."), tr("List devices"),
                       MessageButtons::Ok, MessageIcon::Warning, coreSentence(result->error()));
            return;
        }
        DeviceTableView::open(
            *this, listingTable(result->value(), account, fromBytes(m_endpoint.address)));
    };
    startTask(runWithProgress<ListResult>(this, tr("List devices"), std::move(job), std::move(then),
                                          ProgressDetail::Item));
}

}  // namespace velquor::app
