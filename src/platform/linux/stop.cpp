#include "platform/linux/stop.h"

#include <signal.h>

#include <thread>

namespace kestrix::platform {

bool stopProcesses(const StopRound& round) {
    for (const auto& p : round.find())
        if (p.pid > 1 && !(round.alreadyAsked && round.alreadyAsked(p))) ::kill(p.pid, SIGTERM);
    for (;;) {
        if (round.eachRound) round.eachRound();
        const auto left = round.find();
        if (left.empty()) return true;
        const auto now = Clock::now();
        if (now >= round.giveUp) return false;
        if (now >= round.deadline)
            for (const auto& p : left)
                if (p.pid > 1) ::kill(p.pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stopKnownProcesses(const std::vector<ProcessInfo>& processes, Clock::duration grace) {
    if (processes.empty()) return;
    StopRound round;
    round.find = [&processes] {
        std::vector<ProcessInfo> left;
        for (const auto& p : processes)
            if (const auto now = processInfo(p.pid);
                now && now->alive() && now->startTime == p.startTime)
                left.push_back(*now);
        return left;
    };
    round.deadline = Clock::now() + grace;
    round.giveUp = round.deadline + std::chrono::seconds(1);
    stopProcesses(round);
}

}  // namespace kestrix::platform
