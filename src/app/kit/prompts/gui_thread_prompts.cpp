// GuiThreadPrompts: the boxes of work off the GUI thread, shown on it.
#include "app/kit/prompts/gui_thread_prompts.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "app/language/core_texts.h"
#include "support/hex.h"

namespace velquor::app {

QString fromBytes(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toBytes(const QString& text) {
    return text.toUtf8().toStdString();
}

void GuiThreadPrompts::onGuiThread(const std::function<void(ControlWindow&)>& show) {
    ControlWindow* window = m_window.data();
    if (window == nullptr) return;
    if (QThread::currentThread() == window->thread()) {
        show(*window);
    } else {
        QMetaObject::invokeMethod(
            window, [window, &show] { show(*window); }, Qt::BlockingQueuedConnection);
    }
}

Answer GuiThreadPrompts::ask(const MessageRequest& request) {
    Answer answer = Answer::No;
    onGuiThread([&](ControlWindow& window) {
        answer = window.messageBox(request.text, request.caption, request.buttons, request.icon,
                                   request.details);
    });
    return answer;
}

std::optional<std::string> GuiThreadPrompts::askNewLogin(const std::string& server) {
    std::optional<std::string> typed;
    onGuiThread([&](ControlWindow& window) {
        const QString text =
            QCoreApplication::translate("velquor::app::GuiThreadPrompts",
                                        "Your login to %1 has ended. Log in again to go on?")
                .arg(fromBytes(server));
        const QString caption = coreText(provisioning::kesto_text::kLoginCaption);
        if (auto password = window.askPassword(caption, text)) {
            typed = toBytes(*password);
        }
    });
    return typed;
}

void GuiThreadPrompts::report(std::string_view text, std::string_view caption) {
    reportWithDetail(text, caption, {});
}

void GuiThreadPrompts::reportWithDetail(std::string_view text, std::string_view caption,
                                        std::string_view detail) {
    ask(MessageRequest{coreSentence(text), coreText(caption), MessageButtons::Ok, MessageIcon::None,
                       coreSentence(detail)});
}

void GuiThreadPrompts::reportWorded(std::string_view text, std::string_view caption,
                                    const support::Phrase& detail) {
    ask(MessageRequest{coreSentence(text), coreText(caption), MessageButtons::Ok, MessageIcon::None,
                       coreSentence(detail)});
}

provisioning::ReplaceAnswer GuiThreadPrompts::askReplace(const std::string& question,
                                                         const std::string& registeredTo,
                                                         const std::string& replacement) {
    // Control characters shown visibly: a stored text cannot pass for another line of the box.
    const QString now = fromBytes(support::escapeControls(registeredTo));
    const QString next = fromBytes(support::escapeControls(replacement));
    const QString detail =
        registeredTo.empty()
            ? QCoreApplication::translate("velquor::app::GuiThreadPrompts",
                                          "Replacing registers it with: %1")
                  .arg(next)
            : QCoreApplication::translate("velquor::app::GuiThreadPrompts",
                                          "Registered to this account now with: %1\n"
                                          "Replacing registers it with: %2")
                  .arg(now, next);
    const Answer answer = ask(MessageRequest{
        coreSentence(question), coreText(provisioning::kesto_text::kAddDeviceCaption),
        MessageButtons::YesNoYesToAllNoToAll, MessageIcon::Question, detail});
    switch (answer) {
        case Answer::Yes:
            return provisioning::ReplaceAnswer::Yes;
        case Answer::YesToAll:
            return provisioning::ReplaceAnswer::YesToAll;
        case Answer::NoToAll:
            return provisioning::ReplaceAnswer::NoToAll;
        default:
            return provisioning::ReplaceAnswer::No;
    }
}

bool GuiThreadPrompts::askRetry(const std::string& server, const support::Phrase& reason,
                                std::string_view caption) {
    const std::string question =
        provisioning::formatMessage(provisioning::kesto_text::kServerNotAnswering, server);
    return ask(MessageRequest{coreSentence(question), coreText(caption), MessageButtons::RetryStop,
                              MessageIcon::Warning, coreSentence(reason)}) == Answer::Retry;
}

}  // namespace velquor::app
