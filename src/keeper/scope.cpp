#include "keeper/scope.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/linux/linux_internal.h"

namespace kestrix::keeper {

namespace {

using Clock = std::chrono::steady_clock;

// What is left until `deadline`, as a bus call's time-out (at least 1 µs:
// 0 would mean the library's default).
uint64_t usecUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint64_t>(left) : 1;
}

// Whether our cgroup lies below this user's manager (user@UID.service).
std::string ownCgroup() {
    return platform::unifiedCgroup(platform::readWholeFile("/proc/self/cgroup"));
}

bool underUserManager() {
    const std::string manager = "/user@" + std::to_string(::getuid()) + ".service/";
    return ownCgroup().find(manager) != std::string::npos;
}

bool inScope() {
    return ownCgroup().ends_with(std::string("/") + kScopeName);
}

// The manager's own socket: no message bus needed between us.
sd_bus* connectToManager() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') return nullptr;
    const std::string socket = std::string(runtime) + "/systemd/private";
    struct stat st {};
    if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid())
        return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, ("unix:path=" + socket).c_str()) < 0 || sd_bus_start(bus) < 0)
        return sd_bus_unref(bus);
    return bus;
}

// Whether the manager has taken us (its authentication done) by
// `deadline`. A call would wait for that without a bound: a manager that
// takes connections and never answers would hold the keeper, and so the
// launch, for good.
bool ready(sd_bus* bus, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        if (const int r = sd_bus_is_ready(bus); r != 0) return r > 0;
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return false;
        if (processed == 0) sd_bus_wait(bus, usecUntil(deadline));
    }
    return false;
}

// StartTransientUnit for this process; the error's name on failure.
int startScope(sd_bus* bus, std::chrono::milliseconds grace, Clock::time_point deadline,
               sd_bus_error* error) {
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_call(
        bus, &call, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
        "org.freedesktop.systemd1.Manager", "StartTransientUnit");
    if (r >= 0) r = sd_bus_message_append(call, "ss", kScopeName, "fail");
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "(sv)");
    if (r >= 0)
        r = sd_bus_message_append(
            call, "(sv)(sv)(sv)(sv)(sv)", "Description", "s", "Kestrix V3 Backend service", "PIDs",
            "au", 1, static_cast<uint32_t>(::getpid()), "KillMode", "s", "control-group",
            "TimeoutStopUSec", "t", static_cast<uint64_t>(grace.count()) * 1000, "CollectMode", "s",
            "inactive-or-failed");
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_message_append(call, "a(sa(sv))", 0);
    if (r >= 0) r = sd_bus_call(bus, call, usecUntil(deadline), error, &reply);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return r;
}

// One call to the manager, within `deadline`.
int callManager(sd_bus* bus, Clock::time_point deadline, const char* method, const char* types,
                const char* a, const char* b = nullptr) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.systemd1",
                                           "/org/freedesktop/systemd1",
                                           "org.freedesktop.systemd1.Manager", method);
    if (r >= 0) r = b ? sd_bus_message_append(call, types, a, b) : sd_bus_message_append(call, types, a);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (r >= 0) r = sd_bus_call(bus, call, usecUntil(deadline), &error, nullptr);
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
    return r;
}

// Stops the unit of that name and waits, until `deadline`, for it to go.
void stopLeftScope(sd_bus* bus, Clock::time_point deadline) {
    callManager(bus, deadline, "StopUnit", "ss", kScopeName, "replace");
    while (Clock::now() < deadline && callManager(bus, deadline, "GetUnit", "s", kScopeName) >= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

bool joinScope(std::chrono::milliseconds grace, Clock::time_point deadline) {
    if (!underUserManager()) return false;
    sd_bus* bus = connectToManager();
    if (!bus) return false;
    if (!ready(bus, deadline)) {
        sd_bus_close_unref(bus);
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = startScope(bus, grace, deadline, &error);
    if (r < 0 && sd_bus_error_has_name(&error, "org.freedesktop.systemd1.UnitExists")) {
        // Left by a keeper that was killed: what it held goes first.
        sd_bus_error_free(&error);
        stopLeftScope(bus, deadline);
        r = startScope(bus, grace, deadline, &error);
    }
    sd_bus_error_free(&error);
    sd_bus_close_unref(bus);  // no flush: it would wait on a manager that never answers
    if (r < 0) return false;
    // The move is the manager's job; it is done when our cgroup says so.
    while (Clock::now() < deadline) {
        if (inScope()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace kestrix::keeper
