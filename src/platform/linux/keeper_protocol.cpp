#include "platform/linux/keeper_protocol.h"

#include <cerrno>
#include <cstring>

#include "platform/linux/linux_internal.h"

namespace kestrix::keeper {

std::optional<Message> decode(std::string_view packet) {
    Message message{};
    if (packet.size() != sizeof message) return std::nullopt;
    std::memcpy(&message, packet.data(), sizeof message);
    if (message.kind < kStarted || message.kind > kEnded) return std::nullopt;
    return message;
}

Reports::Told Reports::take(std::string_view packet) {
    const auto message = decode(packet);
    if (!answered) {
        // Started, with a real id; anything else fails the start, and
        // always with an error to tell.
        answered = true;
        if (message && message->kind == kStarted && message->value > 0) {
            pid = message->value;
        } else {
            startError =
                message && message->kind == kFailed && message->value > 0 ? message->value : EPROTO;
        }
        return Told::nothing;
    }
    if (!message || pid <= 0 || status) return Told::nothing;
    if (message->kind == kEnded && !ended) {
        ended = true;
        return Told::ended;
    }
    if (message->kind != kExited) return Told::nothing;
    ended = true;
    status = message->value;
    return Told::exited;
}

std::optional<Arguments> parseArguments(const std::vector<std::string>& argv) {
    // GRACE_MS setsid|direct PGREP SCOPE EXECUTABLE [ARGUMENT...], the
    // grace at most ten minutes.
    if (argv.size() < 5 || (argv[1] != "setsid" && argv[1] != "direct") || argv[2].empty() ||
        argv[3].empty() || argv[4].empty())
        return std::nullopt;
    const auto grace = platform::decimal(argv[0], 600000);
    if (!grace) return std::nullopt;
    return Arguments{
        std::chrono::milliseconds(*grace), argv[1] == "setsid", argv[2], argv[3], argv[4],
        {argv.begin() + 5, argv.end()}};
}

}  // namespace kestrix::keeper
