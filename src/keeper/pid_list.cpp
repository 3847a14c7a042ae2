#include "keeper/pid_list.h"

#include <cstdint>
#include <limits>
#include <string>

#include "platform/text.h"

namespace kestrix {

namespace {

// Decodes one UTF-8 sequence at `s[i]`; false for malformed input.
bool decodeUtf8(std::string_view s, size_t& i, char32_t& out) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    size_t length;
    char32_t cp;
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        return false;
    }
    if (i + length > s.size()) return false;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out = cp;
    i += length;
    return true;
}

bool isValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        if (!decodeUtf8(s, i, cp)) return false;
    }
    return true;
}

// Unicode general category Zs, plus the horizontal tab.
bool isTrimmedSpace(char32_t c) {
    return c == U'\t' || c == U' ' || c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::u32string_view trim(std::u32string_view s) {
    while (!s.empty() && isTrimmedSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isTrimmedSpace(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<pid_t> parsePidLine(std::string_view line) {
    std::u32string decoded;
    for (size_t i = 0; i < line.size();) {
        char32_t cp;
        if (!decodeUtf8(line, i, cp)) return std::nullopt;
        decoded.push_back(cp);
    }
    std::u32string_view text = trim(decoded);

    bool negative = false;
    if (!text.empty() && (text.front() == U'+' || text.front() == U'-')) {
        negative = text.front() == U'-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;

    std::int64_t magnitude = 0;
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    for (char32_t c : text) {
        if (c < U'0' || c > U'9') return std::nullopt;
        magnitude = magnitude * 10 + (c - U'0');
        if (magnitude > limit) return std::nullopt;
    }
    return static_cast<pid_t>(negative ? -magnitude : magnitude);
}

std::vector<pid_t> parsePidList(std::string_view output) {
    std::vector<pid_t> result;
    if (!isValidUtf8(output)) return result;
    platform::forEachLine(output, [&](std::string_view line) {
        if (auto pid = parsePidLine(line)) result.push_back(*pid);
    });
    return result;
}

}  // namespace kestrix
