// CVelquorDlg: the main window — the "Encrypt Configuration", "MAC-CFG" and "MD5" groups,
// the "KESTO" menu command, and the commands behind their buttons. Its controls are laid out
// in main_window_layout.cpp, Encrypt and Decrypt run in config_file_commands.cpp.
#pragma once

#include <QHash>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/kit/progress/progress_task.h"
#include "app/kit/window/control_window.h"
#include "app/site/site_table_view.h"
#include "crypto/config_file.h"
#include "digest/digest_engine.h"
#include "generator/run/generation_job.h"
#include "provisioning/kesto_operations.h"
#include "support/reporter.h"
#include "support/result.h"

class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace velquor::app {

// Ids of the main window's controls and its menu command.
enum MainWindowId : int {
    kInputFileEdit = 1000,
    kBrowseInputButton = 1001,
    kAesKeyLabel = 1002,
    kAesKeyEdit = 1003,
    kEncryptButton = 1005,
    kTemplateLabel = 1006,
    kTemplateEdit = 1007,
    kBrowseTemplateButton = 1008,
    kMacAccountLabel = 1009,
    kMacAccountEdit = 1010,
    kBrowseMacAccountButton = 1011,
    kGenerateKeyEdit = 1013,
    kGenerateButton = 1014,
    kOutputDirEdit = 1015,
    kBrowseOutputDirButton = 1016,
    kAesKeyCheckBox = 1017,
    kDecryptButton = 1018,
    kMd5Group = 1019,
    kMd5FileLabel = 1020,
    kMd5FileEdit = 1021,
    kBrowseMd5FileButton = 1022,
    kMd5DigestEdit = 1023,
    kMd5DigestLabel = 1024,
    kGenerateMd5Button = 1025,
    kCopyButton = 1026,
    kKestoMenuCommand = 32772,
    kForgetHistoryMenuCommand = 32790,
    kSettingsMenuCommand = 32791,
    kSiteTableMenuCommand = 32792,
    kServeMenuCommand = 32793,
};

class CVelquorDlg : public ControlWindow {
    Q_OBJECT

public:
    explicit CVelquorDlg(Prompter& prompter, QWidget* parent = nullptr);
    ~CVelquorDlg() override;

    // The input file of the "Encrypt Configuration" group, as last chosen with its Browse.
    const QString& inputFilePath() const { return m_inputFilePath; }
    std::int32_t aesKeyChecked() const { return m_aesKeyChecked; }
    // Takes the state of the "AES Key" box into m_aesKeyChecked.
    void refreshAesKeyChecked();

    QSize sizeHint() const override;

public slots:
    void OnBrowseInputFile();
    void OnBrowseTemplate();
    void OnBrowseMacAccount();
    void OnBrowseMd5File();
    void OnBrowseOutputDir();
    void OnCopy();
    void OnEncrypt();
    void OnDecrypt();
    void OnGenerateConfigs();
    void OnGenerateMd5();
    void OnKestoMenu();
    // Serve to phones: the output folder (its en folder when AES Key is ticked) and the
    // MAC-ACCOUNT sheet's phones.
    void OnServeMenu();
    // Empties the remembered inputs, and the path fields that showed them.
    void OnForgetHistory();

protected:
    // Closing the window, whatever the way, remembers its path fields for the next run.
    void done(int result) override;
    // Edits the per-user Kesto settings; the next KESTO login uses them.
    void OnSettingsMenu();
    // The site table of the MAC-CFG group's sheet and output folder (and key, when ticked).
    void OnSiteTableMenu();

private:
    SiteInputs siteInputs();
    void buildControls();
    // One builder per group box; each returns the group's grid.
    QGridLayout* buildEncryptGroup();
    QGridLayout* buildMacGroup();
    QGridLayout* buildMd5Group();
    QGridLayout* addGroup(QGroupBox* group);
    QLineEdit* addField(int id);
    // Sizes in the window's original dialog units.
    QPushButton* addSizedButton(int id, const QString& text, int widthUnits, int heightUnits);
    QLabel* addLabel(int id, const QString& text);
    void buildTabOrder();
    void connectCommands();
    // A file dropped on a path field fills it as that field's Browse would.
    void enablePathDrops();
    void restoreRememberedFields();
    void browseIntoField(int fieldId, const QString& pairedFilter, const QString& purpose);
    // Where a Browse of the field starts when its kind has no folder remembered: beside its
    // own path, then beside the files picked for the same job.
    QStringList besidesOf(int fieldId) const;
    // What Browse does with the chosen path, also for a dropped one.
    void takeInputFile(const QString& path);
    void takeOutputFolder(const QString& folder);
    // The product's completion box with the counts beneath it, then every row in a results view.
    void showGenerationResults(const generator::GenerationReport& report, const QString& folder);
    template <typename Operation>
    void runConfigFileCommand(Operation operation, const QString& progressLabel);
    // The box asked before a doubtful encryption or decryption writes output.
    MessageRequest doubtQuestion(crypto::Doubt doubt, const QString& output) const;
    // Each asks once before the command goes on; false when the user says No.
    bool confirmKey(const QString& keyText);
    // Asks about the files the run would replace or leave behind; false to stop. Sets
    // whether the run removes the stale twins of its phones.
    bool confirmExistingOutputs(generator::GenerationRequest& request);
    // Names the first of the fields that is empty, for commands that cannot do without them.
    bool refuseEmptyFields(std::initializer_list<std::pair<int, QString>> fields);

    digest::CDigestEngine m_digestEngine;
    // Every login of this window counts here, so repeated refusals of a name can be explained.
    provisioning::LoginRefusals m_loginRefusals;
    // The user of the last accepted KESTO login: the site table asks the server as this user.
    QString m_kestoUser;

    QString m_inputFilePath;
    // What the remembered fields showed when the history was forgotten: kept on screen, but
    // not remembered again at closing unless changed since.
    QHash<int, QString> m_forgottenFields;
    std::int32_t m_aesKeyChecked = 0;
    QIcon m_hIcon;
    QVBoxLayout* m_groupsLayout = nullptr;
};

}  // namespace velquor::app
