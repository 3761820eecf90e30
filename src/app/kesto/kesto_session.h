// Where the window's Kesto dialogs send their requests: the effective settings (command line
// aside, the per-user file over the system file over the built-in values), read afresh at each
// KESTO login so a change made in Settings applies to the next login.
#pragma once

#include <cstddef>
#include <optional>

#include "app/kit/window/control_window.h"
#include "provisioning/kesto_operations.h"
#include "settings/kesto_settings.h"

namespace velquor::app {

struct KestoSession {
    provisioning::KestoEndpoint endpoint;
    std::size_t jobs = provisioning::kDefaultBatchJobs;
};

// A value that cannot be used is a box naming the file, the line and the key, and no session:
// a login must not quietly go elsewhere than the file says. Unknown keys are a warning box,
// once per key and process.
std::optional<KestoSession> loadKestoSession(
    ControlWindow& window, const settings::SettingsPaths& paths = settings::defaultSettingsPaths());

}  // namespace velquor::app
