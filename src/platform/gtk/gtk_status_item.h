// The tray icon: a StatusNotifierItem with an exported menu, and an XEmbed
// icon while no StatusNotifierWatcher is on the session bus.
#pragma once

#include "platform/glib/owned.h"
#include "platform/gtk/gtk_internal.h"

typedef struct _DbusmenuServer DbusmenuServer;
typedef struct _DbusmenuMenuitem DbusmenuMenuitem;

namespace kestrix::platform::gtk {

class TrayStatusItem final : public StatusItem, public StatusButton {
public:
    explicit TrayStatusItem(GtkApp& app);
    ~TrayStatusItem() override;

    StatusButton* button() override { return this; }
    void setImage(const std::string& symbolName, const std::string& description) override;
    void setAction(std::function<void()> action) override;
    void setMenuProvider(std::function<Menu()> provider) override;
    void sendActionOn(unsigned mask) override { mask_ = mask; }

    // Leaves the tray: unexports everything and gives the names back.
    void remove();

    bool xembedVisible() const;
    // Null until the XEmbed icon has first been shown.
    GtkStatusIcon* xembedIcon() const { return xembed_.get(); }

private:
    void exportItem();
    void exportMenu();
    void onWatcherAppeared();
    void onWatcherVanished();
    void makeXEmbedIcon();
    void setXEmbedVisible(bool visible);
    void send(int eventType);
    void onMethod(const std::string& method, GDBusMethodInvocation* invocation);
    GVariant* property(const std::string& name);
    GVariant* iconPixmaps();
    bool rebuildExportedMenu();
    void performExported(int index);

    GtkApp& app_;
    std::string iconFile_;
    bool hasImage_ = false;
    std::string description_;
    std::function<void()> action_;
    unsigned mask_ = 0;

    Owned<GtkStatusIcon> xembed_;
    Owned<GDBusConnection> bus_;
    std::string busName_;
    guint registration_ = 0;
    guint nameOwner_ = 0;
    guint watcherWatch_ = 0;
    bool removed_ = false;
    Owned<DbusmenuServer> menuServer_;
    Owned<DbusmenuMenuitem> menuRoot_;
    Menu exportedMenu_;
    std::function<Menu()> menuProvider_;
    bool exported_ = false;  // rows have been made from a menu
};

}  // namespace kestrix::platform::gtk
