#include "platform/linux/scope.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/linux/linux_internal.h"

namespace kestrix::platform {

namespace {

struct BusClose {
    // No flush: it would wait on a manager that never answers.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using BusMessage = std::unique_ptr<sd_bus_message, MessageUnref>;

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

// What is left until `deadline`, as a bus call's time-out (at least 1 µs:
// 0 would mean the library's default).
uint64_t usecUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint64_t>(left) : 1;
}

std::string ownCgroup() {
    return unifiedCgroup(readWholeFile("/proc/self/cgroup"));
}

// The manager's own socket, its handshake done by `deadline`: no message
// bus between us. A call would wait for the handshake without a bound, and
// a manager that takes connections and never answers would hold us for
// good.
Bus connectToManager(Clock::time_point deadline) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') return nullptr;
    const std::string socket = std::string(runtime) + "/systemd/private";
    struct stat st {};
    if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid())
        return nullptr;
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return nullptr;
    Bus bus(raw);
    if (sd_bus_set_address(raw, ("unix:path=" + socket).c_str()) < 0 || sd_bus_start(raw) < 0)
        return nullptr;
    while (Clock::now() < deadline) {
        if (const int r = sd_bus_is_ready(raw); r != 0) return r > 0 ? std::move(bus) : nullptr;
        const int processed = sd_bus_process(raw, nullptr);
        if (processed < 0) return nullptr;
        if (processed == 0) sd_bus_wait(raw, usecUntil(deadline));
    }
    return nullptr;
}

BusMessage managerCall(sd_bus* bus, const char* method) {
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.systemd1",
                                   "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                   method);
    return BusMessage(raw);
}

// Sends `call` and waits for its answer until `deadline`; the reply, or
// none (the error's name in `error`).
BusMessage send(sd_bus* bus, const BusMessage& call, Clock::time_point deadline, BusError& error) {
    sd_bus_message* reply = nullptr;
    if (!call || sd_bus_call(bus, call.get(), usecUntil(deadline), &error.error, &reply) < 0)
        return nullptr;
    return BusMessage(reply);
}

// The object path of the loaded unit `unit`; empty where there is none.
std::string unitPath(sd_bus* bus, const std::string& unit, Clock::time_point deadline) {
    BusMessage call = managerCall(bus, "GetUnit");
    if (!call || sd_bus_message_append(call.get(), "s", unit.c_str()) < 0) return {};
    BusError error;
    const BusMessage reply = send(bus, call, deadline, error);
    const char* path = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) return {};
    return path;
}

// The control group the manager gives for the scope at `path`.
std::string controlGroup(sd_bus* bus, const std::string& path, Clock::time_point deadline) {
    sd_bus_message* raw = nullptr;
    sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.systemd1", path.c_str(),
                                   "org.freedesktop.DBus.Properties", "Get");
    const BusMessage call(raw);
    if (!call || sd_bus_message_append(call.get(), "ss", "org.freedesktop.systemd1.Scope",
                                       "ControlGroup") < 0)
        return {};
    BusError error;
    const BusMessage reply = send(bus, call, deadline, error);
    const char* group = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "v", "s", &group) < 0 || !group) return {};
    return group;
}

// The id of the control group at `path` (as /proc/PID/cgroup names it): its
// directory's inode in the cgroup2 hierarchy; 0 where there is none.
unsigned long long cgroupId(const std::string& path) {
    const std::string mount = cgroup2MountPoint(readWholeFile("/proc/self/mountinfo"));
    struct stat st {};
    if (mount.empty() || path.empty() || ::stat((mount + path).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return 0;
    return st.st_ino;
}

}  // namespace

bool joinScope(const std::string& unit, std::chrono::milliseconds grace,
               Clock::time_point deadline) {
    // Only below this user's manager (user@UID.service) is there one to ask.
    const std::string manager = "/user@" + std::to_string(::getuid()) + ".service/";
    if (ownCgroup().find(manager) == std::string::npos) return false;
    const Bus bus = connectToManager(deadline);
    if (!bus) return false;
    BusMessage call = managerCall(bus.get(), "StartTransientUnit");
    int r = call ? 0 : -1;
    if (r >= 0) r = sd_bus_message_append(call.get(), "ss", unit.c_str(), "fail");
    if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "(sv)");
    if (r >= 0)
        r = sd_bus_message_append(
            call.get(), "(sv)(sv)(sv)(sv)(sv)", "Description", "s", "Kestrix V3 Backend service",
            "PIDs", "au", 1, static_cast<uint32_t>(::getpid()), "KillMode", "s", "control-group",
            "TimeoutStopUSec", "t", static_cast<uint64_t>(grace.count()) * 1000, "CollectMode", "s",
            "inactive-or-failed");
    if (r >= 0) r = sd_bus_message_close_container(call.get());
    if (r >= 0) r = sd_bus_message_append(call.get(), "a(sa(sv))", 0);
    BusError error;
    if (r < 0 || !send(bus.get(), call, deadline, error)) return false;
    // The move is the manager's job; it is done when our cgroup says so.
    while (Clock::now() < deadline) {
        if (ownCgroup().ends_with("/" + unit)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

Scope scopeOf(pid_t pid, const std::string& unit) {
    const std::string group =
        unifiedCgroup(readWholeFile("/proc/" + std::to_string(pid) + "/cgroup"));
    if (unit.empty() || !group.ends_with("/" + unit)) return {};
    return {unit, cgroupId(group)};
}

bool stopScope(const Scope& scope, Clock::duration grace) {
    if (!scope) return false;
    const auto deadline = Clock::now() + grace + std::chrono::seconds(1);
    const Bus bus = connectToManager(deadline);
    if (!bus) return false;
    // Only the unit of that name whose control group is still the recorded
    // one: a name, once free, can be taken again.
    const std::string path = unitPath(bus.get(), scope.unit, deadline);
    if (path.empty() || cgroupId(controlGroup(bus.get(), path, deadline)) != scope.cgroupId)
        return false;
    BusMessage call = managerCall(bus.get(), "StopUnit");
    BusError error;
    if (!call || sd_bus_message_append(call.get(), "ss", scope.unit.c_str(), "replace") < 0 ||
        !send(bus.get(), call, deadline, error))
        return false;
    while (Clock::now() < deadline) {
        if (unitPath(bus.get(), scope.unit, deadline).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace kestrix::platform
