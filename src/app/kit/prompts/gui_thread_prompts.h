// GuiThreadPrompts: message boxes owned by a window, asked on the GUI thread even when the
// work that asks runs on a worker (a Kesto batch, an encryption's questions), the worker
// waiting for the answer as a command's loop waits for a message box.
#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/kit/window/control_window.h"
#include "provisioning/kesto_operations.h"
#include "support/reporter.h"

namespace velquor::app {

// For work running off the GUI thread: each report and each replace question waits until the
// window has shown it on the GUI thread, as the loop of the command waits for a message box.
class GuiThreadPrompts final : public support::Reporter {
public:
    explicit GuiThreadPrompts(ControlWindow& window) : m_window(&window) {}
    void report(std::string_view text, std::string_view caption) override;
    // The product's text as the box's text, the reason beneath it as its detail line.
    void reportWithDetail(std::string_view text, std::string_view caption,
                          std::string_view detail) override;
    void reportWorded(std::string_view text, std::string_view caption,
                      const support::Phrase& detail) override;
    // The product's question; beneath it, the server text the MAC is registered with now
    // (when known) and the one that will replace it.
    provisioning::ReplaceAnswer askReplace(const std::string& question,
                                           const std::string& registeredTo,
                                           const std::string& replacement);
    // "The server … is not answering", with Retry and Stop and the reason beneath; true = Retry.
    bool askRetry(const std::string& server, const support::Phrase& reason,
                  std::string_view caption);
    // Any box, shown by the window on the GUI thread; the answer once it is closed.
    Answer ask(const MessageRequest& request);
    // "Your login to SERVER has ended. Log in again to go on?" with a password box: the
    // password typed, or nullopt when the operator declined.
    std::optional<std::string> askNewLogin(const std::string& server);

private:
    // Runs show on the GUI thread and returns once it has.
    void onGuiThread(const std::function<void(ControlWindow&)>& show);

    QPointer<ControlWindow> m_window;
};

QString fromBytes(std::string_view text);
std::string toBytes(const QString& text);

}  // namespace velquor::app
