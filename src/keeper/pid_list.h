// Reading the process ids that the child lister prints.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

namespace kestrix {

// One line of output as a signed 32-bit decimal: an optional single sign and
// ASCII digits, with spaces (Unicode Zs) and tabs trimmed around them.
std::optional<pid_t> parsePidLine(std::string_view line);

// Every usable line of `output`, in order. Output that is not valid UTF-8
// counts as empty.
std::vector<pid_t> parsePidList(std::string_view output);

}  // namespace kestrix
