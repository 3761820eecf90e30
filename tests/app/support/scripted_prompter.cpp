// ScriptedPrompter: queued answers and a record of every question.
#include "scripted_prompter.h"

#include <QStringList>

namespace velquor::app {
namespace {

Answer mostCautiousAnswer(MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::Ok:
            return Answer::Ok;
        case MessageButtons::YesNo:
        case MessageButtons::YesNoDefaultNo:
        case MessageButtons::YesNoYesToAllNoToAll:
            return Answer::No;
        case MessageButtons::OkCancel:
        case MessageButtons::YesNoCancel:
            return Answer::Cancel;
        case MessageButtons::RetryStop:
            return Answer::Stop;
        case MessageButtons::ContinueCancel:
        case MessageButtons::ShowRowsContinueCancel:
        case MessageButtons::RemoveKeepCancel:
        case MessageButtons::ServeEncryptedOrPlain:
            return Answer::Cancel;
    }
    return Answer::Cancel;
}

}  // namespace

QStringList ScriptedPrompter::messageTexts() const {
    QStringList texts;
    for (const MessageRequest& request : m_messages) texts << request.text;
    return texts;
}

void ScriptedPrompter::clearRecords() {
    m_messages.clear();
    m_fileDialogs.clear();
}

Answer ScriptedPrompter::message(QWidget*, const MessageRequest& request) {
    m_messages.push_back(request);
    if (m_answers.empty()) return mostCautiousAnswer(request.buttons);
    const Answer answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

std::optional<QString> ScriptedPrompter::openFile(QWidget*, const QString& title,
                                                  const QString& filter, const QString& folder) {
    return nextFile(FileDialogRecord{FileDialogKind::Open, title, filter, folder});
}

std::optional<QString> ScriptedPrompter::saveFile(QWidget*, const QString& title,
                                                  const QString& filter, const QString& folder,
                                                  QString* chosenFilter) {
    return nextFile(FileDialogRecord{FileDialogKind::Save, title, filter, folder}, chosenFilter);
}

std::optional<QString> ScriptedPrompter::existingDirectory(QWidget*, const QString& title,
                                                           const QString& folder) {
    return nextFile(FileDialogRecord{FileDialogKind::Folder, title, QString(), folder});
}

std::optional<QString> ScriptedPrompter::password(QWidget*, const QString&, const QString& text) {
    m_passwordQuestions << text;
    if (m_passwords.empty()) return std::nullopt;
    QString next = m_passwords.front();
    m_passwords.pop_front();
    return next;
}

std::optional<QString> ScriptedPrompter::nextFile(FileDialogRecord record, QString* chosenFilter) {
    m_fileDialogs.push_back(std::move(record));
    if (m_fileAnswers.empty()) return std::nullopt;
    const FileAnswer answer = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    if (answer.cancelled) return std::nullopt;
    if (chosenFilter != nullptr && !answer.filter.isEmpty()) *chosenFilter = answer.filter;
    return answer.path;
}

}  // namespace velquor::app
