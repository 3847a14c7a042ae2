#include "backend/instance_guard.h"

#include <chrono>
#include <thread>

#include "app/settings.h"
#include "backend/service_record.h"
#include "platform/diagnostics.h"
#include "platform/processes.h"

namespace kestrix {

namespace {

// The record; nothing unless it is a regular file of ours.
ServiceRecord readRecord(const std::string& path) {
    return parseServiceRecord(platform::readOwnFile(path, 4096).value_or(""));
}

// Whether the recorded keeper has ended (or ends by `deadline`).
bool keeperGone(const ServiceRecord& record, platform::Clock::time_point deadline) {
    for (;;) {
        const auto info = record.keeper >= 2
                              ? platform::processInfo(static_cast<pid_t>(record.keeper))
                              : std::nullopt;
        if (!info || !info->alive() ||
            info->startTime != static_cast<unsigned long long>(record.keeperStart))
            return true;
        if (platform::Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

InstanceGuard::InstanceGuard(const std::vector<std::string>& candidates,
                             platform::Clock::duration grace)
    : grace_(grace) {
    for (const auto& dir : candidates)
        if (platform::privateDirectory(dir)) {
            dir_ = dir;
            break;
        }
}

bool InstanceGuard::holdLock() {
    if (lock_ || dir_.empty()) return true;
    bool unusable = false;
    lock_ = platform::lockExclusively(dir_ + "/instance.lock", unusable);
    if (unusable) platform::warn("%s/instance.lock cannot be used; not locked", dir_.c_str());
    return lock_ || unusable;
}

void InstanceGuard::record(const platform::KeptTask& task, const std::string& mark) {
    const auto keeper = platform::processInfo(task.keeperIdentifier());
    if (dir_.empty() || !keeper) return;
    ServiceRecord record;
    record.keeper = keeper->pid;
    record.keeperStart = static_cast<long long>(keeper->startTime);
    record.pid = task.processIdentifier();
    record.boot = platform::bootId();
    const platform::Scope scope = task.scope();
    record.scope = scope.unit;
    record.cgroup = scope.cgroupId;
    record.mark = mark;
    // Without it, a later start could not stop what this launch leaves if
    // the program is killed: said, and the launch goes on.
    if (!platform::writeFileAtomically(recordPath(), formatServiceRecord(record)))
        platform::warn(
            "%s cannot be written; should the program be killed, "
            "the next start cannot stop what this service leaves",
            recordPath().c_str());
}

void InstanceGuard::forget(pid_t pid) {
    if (!dir_.empty() && readRecord(recordPath()).pid == pid) platform::removeFile(recordPath());
}

bool InstanceGuard::launchRecorded() const {
    return !dir_.empty() && readRecord(recordPath()).present;
}

void InstanceGuard::stopLeftovers() {
    if (dir_.empty()) return;
    const ServiceRecord record = readRecord(recordPath());
    if (!record.present) return;
    // Of another boot, nothing it names is there any more.
    if (!record.boot.empty() && record.boot == platform::bootId()) {
        // A killed program's keeper has seen its lifeline cut and is
        // stopping everything below it; should it not be done in time, it
        // still holds that, and the record stays for the next start.
        if (!keeperGone(record, platform::Clock::now() + grace_ + std::chrono::seconds(1))) return;
        platform::stopScope({record.scope, record.cgroup}, grace_);
        if (!record.mark.empty())
            platform::stopMarkedProcesses(std::string(kLaunchMarkVariable) + "=" + record.mark,
                                          grace_);
    }
    platform::removeFile(recordPath());
}

}  // namespace kestrix
