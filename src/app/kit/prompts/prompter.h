// Prompter: the modal questions a window asks its user (message boxes and the file, save
// and folder dialogs), behind one interface so that tests can answer them from a script.
// QtPrompter asks for real; the tests have a scripted one that answers from queues.
#pragma once

#include <QString>
#include <optional>
#include <string_view>

class QWidget;

namespace velquor::app {

// YesNoDefaultNo: a question whose Yes cannot be taken back (a deletion, files replaced), so
// Enter and Escape both answer No. RetryStop: Retry, or Stop what is under way.
enum class MessageButtons {
    Ok,
    OkCancel,
    YesNo,
    YesNoCancel,
    YesNoYesToAllNoToAll,
    YesNoDefaultNo,
    RetryStop,
    ContinueCancel,          // Continue / Cancel (Enter and Escape cancel)
    ShowRowsContinueCancel,  // Show rows / Continue / Cancel (Enter shows, Escape cancels)
    RemoveKeepCancel,        // Remove / Keep / Cancel (Escape cancels)
    ServeEncryptedOrPlain,   // Serve en/ / Serve the plain files / Cancel (Enter serves en/)
};
enum class MessageIcon { None, Information, Warning, Critical, Question };
enum class Answer {
    Ok,
    Cancel,
    Yes,
    No,
    YesToAll,
    NoToAll,
    Retry,
    Stop,
    Continue,
    ShowRows,
    Remove,
    Keep,
    ServeEncrypted,
    ServePlain
};

struct MessageRequest {
    QString text;
    QString caption;  // already resolved: never empty by the time a Prompter sees it
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
    QString details;  // optional second line with the reason behind a short text
};

class Prompter {
public:
    virtual ~Prompter() = default;

    virtual Answer message(QWidget* owner, const MessageRequest& request) = 0;
    // Each returns the chosen path, or nullopt when the user cancelled. folder is where the
    // dialog opens (empty: the working directory).
    virtual std::optional<QString> openFile(QWidget* owner, const QString& title,
                                            const QString& filter, const QString& folder) = 0;
    // The save dialog asks before replacing an existing file. With chosenFilter, the dialog
    // starts on that filter (when it is one of filter's) and leaves there the one chosen.
    virtual std::optional<QString> saveFile(QWidget* owner, const QString& title,
                                            const QString& filter, const QString& folder,
                                            QString* chosenFilter = nullptr) = 0;
    virtual std::optional<QString> existingDirectory(QWidget* owner, const QString& title,
                                                     const QString& folder) = 0;
    // A password typed in answer to text (a new login, say); nullopt when the operator
    // declined.
    virtual std::optional<QString> password(QWidget* owner, const QString& caption,
                                            const QString& text) = 0;
};

// The real dialogs of the platform.
class QtPrompter final : public Prompter {
public:
    Answer message(QWidget* owner, const MessageRequest& request) override;
    std::optional<QString> openFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder) override;
    std::optional<QString> saveFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder,
                                    QString* chosenFilter = nullptr) override;
    std::optional<QString> existingDirectory(QWidget* owner, const QString& title,
                                             const QString& folder) override;
    std::optional<QString> password(QWidget* owner, const QString& caption,
                                    const QString& text) override;
};

// Turns a filter written as description|pattern| pairs ("XML templates|*.xml|") into the form
// Qt's file dialogs parse ("XML templates (*.xml)"). Descriptions are kept as written; patterns
// may list several globs separated by ';'; "*.*" becomes "*" so files without a dot are not
// hidden.
QString qtFileFilter(std::string_view pairedFilter);

}  // namespace velquor::app
