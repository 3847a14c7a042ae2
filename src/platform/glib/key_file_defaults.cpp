// The user defaults as a key file: $XDG_CONFIG_HOME (or ~/.config), a folder
// named after the application id, "user-defaults.ini". A file that is
// missing or cannot be read holds no keys. Anything at that path but a
// regular file (a FIFO would block the main thread in open) is neither read
// nor written.
#include <glib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/diagnostics.h"
#include "platform/glib/key_file_defaults.h"

namespace kestrix::platform::glib {

namespace {

constexpr const char* kGroup = "defaults";

GKeyFile* keyFile(std::string_view text) {
    GKeyFile* file = g_key_file_new();
    g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    return file;
}

class KeyFileUserDefaults final : public UserDefaults {
public:
    explicit KeyFileUserDefaults(const std::string& applicationId)
        : directory_(std::string(g_get_user_config_dir()) + "/" + applicationId),
          path_(directory_ + "/user-defaults.ini") {}

    bool boolForKey(const std::string& key) override { return boolInKeyFile(load(), key); }

    void setBool(bool value, const std::string& key) override {
        if (!usable()) {
            platform::warn("%s is not a regular file; not written", path_.c_str());
            return;
        }
        const std::string text = withBoolInKeyFile(load(), key, value);
        g_mkdir_with_parents(directory_.c_str(), 0700);
        // Written to a temporary file and renamed over the old one, which
        // stays as it was when that fails (a full disk); the user's alone,
        // whatever the umask.
        g_autoptr(GError) error = nullptr;
        if (!g_file_set_contents_full(path_.c_str(), text.data(), static_cast<gssize>(text.size()),
                                      G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error))
            platform::warn("%s not saved: %s", key.c_str(), error->message);
    }

private:
    // A regular file, or nothing yet.
    bool usable() const {
        struct stat st {};
        return ::stat(path_.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
    }

    std::string load() const {
        if (!usable()) {
            platform::warn("%s is not a regular file; not read", path_.c_str());
            return {};
        }
        g_autofree gchar* data = nullptr;
        gsize length = 0;
        if (!g_file_get_contents(path_.c_str(), &data, &length, nullptr)) return {};
        return std::string(data, length);
    }

    std::string directory_;
    std::string path_;
};

}  // namespace

bool boolInKeyFile(std::string_view text, const std::string& key) {
    g_autoptr(GKeyFile) file = keyFile(text);
    return g_key_file_get_boolean(file, kGroup, key.c_str(), nullptr);
}

std::string withBoolInKeyFile(std::string_view text, const std::string& key, bool value) {
    g_autoptr(GKeyFile) file = keyFile(text);
    g_key_file_set_boolean(file, kGroup, key.c_str(), value);
    gsize length = 0;
    g_autofree gchar* data = g_key_file_to_data(file, &length, nullptr);
    return std::string(data, length);
}

std::unique_ptr<UserDefaults> makeKeyFileUserDefaults(const std::string& applicationId) {
    return std::make_unique<KeyFileUserDefaults>(applicationId);
}

}  // namespace kestrix::platform::glib
