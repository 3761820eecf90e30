// kestologin: OK logs in and hands over to CUser or CDevice; Cancel closes without sending.
#include "app/kesto/kesto_login_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <atomic>
#include <memory>

#include "app/kesto/device_dialog.h"
#include "app/kesto/user_dialog.h"
#include "app/kit/inputs/input_history.h"
#include "provisioning/kesto_operations.h"

namespace velquor::app {

kestologin::kestologin(Prompter& prompter, provisioning::KestoEndpoint endpoint, QWidget* parent)
    : ControlWindow(prompter, parent), m_endpoint(std::move(endpoint)) {
    setWindowTitle(tr("Kesto login"));
    auto* user = registerControl(kLoginUserEdit, new QLineEdit(this));
    QLineEdit* password = addPasswordBox(kLoginPasswordEdit);
    for (QLineEdit* box : {user, password}) box->setMaxLength(kLoginTextLimit);
    auto* form = new QFormLayout;
    form->addRow(tr("User:"), user);
    form->addRow(tr("Password:"), password);
    layOutForm(form, addOkCancelRow(kLoginOkButton, kLoginCancelButton, [this] { OnOK(); }));
    if (InputHistory::enabled()) {
        // The remembered name is filled in; the password, never kept, takes the focus.
        user->setText(InputHistory::load().field(history_key::kLoginUser));
        if (!user->text().isEmpty()) password->setFocus();
    }
}

void kestologin::DoDataExchange() {
    m_userName = controlText(kLoginUserEdit);
    m_password = controlText(kLoginPasswordEdit);
}

void kestologin::OnOK() {
    if (isBusy()) return;
    DoDataExchange();
    // Set by the job when the server refused the name and password, not merely failed to answer.
    auto refused = std::make_shared<std::atomic<bool>>(false);
    runReportedRequest(
        tr("Logging in…"),
        [endpoint = m_endpoint, user = toBytes(m_userName), password = toBytes(m_password),
         refusals = m_refusals, refused](support::Reporter& reporter, support::ProgressSink&,
                                         std::stop_token stop) -> support::Status {
            auto role = provisioning::login(endpoint, user, password, reporter, stop, refusals);
            if (!role) {
                *refused = role.error().code == support::ErrorCode::Refused;
                return role.error();
            }
            return {};
        },
        [this, refused](bool ok) {
            if (!ok) {
                // A refused password is typed again, not corrected: the box is emptied for it.
                if (*refused) {
                    setControlText(kLoginPasswordEdit, QString());
                    control(kLoginPasswordEdit)->setFocus();
                }
                return;
            }
            InputHistory::update([this](InputHistory& history) {
                history.setField(history_key::kLoginUser, m_userName);
            });
            accept();
            emit loggedIn(m_userName);
            openFollowOnDialog();
        });
}

void kestologin::openFollowOnDialog() {
    // The role rests on the very bytes that were sent, so "Chief" is not the administrator.
    const std::string userName = toBytes(m_userName);
    if (provisioning::roleForUser(userName) == provisioning::KestoRole::UserAdministration) {
        CUser dialog(prompter(), m_endpoint, parentWidget());
        m_runModal(dialog);
    } else {
        CDevice dialog(prompter(), userName, m_endpoint, parentWidget());
        dialog.setModalRunner(m_runModal);
        dialog.setBatchJobs(m_batchJobs);
        m_runModal(dialog);
    }
}

}  // namespace velquor::app
