// The display server going away: the program ends, and the service with it.
#include <X11/Xlib.h>
#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/gtk/gtk_internal.h"

namespace kestrix::platform::gtk {

namespace {

// The application that a lost X connection ends. (The toolkit's own handler
// would end the process at once, leaving the service to run on.)
GtkApp* gDisplayOwner = nullptr;

int onDisplayLost(Display*) {
    if (gDisplayOwner) gDisplayOwner->terminateWithoutDisplay();
    _exit(1);
}

// A Wayland display that goes away ends the process from the toolkit's
// event source, with no handler of ours; the keeper, its lifeline cut, then
// stops the service. But while the toolkit waits on the display in a loop
// of its own (the activation token it asks for as a window is presented
// without one), a connection that dies makes that loop spin for good: the
// process would never end, and the service would run on. A thread of ours
// sees the connection hang up and, should the process still be there a
// moment later, ends it.
void watchWaylandConnection(GdkDisplay* display) {
    if (!GDK_IS_WAYLAND_DISPLAY(display)) return;
    const int fd = wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
    std::thread([fd] {
        pollfd connection{fd, 0, 0};
        while (::poll(&connection, 1, -1) < 0 && errno == EINTR) {
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        platform::warn("the Wayland display has gone; ending");
        std::_Exit(1);
    }).detach();
}

}  // namespace

void endWithTheDisplay(GtkApp& app) {
    if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) {
        gDisplayOwner = &app;
        XSetIOErrorHandler(onDisplayLost);
    }
    watchWaylandConnection(gdk_display_get_default());
}

void GtkApp::terminateWithoutDisplay() {
    displayLost_ = true;
    terminating_ = false;  // even from inside an earlier termination
    terminate();
    _exit(0);
}

}  // namespace kestrix::platform::gtk
