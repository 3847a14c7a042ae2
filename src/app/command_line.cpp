#include "app/command_line.h"

namespace kestrix {

namespace {

constexpr const char* kCommandName = "kestrix-v3-shell";

// What the terminal shows of an argument: control bytes as '?', at most
// 200 bytes of it.
std::string shown(const std::string& argument) {
    std::string text = argument.substr(0, 200);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text.size() < argument.size() ? text + "..." : text;
}

}  // namespace

CommandLineOutcome handleCommandLine(const std::vector<std::string>& arguments,
                                     const std::string& version) {
    if (arguments.empty()) return {};
    const std::string& option = arguments[0];
    const std::string name = kCommandName;
    if (arguments.size() == 1 && (option == "-h" || option == "--help"))
        return {0,
                "Usage: " + name +
                    " [--help | --version]\n"
                    "Starts the Kestrix V3.1 Backend service and shows its control panel in a\n"
                    "window; a second start brings the running window forward.\n\n"
                    "  -h, --help     show this help and exit\n"
                    "  -V, --version  show the version and exit\n",
                {}};
    if (arguments.size() == 1 && (option == "-V" || option == "--version"))
        return {0, name + " " + version + "\n", {}};
    return {2,
            {},
            name + ": unrecognised argument '" + shown(arguments[arguments.size() == 1 ? 0 : 1]) +
                "'\nTry '" + name + " --help'.\n"};
}

}  // namespace kestrix
