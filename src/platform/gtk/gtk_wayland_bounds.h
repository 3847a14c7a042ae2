// What a Wayland compositor recommends as a toplevel's largest size
// (xdg_toplevel.configure_bounds, xdg-shell 4): the area a window is best
// kept within, the desktop's panels left out. GTK 3 binds an older
// xdg-shell and never hears it; a toplevel of our own, on a queue of our
// own on GTK's connection, asks, and is destroyed unseen (it never gets a
// buffer, so it is never mapped).
#pragma once

#include <gdk/gdk.h>

namespace kestrix::platform::gtk {

// The bounds; 0 x 0 where the compositor does not tell (or this is not
// Wayland).
GdkRectangle waylandBounds(GdkDisplay* display);

}  // namespace kestrix::platform::gtk
