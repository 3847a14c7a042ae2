#include "backend/service_record.h"

#include <algorithm>
#include <cstdint>
#include <sstream>

#include "platform/text.h"

namespace kestrix {

namespace {

// A decimal number from `least` up to `most`, digits only; else -1.
long long number(std::string_view text, long long least, long long most) {
    const auto n = platform::decimal(text, static_cast<unsigned long long>(most));
    return n && *n >= static_cast<unsigned long long>(least) ? static_cast<long long>(*n) : -1;
}

bool madeOf(std::string_view text, std::string_view allowed) {
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return allowed.find(c) != std::string_view::npos; });
}

constexpr std::string_view kHex = "0123456789abcdef";

}  // namespace

ServiceRecord parseServiceRecord(std::string_view text) {
    ServiceRecord record;
    constexpr long long kMaxPid = INT32_MAX, kMaxTime = INT64_MAX;
    platform::forEachLine(text, [&](std::string_view line) {
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return;
        const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        record.present = true;
        if (key == "keeper") record.keeper = number(value, 2, kMaxPid);
        if (key == "keeperStart") record.keeperStart = number(value, 0, kMaxTime);
        if (key == "pid") record.pid = number(value, 2, kMaxPid);
        if (key == "boot") record.boot = value;
        if (key == "scope")
            record.scope = value.size() <= 255 && value.ends_with(".scope") &&
                                   madeOf(value,
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOP"
                                          "QRSTUVWXYZ0123456789:-_.")
                               ? std::string(value)
                               : "";
        if (key == "cgroup")
            record.cgroup =
                static_cast<unsigned long long>(std::max(0LL, number(value, 1, kMaxTime)));
        if (key == "mark")
            record.mark = value.size() == 32 && madeOf(value, kHex) ? std::string(value) : "";
    });
    return record;
}

std::string formatServiceRecord(const ServiceRecord& r) {
    std::ostringstream text;
    text << "keeper=" << r.keeper << "\nkeeperStart=" << r.keeperStart << "\npid=" << r.pid
         << "\nboot=" << r.boot << "\nscope=" << r.scope << "\ncgroup=" << r.cgroup
         << "\nmark=" << r.mark << "\n";
    return text.str();
}

}  // namespace kestrix
