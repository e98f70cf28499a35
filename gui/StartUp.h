// The program's start-up: splash, wizard, event loop.
#pragma once

#include <memory>

#include "MainDialog.h"
#include "Title.h"

namespace tamarind {

// The start-up sequence up to the event loop: the splash made and painted,
// the application titled, the wizard made (its settings loaded), then the
// splash hidden once it has stood long enough, and destroyed. Returns the
// wizard, made but not yet shown. `services` may be null for the desktop's.
std::unique_ptr<TFm_MainDialog> StartUp(MainProc& engine, const SplashClock& clock,
                                        DialogServices* services = nullptr);

// Makes Qt's own dialogs (the file and folder choosers, the buttons of the
// message boxes) speak Japanese, whatever the user's locale: the whole
// wizard is Japanese. Qt's translation is loaded, and Japanese made the
// default locale, which gives the choosers Japanese dates, sizes and type
// names. Returns false, and leaves Qt's English, where Qt's Japanese
// translation is not installed.
bool UseJapaneseForQt();

// The whole program after the application object exists: StartUp, then the
// event loop with the wizard until it closes.
int RunProgram();

}  // namespace tamarind
