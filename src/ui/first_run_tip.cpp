#include "app/app_delegate.h"

namespace kestrix {

// Shown once per user. The flag is written after the tip has been dismissed,
// so a launch that ends while it is open shows it again next time.
void AppDelegate::showFirstRunTipIfNeeded() {
    if (app_.standardUserDefaults().boolForKey(settings_.firstRunTipKey)) return;
    app_.runModalAlert({text::kTipMessage, text::kTipText, {text::kGotIt}, 0});
    app_.standardUserDefaults().setBool(true, settings_.firstRunTipKey);
}

}  // namespace kestrix
