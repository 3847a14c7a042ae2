// Every parser of what another program or file wrote, as a function of
// bytes: libFuzzer's entry (fuzz_main.cpp) and the corpus replay
// (replay_test.cpp) call the same ones, found by name. A broken promise
// aborts.
#pragma once

#include <string_view>

namespace kestrix::fuzz {

struct Target {
    const char* name;  // also its corpus folder, tests/fuzz/corpus/<name>
    void (*run)(std::string_view data);
};

extern const Target kTargets[9];
// The target of that name; null for none.
const Target* findTarget(std::string_view name);

}  // namespace kestrix::fuzz
