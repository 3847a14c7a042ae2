// The status item: an icon in the system tray whose left click and right
// click reach the delegate as the release of the left or right button.
#include "platform/gtk/gtk_internal.h"

namespace kestrix::platform::gtk {

namespace {

// The system symbols the program asks for, as icons shipped with it.
std::string iconFileForSymbol(const GtkApp& app, const std::string& symbolName) {
    if (symbolName != "bolt.circle.fill") return {};
    const std::string path = app.resourcesDirectory() + "/kestrix-v3-tray.svg";
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS) ? path : std::string{};
}

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

// The XEmbed tray icon (GtkStatusIcon): "activate" is the left button,
// "popup-menu" the right one.
class XEmbedStatusItem final : public StatusItem, public StatusButton {
public:
    explicit XEmbedStatusItem(GtkApp& app) : app_(app), icon_(gtk_status_icon_new()) {
        gtk_status_icon_set_title(icon_, "AI Kestrix V3.1");
        gtk_status_icon_set_tooltip_text(icon_, "AI Kestrix V3.1");
        g_signal_connect(icon_, "activate", G_CALLBACK(onActivate), this);
        g_signal_connect(icon_, "popup-menu", G_CALLBACK(onPopupMenu), this);
        gtk_status_icon_set_visible(icon_, TRUE);
    }
    ~XEmbedStatusItem() override {
        g_signal_handlers_disconnect_by_data(icon_, this);
        gtk_status_icon_set_visible(icon_, FALSE);
        g_object_unref(icon_);
    }

    StatusButton* button() override { return this; }

    void setImage(const std::string& symbolName, const std::string& description) override {
        const std::string file = iconFileForSymbol(app_, symbolName);
        if (file.empty()) {
            gtk_status_icon_set_from_icon_name(icon_, nullptr);
        } else {
            gtk_status_icon_set_from_file(icon_, file.c_str());
        }
        gtk_status_icon_set_name(icon_, description.c_str());
    }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }
    void sendActionOn(unsigned mask) override { mask_ = mask; }

    void hide() { gtk_status_icon_set_visible(icon_, FALSE); }

private:
    void send(int eventType) {
        if (!action_ || !(mask_ & (1u << eventType))) return;
        app_.dispatchEvent(eventType, action_);
    }
    static void onActivate(GtkStatusIcon*, void* self) {
        static_cast<XEmbedStatusItem*>(self)->send(kEventTypeLeftMouseUp);
    }
    static void onPopupMenu(GtkStatusIcon*, guint, guint, void* self) {
        static_cast<XEmbedStatusItem*>(self)->send(kEventTypeRightMouseUp);
    }

    GtkApp& app_;
    GtkStatusIcon* icon_;
    std::function<void()> action_;
    unsigned mask_ = 0;
};

G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace

std::unique_ptr<StatusItem> GtkApp::statusItemWithLength(double /*length*/) {
    return std::make_unique<XEmbedStatusItem>(*this);
}

void GtkApp::removeStatusItem(StatusItem* item) {
    if (auto* xembed = dynamic_cast<XEmbedStatusItem*>(item)) xembed->hide();
}

}  // namespace kestrix::platform::gtk
