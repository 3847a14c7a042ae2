// Every parser of what another program or file wrote, as a function of
// bytes: libFuzzer's entry (fuzz_main.cpp) and the corpus replay
// (replay_test.cpp) call the same ones. A broken promise aborts.
#pragma once

#include <string_view>

namespace kestrix::fuzz {

using Target = void (*)(std::string_view);

void httpResponse(std::string_view data);
void procFiles(std::string_view data);
void netTcp(std::string_view data);
void pidList(std::string_view data);
void serviceRecord(std::string_view data);
void keeperProtocol(std::string_view data);
void commandLine(std::string_view data);
void settingsFile(std::string_view data);

inline constexpr struct {
    const char* name;
    Target run;
} kTargets[] = {
    {"http_response", httpResponse},     {"proc_files", procFiles},
    {"net_tcp", netTcp},                 {"pid_list", pidList},
    {"service_record", serviceRecord},   {"keeper_protocol", keeperProtocol},
    {"command_line", commandLine},       {"settings_file", settingsFile},
};

}  // namespace kestrix::fuzz
