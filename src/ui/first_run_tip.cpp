#include "app/app_delegate.h"

namespace kestrix {

namespace {

const char* const kTipMessage = "菜单栏图标说明";
const char* const kTipText =
    "「AI Kestrix」图标已放在右上角菜单栏。点窗口 X 关闭后，可从菜单栏图标随时回来。\n\n"
    "macOS Tahoe 可能把第三方图标收到后面：去「系统设置 → 控制中心 → 菜单栏」，"
    "找到Kestrix V3.1 并设为\"在菜单栏中显示\"，即可固定在最前面。";

}  // namespace

// Shown once per user. The flag is written after the tip has been dismissed,
// so a launch that ends while it is open shows it again next time.
void AppDelegate::showFirstRunTipIfNeeded() {
    if (app_.standardUserDefaults().boolForKey(settings_.firstRunTipKey)) return;
    app_.runModalAlert({kTipMessage, kTipText, {"知道了"}});
    app_.standardUserDefaults().setBool(true, settings_.firstRunTipKey);
}

}  // namespace kestrix
