// Alerts as message dialogs: the modal one of the application, and the
// dialog that the window's sheets use too.
#include "platform/gtk/gtk_internal.h"
#include "platform/gtk/gtk_window.h"

namespace kestrix::platform::gtk {

GtkWidget* makeAlertDialog(GtkWindow* parent, const AlertSpec& alert) {
    // The texts go in as arguments, never as format strings.
    GtkWidget* dialog =
        gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_OTHER,
                               GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
    if (!alert.informativeText.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                 alert.informativeText.c_str());
    for (size_t i = 0; i < alert.buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(),
                              static_cast<int>(kAlertFirstButtonReturn + static_cast<long>(i)));
    if (!alert.buttons.empty())
        gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                        static_cast<int>(kAlertFirstButtonReturn));
    gtk_window_set_title(GTK_WINDOW(dialog), "");
    // The close request (Escape, the title bar) never destroys the dialog:
    // it answers as alertResponse says, or not at all.
    g_signal_connect(dialog, "delete-event", G_CALLBACK(gtk_true), nullptr);
    // What a screen reader announces for the dialog: its message, else the
    // program's name.
    atk_object_set_name(gtk_widget_get_accessible(dialog), alert.messageText.empty()
                                                               ? g_get_application_name()
                                                               : alert.messageText.c_str());
    return dialog;
}

long alertResponse(const AlertSpec& alert, int gtkResponse) {
    const long count = static_cast<long>(alert.buttons.size());
    if (gtkResponse >= kAlertFirstButtonReturn && gtkResponse < kAlertFirstButtonReturn + count)
        return gtkResponse;
    // Escape and the close request answer the button the alert names.
    return alert.escapeButton >= 0 && alert.escapeButton < count
               ? kAlertFirstButtonReturn + alert.escapeButton
               : -1;
}

long GtkApp::runModalAlert(const AlertSpec& alert) {
    GtkWindow* parent = mainGtkWindow();
    if (parent && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;
    GtkWidget* dialog = makeAlertDialog(parent, alert);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog),
                            parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    int response;
    long answer;
    do {
        response = gtk_dialog_run(GTK_DIALOG(dialog));
        answer = alertResponse(alert, response);
    } while (answer < 0 && response == GTK_RESPONSE_DELETE_EVENT);
    gtk_widget_destroy(dialog);
    // Gone some other way (its display lost): the last button, as a quit.
    return answer >= 0 ? answer
                       : kAlertFirstButtonReturn + static_cast<long>(alert.buttons.size()) - 1;
}

}  // namespace kestrix::platform::gtk
