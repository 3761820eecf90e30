// SettingsDialog: the per-user Kesto settings (server address, ports, CA file, time-outs, device
// requests at once) and the window's language as the menu item "Settings" shows them. A field left
// empty is not written, so the system file or the built-in value applies; each field shows that
// value greyed until something is typed. "Test connection" makes one TLS handshake with what the
// fields say, off the GUI thread, and shows the server certificate's name and expiry, or why there
// is none.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "app/kit/window/control_window.h"
#include "provisioning/provisioning_channel.h"
#include "settings/kesto_settings.h"

class QComboBox;
class QFormLayout;
class QLineEdit;

namespace velquor::app {

enum SettingsDialogId : int {
    kSettingsAddressEdit = 1201,
    kSettingsPortsEdit = 1202,
    kSettingsCaFileEdit = 1203,
    kSettingsBrowseCaButton = 1204,
    kSettingsConnectTimeoutEdit = 1205,
    kSettingsExchangeTimeoutEdit = 1206,
    kSettingsJobsEdit = 1207,
    kSettingsTestButton = 1208,
    kSettingsMacFormEdit = 1209,
    kSettingsLanguageCombo = 1210,
    kSettingsFileNameEdit = 1211,
    kSettingsOkButton = 1,
    kSettingsCancelButton = 2,
};

class SettingsDialog : public ControlWindow {
    Q_OBJECT

public:
    explicit SettingsDialog(Prompter& prompter,
                            settings::SettingsPaths paths = settings::defaultSettingsPaths(),
                            QWidget* parent = nullptr);

    // The values as typed, checked; nullopt after a box that names the field in error.
    std::optional<settings::KestoValues> typedValues();
    // What a login would use if the fields were saved as they stand.
    settings::KestoSettings settingsAsTyped(const settings::KestoValues& typed) const;

public slots:
    // Saves the per-user file and closes; a wrong value or a failed save keeps the dialog open.
    void OnOK();
    void OnBrowseCaFile();
    void OnTestConnection();

private:
    void buildControls();
    void loadFiles();
    void showInheritedValues();
    // One box for the three ports' handshakes: each port with its result, then the
    // certificate when one port answered.
    void showPortTests(const QString& server, const std::vector<provisioning::PortTest>& tests);
    static QString portTestLine(const provisioning::PortTest& test);
    void buildLanguageChoice(QFormLayout* form);
    void showLanguage(const settings::KestoValues& user);
    // The language chosen, when it differs from what the system file or the default says.
    std::optional<std::string> chosenLanguage() const;

    settings::SettingsPaths m_paths;
    // The system file's values (the per-user file's are in the fields).
    settings::KestoValues m_system;
    // The per-user file's language, when it has one.
    std::optional<std::string> m_userLanguage;
};

}  // namespace velquor::app
