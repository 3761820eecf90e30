// CDevice: the device registration dialog ("Device") of every account but the administrator's:
// Add or Delete every MAC address of a spreadsheet, and the "Change password" menu command.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "app/kesto/kesto_reporting.h"
#include "app/kit/window/control_window.h"
#include "app/results/results_view.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/mac_file.h"

class QCloseEvent;

namespace velquor::app {

class BatchPrompts;

enum DeviceDialogId : int {
    kMacFileEdit = 1029,
    kBrowseMacFileButton = 1030,
    kAddDeviceButton = 1031,
    kDeleteDeviceButton = 1032,
    kServerCombo = 1034,
    kListDevicesButton = 1035,
    kCheckMacFileButton = 1036,
    kMacAddressesEdit = 1037,
    kChangePasswordMenuCommand = 32774,
};

class CDevice : public ControlWindow {
    Q_OBJECT

public:
    // userName: the name the operator logged in with (at most 64 bytes).
    CDevice(Prompter& prompter, std::string userName, provisioning::KestoEndpoint endpoint = {},
            QWidget* parent = nullptr);

    const std::string& userName() const { return m_userName; }
    // How the password change dialog is run; tests drive it instead of exec().
    void setModalRunner(ModalRunner runner) { m_runModal = std::move(runner); }
    // Device requests a batch keeps in flight (the jobs setting).
    void setBatchJobs(std::size_t jobs) { m_batchJobs = jobs; }

    // The outcome of the last Add or Delete that read its file (with the rows of a retry of it
    // merged in), for callers that look closer.
    const std::optional<provisioning::DeviceBatchSummary>& lastSummary() const {
        return m_lastSummary;
    }

public slots:
    void OnBrowse();
    void OnAdd();
    void OnDelete();
    // The account's devices in a table, from which the selected ones can be deleted.
    void OnListDevices();
    // Every MAC address of the file checked against the server, in the same table.
    void OnCheckMacFile();
    void OnChangePassword();
    // Closing while a batch runs would pull the window from under its messages.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

    // Sends again the rows of the last Add or Delete that ended failed, unknown or not sent.
    void retryFailedRows();

private:
    // Where a batch's MAC addresses come from, how its messages name them, and whether its
    // rows and columns are a file's cells (not the order of typed or selected addresses).
    struct BatchSource {
        std::optional<provisioning::MacFile> cells;  // none: the MAC file's
        QString name;
        bool cellsOfAFile = true;
    };
    // What the results view shows: the last run, a retry merged into it.
    struct LastRun {
        QString sourceName;
        bool cellsOfAFile = true;
    };

    void DoDataExchange();
    // The MAC file refused as no MAC file while its column A, after the header row, holds MAC
    // addresses (Generate's device sheet): one question naming the count; Yes takes column A.
    // Sets m_macColumn for the command about to run.
    void askForSheetColumn(const QString& caption);
    // A device sheet read by its MAC column with a column headed server: one question naming
    // how many phones it gives their own Server text; Yes sends each its own, the others the
    // Server box's. Sets m_sheetServers for the Add about to run.
    void askForSheetServers(const QString& caption);
    // The MAC addresses box's when it holds any text, else the MAC file's.
    BatchSource sourceOfTheFields() const;
    // A batch of cells (none: the MAC file's) with the fields and settings as they are.
    provisioning::DeviceBatch batchOf(std::optional<provisioning::MacFile> cells) const;
    void runBatch(provisioning::DeviceOperation command, BatchSource source, bool retry = false);
    // A finished batch: its closing box with its own counts, then the results view of the
    // whole run (a retry's rows merged into the run it retried).
    void takeBatchSummary(BatchPrompts& prompts, provisioning::DeviceBatchSummary summary,
                          const BatchSource& source, bool retry);
    // The listing open beside this dialog, read again (its filter kept) and put back on top.
    void refreshListing();
    // refresh: into the listing open now, when there is one.
    void listDevices(bool refresh);
    // Deletes the devices selected in a listing, then lists again.
    void deleteListedDevices(const std::vector<std::string>& macs);
    void takeMacFile(const QString& path);
    // Asks before the file's devices are deregistered, in a box on asker (else this dialog);
    // false when the operator says No.
    bool confirmDeregistration(const BatchSource& source, QWidget* asker = nullptr);
    void restoreRememberedInputs();
    void rememberInputs();
    // The batch's last box with its counts, then every row in a results view.
    // Runs the check of macs (canonical) off the GUI thread, then shows its table.
    void checkDevices(std::vector<std::string> macs, const QString& source);
    // A retry's results keep the filters set on the run it continues.
    void showLastResults(ResultsView::Filters filters);

    std::string m_userName;
    provisioning::KestoEndpoint m_endpoint;
    QString m_macFilePath;
    QString m_server;
    QString m_typedMacs;
    int m_macColumn = 0;  // the MAC file's column the command reads; 0: every cell
    provisioning::SheetServers m_sheetServers;  // the phones' own Server texts the Add sends
    // Set while a Delete of listed devices runs: the listing is read again once it is done.
    bool m_listAfterBatch = false;
    ModalRunner m_runModal = execModal();
    std::size_t m_batchJobs = provisioning::kDefaultBatchJobs;
    std::optional<provisioning::DeviceBatchSummary> m_lastSummary;
    LastRun m_lastRun;
};

}  // namespace velquor::app
