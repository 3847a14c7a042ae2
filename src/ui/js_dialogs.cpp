#include "app/app_delegate.h"

namespace kestrix {

// The page's alert() and confirm() as dialogs attached to the main window,
// answered when the user ends them. The window is not brought forward: a
// dialog for a hidden window waits with it.

void AppDelegate::runJavaScriptAlertPanel(const std::string& message,
                                          std::function<void()> completion) {
    window->beginSheet({message, "", {text::kOK}, 0},
                       [completion = std::move(completion)](long) { completion(); });
}

void AppDelegate::runJavaScriptConfirmPanel(const std::string& message,
                                            std::function<void(bool)> completion) {
    window->beginSheet({message, "", {text::kOK, text::kCancel}, 1},
                       [completion = std::move(completion)](long response) {
                           completion(response == platform::kAlertFirstButtonReturn);
                       });
}

}  // namespace kestrix
