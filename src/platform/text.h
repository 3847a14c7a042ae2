// Reading text that the system and the program's own files hold: decimal
// numbers and lines. One way each, for every reader.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace kestrix::platform {

// ASCII digits and nothing else, as a number up to `most`; nothing for any
// other text (empty, signed, spaced, or larger).
inline std::optional<unsigned long long> decimal(std::string_view text, unsigned long long most) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    unsigned long long n = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, n);
    if (error != std::errc() || stop != end || n > most) return std::nullopt;
    return n;
}

// Calls `each` with every line of `text`, without its '\n': the last one
// too where no '\n' ends it, and none after a final '\n'.
template <typename Each>
void forEachLine(std::string_view text, Each&& each) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        each(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

}  // namespace kestrix::platform
