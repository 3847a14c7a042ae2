// What a window manager that keeps a panel along the top of the screen
// tells its clients, and nothing more: it claims the screen and says that
// the work area is the screen less its top 40 pixels, but it places no
// window (so only the program can keep its own within that area). Says
// "ready" once it has, and runs until killed.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const Window root = DefaultRootWindow(display);
    const Window check = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    const auto set = [&](Window window, const char* name, Atom type, const long* values, int n) {
        XChangeProperty(display, window, XInternAtom(display, name, False), type, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(values), n);
    };
    const long self[] = {static_cast<long>(check)};
    for (const Window window : {root, check}) set(window, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, self, 1);
    const long supported[] = {static_cast<long>(XInternAtom(display, "_NET_WORKAREA", False))};
    set(root, "_NET_SUPPORTED", XA_ATOM, supported, 1);
    const long area[] = {0, 40, DisplayWidth(display, 0), DisplayHeight(display, 0) - 40};
    set(root, "_NET_WORKAREA", XA_CARDINAL, area, 4);
    XSync(display, False);
    std::puts("ready");
    std::fflush(stdout);
    ::pause();
}
