// Every text the user sees, in one place: the window and its pages, the
// tray's menus, the alerts and sheets, and the page's dialogs. Errors come
// here as values (an errno, a reason) and are worded here.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace kestrix::text {

// The tray item's title and description, and an alert without a message.
inline constexpr const char* kProductName = "AI Kestrix V3.1";
inline constexpr const char* kWindowTitle = "AI Kestrix V3.1 · 本机授权版";
inline constexpr const char* kStartingPageHTML =
    "<html><body style='font-family:-apple-system;display:flex;align-items:center;"
    "justify-content:center;height:100vh;color:#666'><h3>正在启动服务…</h3></body></html>";

// Buttons and menu entries.
inline constexpr const char* kQuit = "退出";
inline constexpr const char* kOpenPanel = "打开面板";
inline constexpr const char* kRestart = "重新启动";
inline constexpr const char* kReload = "重新加载";
inline constexpr const char* kOK = "确定";
inline constexpr const char* kCancel = "取消";
inline constexpr const char* kGotIt = "知道了";

// The first-run tip.
inline constexpr const char* kTipMessage = "菜单栏图标说明";
inline constexpr const char* kTipText =
    "「AI Kestrix」图标已放在右上角菜单栏。点窗口 X 关闭后，可从菜单栏图标随时回来。\n\n"
    "macOS Tahoe 可能把第三方图标收到后面：去「系统设置 → 控制中心 → 菜单栏」，"
    "找到Kestrix V3.1 并设为\"在菜单栏中显示\"，即可固定在最前面。";

// The web process that keeps ending.
inline constexpr const char* kPageCannotShow = "控制面板页面无法显示";
inline constexpr const char* kPageProcessKeepsEnding = "显示页面的进程多次意外退出。";

// The launch.
inline constexpr const char* kBackendMissing = "找不到后端程序";
inline std::string backendMissingInfo(const std::string& relativePath) {
    return "请确认 " + relativePath + " 已放进 App 包内。";
}
inline constexpr const char* kAlreadyRunning = "已有 V3.1 正在运行";
inline constexpr const char* kAlreadyRunningInfo =
    "端口 18926 正被旧 V3 实例使用。请先在旧 V3 内正常退出，再打开当前版本。"
    "V2.1 的 8926/8927 保持不变。";
inline constexpr const char* kBackendStartFailed = "后端启动失败";
inline std::string cannotStart(const std::string& program, const std::string& reason) {
    return "无法启动 " + program + "：" + reason;
}
inline std::string cannotStart(const std::string& program, int errorNumber) {
    return cannotStart(program, std::strerror(errorNumber));
}
inline std::string keeperSilent(const std::string& keeper, double seconds) {
    char bound[16];
    std::snprintf(bound, sizeof bound, "%g", seconds);
    return keeper + " 在 " + bound + " 秒内没有应答";
}
inline constexpr const char* kPanelStartFailed = "Kestrix V3.1 控制面板启动失败";
inline std::string panelUnreachable(long port) {
    return "无法连接到 127.0.0.1:" + std::to_string(port) +
           "。请检查旧的 V3 是否仍在运行，先从旧 V3 菜单正常退出，再重新打开；V2.1 无需退出。";
}

// The service's unexpected end.
inline constexpr const char* kBackendExited = "后端服务意外退出";
inline constexpr const char* kBackendExitedInfo = "控制面板后端已停止，隧道可能已断开。";
inline std::string portHeldInfo(long port, const std::string& address) {
    const std::string p = std::to_string(port);
    return "\n\n端口 " + p + " 正被另一个程序占用，后端无法在 " + address +
           " 上监听。请先关闭占用端口 " + p + " 的程序，再重新启动。";
}

// The desktop adapter's own: the web engine cannot be loaded.
inline constexpr const char* kEngineMissing = "无法加载网页引擎";

}  // namespace kestrix::text
