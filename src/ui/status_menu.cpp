#include "app/app_delegate.h"

namespace kestrix {

namespace {

// An entry that performs `action` on the delegate; no key equivalent.
platform::MenuItem menuEntry(AppDelegate* target, std::string title,
                             void (AppDelegate::*action)()) {
    platform::MenuItem item;
    item.title = std::move(title);
    item.perform = [target, action] { (target->*action)(); };
    return item;
}

}  // namespace

void AppDelegate::createStatusItem() {
    statusItem = app_.makeStatusItem();
    platform::StatusButton* button = statusItem ? statusItem->button() : nullptr;
    if (!button) return;
    button->setImage("bolt.circle.fill", text::kProductName);
    // No target: the action travels to the application's delegate, which is
    // this object; a weak hold keeps a late click harmless.
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    button->setAction([weakSelf] {
        if (auto self = weakSelf.lock()) self->statusItemClicked();
    });
    button->sendActionOn(platform::kEventMaskLeftMouseUp | platform::kEventMaskRightMouseUp);
    statusItem->setMenuProvider([weakSelf] {
        auto self = weakSelf.lock();
        return self ? self->statusMenu() : platform::Menu{};
    });
}

// Only the released button decides: the right one opens the menu, any other
// event shows the window. Modifier keys are not read.
void AppDelegate::statusItemClicked() {
    const std::optional<int> type = app_.currentEventType();
    if (!type) return;
    if (*type == platform::kEventTypeRightMouseUp) {
        app_.popUpMenuAtPointer(statusMenu());
        return;
    }
    showWindow();
}

platform::Menu AppDelegate::statusMenu() {
    platform::Menu menu;
    menu.items.push_back(menuEntry(this, text::kOpenPanel, &AppDelegate::showWindow));
    menu.items.push_back(platform::MenuItem::separator());
    menu.items.push_back(menuEntry(this, text::kQuit, &AppDelegate::quitApp));
    return menu;
}

}  // namespace kestrix
