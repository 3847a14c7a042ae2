// Pieces of the GTK adapter shared between its files.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "platform/glib/key_file_defaults.h"
#include "platform/gtk/gtk_app.h"

namespace kestrix::platform::gtk {

// A message dialog for `alert`: the message as its primary text, the
// informative text as its secondary text, and one button per title whose
// response is 1000, 1001, ... in the order added.
GtkWidget* makeAlertDialog(GtkWindow* parent, const AlertSpec& alert);
// Maps a dialog's response to the alert's: a button's own, or, for a
// dialog dismissed without one (Escape, the window's close), the alert's
// escape button, and without one -1: no answer, the dialog stays.
long alertResponse(const AlertSpec& alert, int gtkResponse);

// The web engine module's entry, which makes a window's web view, loaded
// from `path` the first time; null, with the loader's reason in `whyNot`,
// where it cannot be.
using WebEngineEntry = WebView* (*)(GtkWindow*);
WebEngineEntry webEngineEntry(const std::string& path, std::string& whyNot);

// Ends the program with its display: an X connection lost goes through
// the normal termination; a Wayland connection that hangs up ends the
// process should the toolkit not have.
void endWithTheDisplay(GtkApp& app);

// Builds a toolkit menu for `menu`; `chosen` receives the index of the entry
// the user activates.
GtkWidget* buildGtkMenu(const Menu& menu, int* chosen);

}  // namespace kestrix::platform::gtk
