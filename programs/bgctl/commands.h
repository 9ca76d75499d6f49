/*
 * bgctl's commands and what they share: the parsed command line, the exit
 * statuses, and finding the service.
 */
#ifndef BGCTL_COMMANDS_H
#define BGCTL_COMMANDS_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <android/binder_auto_utils.h>
#include <bgs/service_manager.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bgctl {

inline constexpr const char* kDefaultService = "vendor.tolvek.hardware.aidlbgservice.IBGService/default";

// Exit statuses, documented in the help text.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailedStatus = 1,  // the service answered with a failed status, or died
    kExitUsage = 2,         // the command line is wrong
    kExitNoService = 3,     // the service cannot be reached (not served, permission denied, registry
                            // unusable, no answer) or serves another interface
};

struct Options {
    std::string service = kDefaultService;
    std::optional<int32_t> waitMs;  // absent: look the service up once
    int32_t timeoutMs = 5000;       // the deadline of each call to a service
    bool json = false;
    bool gallery = false;  // listen: setGalleryEventCallback instead of setEventCallback
    int32_t value = 0;     // listen: the registration's value
    std::string command;
    std::vector<std::string> args;  // after the command name
};

// The binder served under options.service, looked up once or waited for up
// to --wait. Null after saying on stderr why: not served, served by a process
// that does not answer, permission denied, or the registry unusable, naming
// the registry directory. *found (when not null) receives the registry's
// report (the serving pid and uid on success).
::ndk::SpAIBinder lookUpService(const Options& options, BgsRegistryReport* found = nullptr);

// The registry directory this process uses.
std::string registryDirectoryPath();

// The IBGService behind `binder`; null when the binder is null or, after
// saying so on stderr, when it serves another interface.
std::shared_ptr<::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService> asBGService(
        const Options& options, const ::ndk::SpAIBinder& binder);

// The description of a plain status code, as AStatus_getDescription gives it.
std::string describeStatus(binder_status_t status);

// Each returns the exit status; a usage error has already been reported
// when one returns kExitUsage.
int runList(const Options& options);
int runDescribe(const Options& options);
int runCall(const Options& options);
int runListen(const Options& options);
int runDump(const Options& options);
int runShell(const Options& options);

// "bgctl: <message>" and a pointer to the help, on stderr; kExitUsage.
int usageError(const std::string& message, const std::string& command = "");

}  // namespace bgctl

#endif  // BGCTL_COMMANDS_H
