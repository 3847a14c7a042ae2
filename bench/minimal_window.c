/* The engine's floor: the smallest WebKitGTK window that shows the panel,
 * with the shell's engine settings (no hardware acceleration, no DMA-BUF
 * renderer). Usage: minimal_window URL */
#include <stdlib.h>
#include <webkit2/webkit2.h>

int main(int argc, char** argv) {
    setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1200, 800);
    WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    webkit_web_view_load_uri(view, argc > 1 ? argv[1] : "http://127.0.0.1:18926/");
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
