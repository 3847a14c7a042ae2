// What the program says on standard error: one line each, after the name
// its users start it by, whoever says it (the controller, the adapters).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kestrix::platform {

// Writes "kestrix-v3-shell: " and `format` filled in, as one line, in one
// write (lines of two threads never mix).
[[gnu::format(printf, 1, 2)]] inline void warn(const char* format, ...) {
    std::string line = "kestrix-v3-shell: ";
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        const size_t start = line.size();
        line.resize(start + static_cast<size_t>(length) + 1);
        std::vsnprintf(line.data() + start, static_cast<size_t>(length) + 1, format, again);
        line.back() = '\n';
    }
    va_end(again);
    std::fputs(line.c_str(), stderr);
}

}  // namespace kestrix::platform
