// System calls that a signal may interrupt, made again until one is not.
#pragma once

#include <cerrno>

namespace kestrix::platform {

// `call()`, again for as long as it fails with EINTR; its last result.
template <typename Call>
auto retryInterrupted(Call&& call) {
    auto result = call();
    while (result < 0 && errno == EINTR) result = call();
    return result;
}

}  // namespace kestrix::platform
