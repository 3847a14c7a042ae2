// The program's options: help and version, each of which prints and ends
// the program before anything starts. Anything else is refused.
#pragma once

#include <string>
#include <vector>

namespace kestrix {

struct CommandLineOutcome {
    int status = -1;  // the exit status, or -1 to go on and start
    std::string output, error;
};

// `arguments` without the program's own name.
CommandLineOutcome handleCommandLine(const std::vector<std::string>& arguments,
                                     const std::string& version);

}  // namespace kestrix
