// ScriptedPrompter: a Prompter that answers from queues filled in advance and records every
// question it was asked, so commands can be driven and checked without real dialogs.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
#include <vector>

#include "app/kit/prompts/prompter.h"

namespace velquor::app {

class ScriptedPrompter final : public Prompter {
public:
    enum class FileDialogKind { Open, Save, Folder };
    struct FileDialogRecord {
        FileDialogKind kind;
        QString title;
        QString filter;
        QString folder;  // where the dialog was asked to open
    };

    // Answers for the next dialogs, in order. A file dialog with nothing queued is cancelled;
    // a message box with nothing queued gets its most cautious answer (Ok, No or Cancel).
    void queueFile(const QString& path, const QString& filter = QString()) {
        m_fileAnswers.push_back(FileAnswer{false, path, filter});
    }
    void queueFileCancel() { m_fileAnswers.push_back(FileAnswer{true, QString(), QString()}); }
    void queueAnswer(Answer answer) { m_answers.push_back(answer); }
    // The next password asked for; with nothing queued, the operator declines.
    void queuePassword(const QString& password) { m_passwords.push_back(password); }
    // What every password box asked, in order.
    const QStringList& passwordQuestions() const { return m_passwordQuestions; }

    const std::vector<MessageRequest>& messages() const { return m_messages; }
    const std::vector<FileDialogRecord>& fileDialogs() const { return m_fileDialogs; }
    QStringList messageTexts() const;
    void clearRecords();

    Answer message(QWidget* owner, const MessageRequest& request) override;
    std::optional<QString> openFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder) override;
    // A queued filter is left in chosenFilter; without one, chosenFilter stays as it was.
    std::optional<QString> saveFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder,
                                    QString* chosenFilter = nullptr) override;
    std::optional<QString> existingDirectory(QWidget* owner, const QString& title,
                                             const QString& folder) override;
    std::optional<QString> password(QWidget* owner, const QString& caption,
                                    const QString& text) override;

private:
    std::optional<QString> nextFile(FileDialogRecord record, QString* chosenFilter = nullptr);

    struct FileAnswer {
        bool cancelled;
        QString path;
        QString filter;
    };
    std::deque<FileAnswer> m_fileAnswers;
    std::deque<Answer> m_answers;
    std::deque<QString> m_passwords;
    QStringList m_passwordQuestions;
    std::vector<MessageRequest> m_messages;
    std::vector<FileDialogRecord> m_fileDialogs;
};

}  // namespace velquor::app
