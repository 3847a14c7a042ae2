// libFuzzer's entry for one target, named when built (KESTRIX_FUZZ_TARGET).
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto* target = kestrix::fuzz::findTarget(KESTRIX_FUZZ_TARGET);
    target->run({reinterpret_cast<const char*>(data), size});
    return 0;
}
