// The user defaults as a key file (GLib alone, no toolkit).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/ui.h"

namespace kestrix::platform::glib {

// The user defaults: a key file in the user's configuration directory.
std::unique_ptr<UserDefaults> makeKeyFileUserDefaults(const std::string& applicationId);

// What the file's text says of `key`; false where it says nothing readable.
bool boolInKeyFile(std::string_view text, const std::string& key);
// The text with `key` set to `value` and everything else it held kept.
std::string withBoolInKeyFile(std::string_view text, const std::string& key, bool value);

}  // namespace kestrix::platform::glib
