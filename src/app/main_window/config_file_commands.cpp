// CVelquorDlg's "Encrypt" and "Decrypt": the questions asked before a byte is written, then the
// file encrypted or decrypted off the GUI thread.
#include <QFileInfo>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "app/kit/inputs/input_history.h"
#include "app/kit/prompts/gui_thread_prompts.h"
#include "app/main_window/file_filters.h"
#include "app/main_window/velquor_dlg.h"
#include "crypto/aes.h"
#include "crypto/config_file.h"

namespace velquor::app {
namespace {

// Passes a job's progress on under a name of our choosing: the core says what it is doing
// ("encrypting"), the dialog shows which file it is doing it to.
class NamedProgress final : public support::ProgressSink {
public:
    NamedProgress(support::ProgressSink& inner, std::string name)
        : m_inner(inner), m_name(std::move(name)) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        m_inner.progress(done, total, m_name);
    }

private:
    support::ProgressSink& m_inner;
    std::string m_name;
};

}  // namespace

void CVelquorDlg::OnEncrypt() {
    runConfigFileCommand(&crypto::EncryptConfigFile, tr("Encrypting…"));
}

void CVelquorDlg::OnDecrypt() {
    runConfigFileCommand(&crypto::DecryptConfigFile, tr("Decrypting…"));
}

bool CVelquorDlg::confirmKey(const QString& keyText) {
    // Files made with the all-zero key, or with a long key's first 16 bytes, must still open,
    // so both are allowed; but never unasked.
    if (keyText.isEmpty()) {
        return messageBox(tr("The AES key is empty: the all-zero key will be used."), QString(),
                          MessageButtons::YesNoDefaultNo, MessageIcon::Warning) == Answer::Yes;
    }
    const auto bytes = static_cast<std::size_t>(keyText.toUtf8().size());
    if (bytes <= crypto::kKeyBytes) return true;
    return messageBox(tr("The AES key is %1 bytes long: only its first %2 bytes are used.")
                          .arg(bytes)
                          .arg(crypto::kKeyBytes),
                      QString(), MessageButtons::YesNoDefaultNo, MessageIcon::Warning,
                      tr("Whatever is given the whole key (a phone, a program) will not open the "
                         "files. Use the first %1 bytes anyway?")
                          .arg(crypto::kKeyBytes)) == Answer::Yes;
}

template <typename Operation>
void CVelquorDlg::runConfigFileCommand(Operation operation, const QString& progressLabel) {
    if (isBusy()) return;
    if (m_inputFilePath.isEmpty()) {
        messageBox(tr("No input file chosen: choose one with the Browse button first."), QString(),
                   MessageButtons::Ok, MessageIcon::Warning);
        return;
    }
    if (!confirmKey(controlText(kAesKeyEdit))) return;
    const std::optional<QString> output = chooseSaveFile(
        configFileFilter().toStdString(), QString(), history_key::kConfigOutput, {m_inputFilePath});
    if (!output) return;

    const std::string inputPath = localPath(m_inputFilePath);
    const std::string outputPath = localPath(*output);
    const std::string keyText = controlText(kAesKeyEdit).toStdString();
    // A wrong key decrypts without an error, to noise, and a second encryption of a file
    // gives one that decrypts to the first: both are asked about before a byte is written.
    auto prompts = std::make_shared<GuiThreadPrompts>(*this);
    const MessageRequest wrongKey = doubtQuestion(crypto::Doubt::WrongKey, *output);
    const MessageRequest encryptedAlready = doubtQuestion(crypto::Doubt::EncryptedAlready, *output);
    runReportedRequest(
        progressLabel,
        [operation, inputPath, outputPath, keyText, prompts, wrongKey, encryptedAlready](
            support::Reporter& reporter, support::ProgressSink& sink, std::stop_token stop) {
            NamedProgress named(sink, inputPath);
            crypto::ConfigFileOptions options;
            options.progress = &named;
            options.stop = stop;
            bool declined = false;
            options.whenDoubtful = [&](crypto::Doubt doubt) {
                const MessageRequest& question =
                    doubt == crypto::Doubt::WrongKey ? wrongKey : encryptedAlready;
                declined = prompts->ask(question) != Answer::Yes;
                return !declined;
            };
            support::Status status = operation(inputPath, outputPath, keyText, reporter, options);
            // No is the user's answer: nothing more to say.
            if (!status && declined) {
                return support::Status(
                    support::makeError(support::ErrorCode::Cancelled, status.error().message));
            }
            return status;
        },
        [this](bool ok) {
            if (ok) messageBox(tr("Success !"));
        },
        ProgressDetail::Path);
}

MessageRequest CVelquorDlg::doubtQuestion(crypto::Doubt doubt, const QString& output) const {
    MessageRequest question;
    question.text =
        doubt == crypto::Doubt::WrongKey
            ? tr("The result does not look like a configuration file: the key may be wrong. "
                 "Write it anyway?")
            : tr("%1 does not look like a configuration file: it may be encrypted already. "
                 "Encrypt it anyway?")
                  .arg(m_inputFilePath);
    question.caption = applicationTitle();
    question.buttons = MessageButtons::YesNoDefaultNo;
    question.icon = MessageIcon::Warning;
    if (QFileInfo::exists(output)) {
        question.details = tr("Yes replaces %1; No keeps it as it is.").arg(output);
    }
    return question;
}

}  // namespace velquor::app
