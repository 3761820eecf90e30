// ServeDialog: the Serve to phones window. It serves a folder (Generate's output, its en
// folder when the run encrypted) to the phones on a chosen port, gives the URLs of this
// machine to put in the phones (with Copy URL), and shows every phone of the site live:
// waiting, fetched, or a problem, with the kind shown and a filter box, the counts in its
// title, Copy, Save and Stop. It serves over HTTPS with this server's certificate and key; the
// phones prove themselves with a certificate issued under the phones' CA files, with a
// password of the credentials file or of the sheet's http-password column; or files are
// served without credentials, knowingly. It proposes the folder, port,
// address, log, allowed peers and proof of its last use (ServeFields), and asks before it
// serves plain files whose encrypted copies are there. Lines the server had to drop show as a
// warning, with the reason. Closing it stops serving. It does not block the main window.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/serve/serve_fields.h"
#include "serve/server/phone_server.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class QTimer;

namespace velquor::app {

class ControlWindow;
class Prompter;
class RowTableActions;
class ServePhonesFilter;
class ServePhonesModel;

class ServeDialog final : public QDialog {
    Q_OBJECT

public:
    ServeDialog(Prompter& prompter, QWidget* parent = nullptr);
    ~ServeDialog() override;

    // Opens the window beside owner with the fields proposed for Generate's output folder
    // (proposedServeFields) and the sheet filled in, or raises the one open already (a running
    // server is left as it is).
    static ServeDialog* open(ControlWindow& owner, const QString& outputFolder,
                             const QString& sheet, const mac::FileNamePattern& fileName);

    // The folder, with the log beside it.
    void setFolder(const QString& folder);
    ServeFields fields() const;
    void setFields(const ServeFields& fields);
    void setSheet(const QString& sheet);
    // The phones of the log proposed, as its last use left them, shown before serving starts.
    void showLogOfLastTime();
    // How the phones' files are named (the file-name setting Generate names them by).
    void setFileName(const mac::FileNamePattern& fileName) { m_fileName = fileName; }
    bool isServing() const { return m_server != nullptr; }
    // Told the phones' statuses after the requests that changed them: at most once a refresh
    // tick however many came, so a boot storm costs a few calls a second, not one per fetch.
    using PhonesListener = std::function<void(const std::vector<serve::PhoneStatus>&)>;
    void setPhonesListener(PhonesListener listener) { m_phonesListener = std::move(listener); }
    const std::vector<serve::PhoneStatus>& phones() const { return m_phones; }
    std::uint16_t port() const;

    QLineEdit* folderEdit() const { return m_folder; }
    QLineEdit* allowEdit() const { return m_allow; }
    QLineEdit* addressEdit() const { return m_address; }
    QLineEdit* logEdit() const { return m_log; }
    QLineEdit* sheetEdit() const { return m_sheet; }
    QLineEdit* tlsCertificateEdit() const { return m_tlsCertificate; }
    QLineEdit* tlsKeyEdit() const { return m_tlsKey; }
    QLineEdit* phoneCasEdit() const { return m_phoneCas; }
    QPushButton* addPhoneCaButton() const { return m_addPhoneCa; }
    QLineEdit* authFileEdit() const { return m_authFile; }
    QCheckBox* sheetPasswordsBox() const { return m_sheetPasswords; }
    QCheckBox* noAuthBox() const { return m_noAuth; }
    // What serving with the fields as they are would ask of the server.
    serve::ServeOptions proofOptions() const;
    QSpinBox* portBox() const { return m_port; }
    QSpinBox* tftpPortBox() const { return m_tftpPort; }
    QComboBox* shownBox() const { return m_shown; }
    QComboBox* urlBox() const { return m_urls; }
    QTableView* table() const { return m_table; }
    RowTableActions* rowActions() const { return m_actions; }
    QPushButton* serveButton() const { return m_serve; }
    QPushButton* stopButton() const { return m_stop; }
    QLabel* warningLabel() const { return m_warning; }
    QLabel* droppedLabel() const { return m_dropped; }

public slots:
    // Starts serving with the fields as they are; a box says why it cannot.
    bool startServing();
    void stopServing();
    // Takes the server's latest statuses when a request came since the last look.
    void refresh();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildForm();
    QLayout* buildHttpsRow();
    QLayout* buildProofRow();
    // A button that chooses a file for field (or adds one to the files it holds), disabled
    // with the fields while serving.
    enum class Choosing { OneFile, AddsOne };
    QPushButton* chooserFor(QLineEdit* field, const QString& title, const QString& filter,
                            Choosing choosing);
    // The sheet's passwords can be chosen only with a sheet, and not while serving.
    void updateSheetPasswords();
    void setFieldsEnabled(bool enabled);
    void updateTitle();
    void refuse(const QString& text, const QString& details);
    // Where the folder has encrypted copies, asks which to serve: nullopt when cancelled, else
    // whether plain files are served knowingly (the folder field then names what is served).
    std::optional<bool> confirmPlainFiles();
    void showDropped();

    Prompter& m_prompter;
    std::unique_ptr<serve::PhoneServer> m_server;
    mac::FileNamePattern m_fileName;
    PhonesListener m_phonesListener;
    std::vector<serve::PhoneStatus> m_phones;
    serve::SiteCounts m_counts;
    bool m_hasSite = false;
    std::uint64_t m_seenRequests = UINT64_MAX;

    QLineEdit* m_folder = nullptr;
    QLineEdit* m_sheet = nullptr;
    QSpinBox* m_port = nullptr;
    QSpinBox* m_tftpPort = nullptr;  // 0: no TFTP
    QLineEdit* m_allow = nullptr;
    QLineEdit* m_address = nullptr;
    QLineEdit* m_log = nullptr;
    QLineEdit* m_tlsCertificate = nullptr;
    QLineEdit* m_tlsKey = nullptr;
    QLineEdit* m_phoneCas = nullptr;
    QPushButton* m_addPhoneCa = nullptr;
    QLineEdit* m_authFile = nullptr;
    QCheckBox* m_sheetPasswords = nullptr;
    QCheckBox* m_noAuth = nullptr;
    QPushButton* m_serve = nullptr;
    QComboBox* m_urls = nullptr;
    QPushButton* m_copyUrl = nullptr;
    QLabel* m_warning = nullptr;
    QLabel* m_dropped = nullptr;
    QLabel* m_countsLabel = nullptr;
    QComboBox* m_shown = nullptr;
    ServePhonesModel* m_model = nullptr;
    ServePhonesFilter* m_filter = nullptr;
    QTableView* m_table = nullptr;
    RowTableActions* m_actions = nullptr;
    QPushButton* m_stop = nullptr;
    QTimer* m_timer = nullptr;
    QList<QWidget*> m_fields;
};

}  // namespace velquor::app
