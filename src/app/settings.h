// The program's fixed settings, and the one value that carries them into the
// controller. The program always runs with Settings::production(); tests
// replace what would reach outside their own temporary directory and shorten
// the timings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrix {

inline constexpr const char* kPanelHost = "127.0.0.1";
inline constexpr std::int64_t kPanelPort = 18926;
inline constexpr const char* kBackendRelativePath = "Contents/Resources/backend/KestrixV3";
inline constexpr const char* kFirstRunTipKey = "kestrix.v3.native.didShowMenuBarTip";
inline constexpr const char* kSetsidPath = "/usr/bin/setsid";

inline constexpr const char* kPgrepPath = "/usr/bin/pgrep";
// The variable that tells the service its data directory.
inline constexpr const char* kDataDirVariable = "VANTREL_DATA_DIR";
// Every process of one launch inherits this variable, with a value of its
// own (32 random hex digits): what a killed program left is known by it.
inline constexpr const char* kLaunchMarkVariable = "KESTRIX_V3_LAUNCH";
// The keeper's file name, in the package's Contents/MacOS.
inline constexpr const char* kKeeperName = "kestrix-v3-keeper";
// The application's id: its bus name, its desktop entry, its directories.
inline constexpr const char* kApplicationID = "io.kestrix.V3NativeShell";

struct Settings {
    std::string panelHost = kPanelHost;
    std::int64_t panelPort = kPanelPort;
    std::string backendRelativePath = kBackendRelativePath;
    std::string firstRunTipKey = kFirstRunTipKey;
    std::string setsidPath = kSetsidPath;
    std::string pgrepPath = kPgrepPath;

    // Where the command copies of the Backend service go, in this order.
    std::vector<std::string> commandDirectories = {"/opt/homebrew/bin", "/usr/local/bin"};
    // Empty: the package that holds the running executable.
    std::string bundlePath;
    // The keeper that holds the service. Empty: the one beside the running
    // executable, in the package's Contents/MacOS.
    std::string keeperPath;
    // Empty: the user's home directory.
    std::string homeDirectory;
    // Where the single-instance lock and the record of the running service
    // live. Empty: $XDG_RUNTIME_DIR, else ~/.cache; an application-id folder
    // below it.
    std::string runtimeDirectory;

    double probeTimeoutSeconds = 2.0;
    double probePauseSeconds = 0.5;
    double panelWaitSeconds = 20.0;
    double shutdownGraceSeconds = 3.0;
    // How long the launch waits for the keeper's first word: its scope
    // join is bounded by the grace and a second.
    double keeperAnswerSeconds = 6.0;

    static Settings production() { return Settings{}; }
};

// "http://" + host + ":" + port + "/", built anew on every use.
std::string panelURL(const Settings& settings);
// host + ":" + port, the address handed to the Backend service.
std::string panelAddress(const Settings& settings);

}  // namespace kestrix
