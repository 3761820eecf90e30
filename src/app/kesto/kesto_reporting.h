// How a Kesto dialog runs the next dialog of the chain (modally, or as a test decides), and the
// title that says who is logged in where. Their boxes come through GuiThreadPrompts (kit).
#pragma once

#include <QPointer>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/kit/prompts/gui_thread_prompts.h"
#include "app/kit/window/control_window.h"
#include "provisioning/kesto_operations.h"
#include "support/reporter.h"

class QDialog;

namespace velquor::app {

// Runs a follow-on dialog (user administration, device registration, password change) and
// returns its result. The default is QDialog::exec; tests drive the dialog instead.
using ModalRunner = std::function<int(QDialog&)>;
ModalRunner execModal();

// A dialog's title with who is logged in where: "Device — alice @ kesto.example.com", with
// the port the dialog sends to when it is not the product's ("… @ kesto.example.com:45391").
QString sessionTitle(const QString& dialogName, std::string_view userName,
                     const provisioning::KestoEndpoint& endpoint, std::uint16_t port,
                     std::uint16_t usualPort);

}  // namespace velquor::app
