/*
 * What bgctl learns of any served binder through the runtime's public API
 * alone, whatever its interface: its descriptor, whether it answers a ping,
 * and its interface version and hash (the fixed query codes every interface
 * of the package answers). Every call runs under one deadline.
 */
#ifndef BGCTL_SERVICE_PROBE_H
#define BGCTL_SERVICE_PROBE_H

#include <android/binder_auto_utils.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace bgctl {

using Deadline = std::chrono::steady_clock::time_point;

// Milliseconds left until `deadline`, at least 1 (a call gets a chance).
int32_t millisecondsLeft(Deadline deadline);

struct ServiceFacts {
    bool answers = false;    // a ping came back before the deadline
    std::string descriptor;  // as the serving process sent it; empty when unknown
    std::optional<int32_t> version;
    std::optional<std::string> hash;
};

// A class for `descriptor`, defined once per descriptor for the process:
// associating it with a remote binder of that descriptor lets bgctl send it
// requests whose header names the interface.
AIBinder_Class* classFor(const std::string& descriptor);

// Pings `binder` and asks its version (and hash, when `withHash`), each
// call bounded by `deadline`. A query that fails leaves its field empty.
ServiceFacts examine(const ::ndk::SpAIBinder& binder, Deadline deadline, bool withHash);

}  // namespace bgctl

#endif  // BGCTL_SERVICE_PROBE_H
