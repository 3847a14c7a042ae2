// What a window manager that keeps a panel along the top of the screen
// tells its clients, and nothing more: it claims the screen and says that
// the work area is the screen less its top 40 pixels, but it places no
// window (so only the program can keep its own within that area). Says
// "ready" once it has, and runs until killed.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <vector>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const Window root = DefaultRootWindow(display);
    const auto set = [&](const char* name, Atom type, std::vector<long> values) {
        XChangeProperty(display, root, XInternAtom(display, name, False), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
    };
    // The root window stands for the manager's own.
    set("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, {static_cast<long>(root)});
    set("_NET_SUPPORTED", XA_ATOM, {static_cast<long>(XInternAtom(display, "_NET_WORKAREA", False))});
    set("_NET_WORKAREA", XA_CARDINAL, {0, 40, DisplayWidth(display, 0), DisplayHeight(display, 0) - 40});
    XSync(display, False);
    if (::write(1, "ready\n", 6) != 6) return 1;
    ::pause();
}
