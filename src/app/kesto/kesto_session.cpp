// The effective Kesto settings for a login from the window, with their problems shown.
#include "app/kesto/kesto_session.h"

#include <QStringList>

#include "app/language/core_texts.h"

namespace velquor::app {

std::optional<KestoSession> loadKestoSession(ControlWindow& window,
                                             const settings::SettingsPaths& paths) {
    auto loaded = settings::loadSettings({}, paths);
    if (!loaded) {
        window.messageBox(ControlWindow::tr("The Kesto settings could not be read."), QString(),
                          MessageButtons::Ok, MessageIcon::Warning, coreSentence(loaded.error()));
        return std::nullopt;
    }
    QStringList warnings;
    for (const support::Phrase& warning : settings::unseenWarnings(loaded->warningPhrases)) {
        warnings << coreText(warning);
    }
    if (!warnings.isEmpty()) {
        window.messageBox(ControlWindow::tr("Some Kesto settings were ignored."), QString(),
                          MessageButtons::Ok, MessageIcon::Warning, warnings.join('\n'));
    }
    return KestoSession{provisioning::endpointFromSettings(loaded->effective, paths),
                        loaded->effective.jobs.value};
}

}  // namespace velquor::app
