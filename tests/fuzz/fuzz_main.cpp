// libFuzzer's entry for one target, chosen when built (KESTRIX_FUZZ_TARGET).
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KESTRIX_FUZZ_TARGET({reinterpret_cast<const char*>(data), size});
    return 0;
}
