// The record of a running service, as the file in the runtime directory
// holds it: one "key=value" line a field.
#pragma once

#include <string>
#include <string_view>

namespace kestrix {

struct ServiceRecord {
    // -1 where the field is missing or not a number of its range: ids from
    // 2 to 2^31-1, start times from 0.
    long long keeper = -1, keeperStart = -1, pid = -1;
    std::string boot;
    // The scope unit that held the launch, and its control group's id;
    // empty and 0 for none (or a name that is not a scope unit's).
    std::string scope;
    unsigned long long cgroup = 0;
    // The launch's mark: 32 hex digits, else empty.
    std::string mark;
    bool present = false;  // any field at all

    bool operator==(const ServiceRecord&) const = default;
};

// Unknown keys and lines without '=' are passed over; of a key given twice
// the last counts.
ServiceRecord parseServiceRecord(std::string_view text);
std::string formatServiceRecord(const ServiceRecord& record);

}  // namespace kestrix
