// The one clock of the program's waits, and seconds as its durations.
#pragma once

#include <chrono>

namespace kestrix::platform {

using Clock = std::chrono::steady_clock;

inline Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace kestrix::platform
