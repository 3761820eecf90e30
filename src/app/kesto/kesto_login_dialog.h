// kestologin: the "Kesto login" dialog opened by the main window's KESTO menu. An accepted login
// closes it and opens user administration for the administrator, device registration otherwise.
#pragma once

#include <QString>

#include "app/kesto/kesto_reporting.h"
#include "app/kit/window/control_window.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/provisioning_channel.h"

namespace velquor::app {

enum KestoLoginId : int {
    kLoginUserEdit = 1027,
    kLoginPasswordEdit = 1028,
    kLoginOkButton = 1,
    kLoginCancelButton = 2,
};

// Both boxes take at most this many characters, as the fields they fill hold 64 bytes.
inline constexpr int kLoginTextLimit = 64;

class kestologin : public ControlWindow {
    Q_OBJECT

public:
    explicit kestologin(Prompter& prompter, provisioning::KestoEndpoint endpoint = {},
                        QWidget* parent = nullptr);

    // How the follow-on dialogs are run (and, through the device dialog, the password change);
    // tests drive them instead of exec().
    void setModalRunner(ModalRunner runner) { m_runModal = std::move(runner); }
    // Device requests a batch keeps in flight (the jobs setting), handed to the device dialog.
    void setBatchJobs(std::size_t jobs) { m_batchJobs = jobs; }
    // Where refusals are counted across logins; owned by the caller, which outlives the dialog.
    void setLoginRefusals(provisioning::LoginRefusals* refusals) { m_refusals = refusals; }

public slots:
    // Sends the login; a refusal keeps the dialog open with both texts as typed.
    void OnOK();

signals:
    // The server accepted userName's login (before the follow-on dialog opens): the window's
    // other tables may use it without asking for the password again.
    void loggedIn(const QString& userName);

private:
    void DoDataExchange();
    void openFollowOnDialog();

    provisioning::KestoEndpoint m_endpoint;
    ModalRunner m_runModal = execModal();
    std::size_t m_batchJobs = provisioning::kDefaultBatchJobs;
    provisioning::LoginRefusals* m_refusals = nullptr;
    QString m_userName;
    QString m_password;
};

}  // namespace velquor::app
