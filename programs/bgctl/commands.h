/*
 * bgctl's commands and what they share: the parsed command line, the exit
 * statuses, and finding the service.
 */
#ifndef BGCTL_COMMANDS_H
#define BGCTL_COMMANDS_H

#include "methods.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <android/binder_auto_utils.h>
#include <bgs/service_manager.h>

#include <bgs/scoped_call_timeout.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bgctl {

inline constexpr const char* kDefaultService = "vendor.tolvek.hardware.aidlbgservice.IBGService/default";
inline constexpr int32_t kDefaultTimeoutMs = 5000;

// $BGS_SERVICE when set and not empty, else kDefaultService.
std::string defaultService();

// Exit statuses, documented in the help text.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailedStatus = 1,  // the service answered with a failed status, or died
    kExitUsage = 2,         // the command line is wrong
    kExitNoService = 3,     // the service cannot be reached (not served, permission denied, registry
                            // unusable) or serves another interface
    kExitTimedOut = 4,      // the service did not answer within --timeout (or --wait)
};

struct Options {
    std::string service = defaultService();
    std::optional<int32_t> waitMs;  // absent: look the service up once
    // The deadline of each request to the service, the look-up included
    // when there is no --wait; 0 for none.
    int32_t timeoutMs = kDefaultTimeoutMs;
    bool json = false;
    bool gallery = false;  // listen: setGalleryEventCallback instead of setEventCallback
    int32_t value = 0;     // listen: the registration's value
    std::optional<int32_t> pid;  // monitor: the process to watch
    std::vector<std::string> defs;  // --defs: definition files, in the order given
    std::string interfaceName;      // --interface: the interface to use, by name or descriptor
    std::string command;
    std::vector<std::string> args;  // after the command name
};

// The binder served under options.service, looked up once or waited for up
// to --wait. A look-up of a name that is served but whose process does not
// answer ends after --timeout (or --wait). Null on failure, with *failure
// (when given) set to kExitNoService after saying on stderr why (not served,
// permission denied, the registry unusable, naming the registry directory),
// or to kExitTimedOut, which the caller reports with timedOut(); without
// `failure` both are said here. *found (when not null) receives the
// registry's report (the serving pid and uid on success).
::ndk::SpAIBinder lookUpService(const Options& options, int* failure = nullptr, BgsRegistryReport* found = nullptr);

// The registry directory this process uses.
std::string registryDirectoryPath();

// lookUpService for a request called `what`: null after saying why on
// stderr ("WHAT: no answer within ..." for a look-up that timed out), with
// *exitStatus set.
::ndk::SpAIBinder lookUpFor(const Options& options, const std::string& what, int* exitStatus);

// Sets the calling thread's call deadline to --timeout for the scope.
inline ::bgs::ScopedCallTimeout callDeadline(const Options& options) {
    // No deadline is a deadline past any run of bgctl.
    return ::bgs::ScopedCallTimeout(std::chrono::milliseconds(options.timeoutMs > 0 ? options.timeoutMs : INT32_MAX));
}

// Whether a call's status says that its deadline passed.
inline bool isTimedOut(const ::ndk::UniqueAStatus& status) {
    return status.getExceptionCode() == EX_TRANSACTION_FAILED && status.getStatus() == STATUS_TIMED_OUT;
}

// "WHAT: no answer within N ms (--timeout)" on stderr; kExitTimedOut. A
// look-up waited for with --wait names that limit instead.
int timedOut(const Options& options, const std::string& what, bool lookUp = false);

// The IBGService behind `binder`; null when the binder is null or, after
// saying so on stderr, when it serves another interface.
std::shared_ptr<::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService> asBGService(
        const Options& options, const ::ndk::SpAIBinder& binder);

// The interfaces of descriptor `descriptor` among the --defs files (or the
// built-in definition's, for a descriptor none of them defines), without
// them IBGService of the built-in definition; --interface narrows them.
std::vector<InterfaceRef> interfaceCandidates(const Options& options, const std::string& descriptor);

// Of several candidates, keeps those of the service's `version` when there
// are any (versions of one interface loaded side by side).
void narrowByVersion(std::optional<int32_t> version, std::vector<InterfaceRef>* candidates);

// The interface that `binder` serves, among the --defs files (without them
// IBGService of the built-in definition), with `binder` associated with a
// class of its descriptor so that requests can be sent to it. Several
// definitions of one descriptor are told apart by the service's version.
// Absent after saying why on stderr, with *exitStatus set: kExitNoService
// when no definition has the interface, kExitUsage when several do.
std::optional<InterfaceRef> servedInterface(const Options& options, const ::ndk::SpAIBinder& binder,
                                            int* exitStatus);

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
int runMonitor(const Options& options);

// Blocks SIGINT and SIGTERM in the calling thread, and so in the threads it
// starts later (the runtime's), and returns a signalfd that reads them; -1
// on failure.
int stopSignalFd();

// "bgctl: <message>" and a pointer to the help, on stderr; kExitUsage.
int usageError(const std::string& message, const std::string& command = "");

}  // namespace bgctl

#endif  // BGCTL_COMMANDS_H
