// What the cross-process tests share: child processes that run named roles
// and whose checks reach the parent, descriptors and waits with deadlines, a
// probe IBGService and a recording IEventCallback, and a raw binder class
// that hands binders back and forth.
//
// The test process itself takes part: it is the client of services that run
// in children, or the service of clients that run in children, whichever
// side a test observes. Each child is the test binary executed afresh to run
// one role (a fresh runtime, no threads of the test process), and leaves
// with _exit.
#ifndef BGS_TESTS_PROCESS_TEST_SUPPORT_H
#define BGS_TESTS_PROCESS_TEST_SUPPORT_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace bgs_process_test {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BnBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::BnEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How long anything a test waits for may take. Far above what the machine
// needs, so running out means it did not happen.
inline constexpr Millis kPatience{10000};

// ---- Descriptors ----

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A pipe; both ends close on exec.
struct Pipe {
    Pipe();
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

bool writeAll(int fd, const void* data, size_t size);
// One line; a line under PIPE_BUF arrives whole even with several writers.
bool sendLine(int fd, const std::string& line);

// Reads newline-terminated lines, each within a deadline.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    // The next line without its newline; nullopt at the end of the stream or
    // when `timeout` passes first.
    std::optional<std::string> next(Millis timeout = kPatience);

  private:
    int fd_;
    std::string buffer_;
};

// Everything read from `fd` until all its writers are gone, or until
// `timeout` passes (then *complete is false).
std::string readToEnd(int fd, Millis timeout, bool* complete);

// Takes one byte from `fd` within `timeout`. Several processes may wait on
// one pipe: each byte releases exactly one of them.
bool takeByte(int fd, Millis timeout = kPatience);

// Entries of /proc/self/fd.
size_t openDescriptorCount();

// Starts the program at `path` with `args` after its name and this process's
// environment: stdin from /dev/null, stdout and stderr on the descriptors
// given (which may be one). Its pid; -1, with a test failure, when it cannot
// start. The caller reaps it.
pid_t spawnProgram(const char* path, const std::vector<std::string>& args, int stdoutFd, int stderrFd);

// ---- Waiting on state ----

// A count that other threads raise and one thread waits on.
class Counter {
  public:
    void add(int amount = 1);
    int value() const;
    // Whether the count reached `target` within `timeout`.
    bool waitFor(int target, Millis timeout = kPatience) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int value_ = 0;
};

// Re-checks `condition` until it holds or `timeout` passes. Only for state
// that announces no change of its own (a binder's reference count).
bool eventually(const std::function<bool()>& condition, Millis timeout = kPatience);

// ---- Child processes ----

// The checks a child makes. gtest's assertions would be lost in a child, so
// each failed check becomes a line of the report the parent fails the test
// with.
class ChildChecks {
  public:
    bool expect(bool ok, const std::string& what) {
        if (!ok) report_ += what + "\n";
        return ok;
    }
    const std::string& report() const { return report_; }

  private:
    std::string report_;
};
#define CHILD_EXPECT(checks, condition) \
    (checks).expect((condition), std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #condition)

// ---- Roles: what a child process does ----
//
// A child's work is a role: a function registered by name in the binary's
// role table (BGS_TEST_ROLE). A child is this test binary started afresh
// (fork and exec, through posix_spawn) with the flag --bgs-test-role=NAME;
// the binary's main (test_main.cpp) then runs the role instead of the tests.
// Nothing of the test process reaches the child but its environment, its
// standard streams and what the role's arguments carry: text, numbers and
// descriptors handed over one by one (HandOver).

// The arguments a role was started with. A missing or malformed argument
// throws, and the exception becomes the child's report.
class RoleArgs {
  public:
    explicit RoleArgs(std::vector<std::string> values) : values_(std::move(values)) {}
    size_t size() const { return values_.size(); }
    const std::string& text(size_t index) const;
    // A whole number, the whole argument.
    int64_t number(size_t index) const;
    // A descriptor handed over: its number in this process (-1 for none).
    int fd(size_t index) const { return static_cast<int>(number(index)); }

  private:
    std::vector<std::string> values_;
};

// A role: returns its failure report, "" when all went well.
using RoleBody = std::string (*)(const RoleArgs& args);

// Enters a role into the table at static initialisation; two roles of one
// name end the program before anything runs.
struct RoleRegistrar {
    RoleRegistrar(const char* name, RoleBody body);
};

// Defines the role `name`; the body that follows sees `args`:
//   BGS_TEST_ROLE(echoClient) { return talk(args.text(0), args.fd(1)); }
#define BGS_TEST_ROLE(name)                                                                      \
    std::string bgsTestRole_##name(const ::bgs_process_test::RoleArgs& args);                    \
    const ::bgs_process_test::RoleRegistrar bgsTestRoleEntry_##name(#name, &bgsTestRole_##name); \
    std::string bgsTestRole_##name(const ::bgs_process_test::RoleArgs& args)

// A descriptor of the test process to hand to a child; -1 hands none.
struct HandOver {
    int fd;
};

// One argument of a role as the test gives it: text, a whole number, or a
// descriptor the child gets under a number of its own, which is what the
// role reads there (RoleArgs::fd).
class RoleArg {
  public:
    // Implicit, so that the arguments are written as one braced list.
    RoleArg(std::string text) : text_(std::move(text)) {}
    RoleArg(const char* text) : text_(text) {}
    template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
    RoleArg(Number number) : text_(std::to_string(number)) {}
    RoleArg(HandOver handed) : text_("-1"), handed_(handed.fd) {}

    const std::string& text() const { return text_; }
    // The descriptor to hand over; -1 for plain text.
    int handed() const { return handed_; }

  private:
    std::string text_;
    int handed_ = -1;
};

// Runs the role asked for on the command line, if any, and leaves the
// process with its outcome; returns when the binary was started to run its
// tests. The first thing a test binary's main does.
void runRoleIfAsked(int argc, char** argv);

// Ends a child with `report` as its outcome: the report reaches the parent,
// and the exit status is 0 exactly when it is empty. For a process forked
// from a role, which shares the role's report.
[[noreturn]] void finishRole(std::string report);

// Starts the pool and serves until killed once `publishFailures` (what
// publish() reported) is empty; else returns it. A serving role ends with it.
std::string serve(const std::string& publishFailures);

// A child running `role` with `args`. It leaves with _exit, status 0
// exactly when the role returns an empty report. It dies with the test
// process and on its own after a minute at most.
class ChildProcess {
  public:
    ChildProcess(const std::string& role, const std::vector<RoleArg>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // SIGKILL, then waits until the process is gone (its descriptors and
    // registry entries with it).
    void kill();
    // Waits for the child to end by itself: "" when it succeeded, else its
    // report, how it ended, or that it did not end within `timeout` (it is
    // killed then).
    std::string finish(Millis timeout = kPatience);

  private:
    std::string reap();

    pid_t pid_ = -1;
    UniqueFd pidfd_;
    UniqueFd report_;
    bool reaped_ = true;  // until the child runs
};

// ---- The probe service ----

// Strings of a CallbackData and CallbackInfo carry raw bytes: an embedded
// zero and UTF-8 must survive the trip.
std::string probeText(const std::string& base);
// The records the probe sends; the receiver rebuilds them to compare.
CallbackData probeData(int32_t imageCount, int32_t value, int64_t timestamp, const std::string& text);
CallbackInfo probeInfo(int32_t imageCount, const std::string& text);
// What a RecordingCallback answers to an event, and the probe expects.
std::string answerFor(const std::string& method);

struct ProbeOptions {
    std::string forwardTo;  // where setEventCallback is passed on; empty: served here
    int blockedFd = -1;     // told when setCapabilities blocks
};

/*
 * An IBGService whose every method shows what reached it:
 *   setEventCallback(v, cb)   registers cb for events (null unregisters) and,
 *                             before returning, calls
 *                             cb->notifySnapshotAvailability(v); returns the
 *                             status of that call (0 when it was answered as
 *                             expected). With `forwardTo` set, the call is
 *                             passed on to the service of that name instead.
 *   setGalleryEventCallback(v, cb)  registers cb for gallery events; returns v + 1
 *   setCapabilities(caps)     remembered; kBlockUntilKilled writes the
 *                             line "blocked" to `blockedFd` and never returns
 *   setTimestamps(v, ts)      remembered
 *   setRequstCompleted(n)     event callback: notifyCallback(probeData(n, v,
 *                             ts, caps)), then notifyCallbackInfo(probeInfo(n, caps))
 *   setRequstCompletedImageName(name)  event callback: onCaptureCompleted(name,
 *                             size, caps); gallery callback:
 *                             onCaptureFailed(name, -size, caps)
 *   getGalleryAvailability(v) the caller's pid for kAskCallingPid, uid for
 *                             kAskCallingUid, else 2v
 *   getStorageLoadCompletedStatus(v)  -v
 * A method whose event fails or is answered wrongly fails with
 * EX_ILLEGAL_STATE. The death of a remote event callback is counted.
 */
class ProbeService : public BnBGService {
  public:
    static constexpr const char* kBlockUntilKilled = "block until killed";
    static constexpr int32_t kAskCallingPid = -1;
    static constexpr int32_t kAskCallingUid = -2;

    explicit ProbeService(ProbeOptions options = ProbeOptions());
    ~ProbeService() override;

    ::ndk::UniqueAStatus setCapabilities(const std::string& capabilities) override;
    ::ndk::UniqueAStatus setEventCallback(int32_t value, const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) override;
    ::ndk::UniqueAStatus setRequstCompleted(int64_t value) override;
    ::ndk::UniqueAStatus setGalleryEventCallback(int32_t value, const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getGalleryAvailability(int32_t value, int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getStorageLoadCompletedStatus(int32_t value, int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setRequstCompletedImageName(const std::string& imageName) override;
    // Writes "probe dump" and the arguments to `fd`.
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) override;
    // Writes "out" and the arguments to `out`, then copies `in` to it until
    // its end; writes "err" and the arguments to `err`.
    binder_status_t handleShellCommand(int in, int out, int err, const char** argv, uint32_t argc) override;

    // Methods served so far.
    int callsServed() const { return calls_.load(); }
    // Deaths of registered event callbacks.
    Counter callbackDeaths;
    // Statuses of event calls that failed, in order.
    std::vector<binder_status_t> eventFailures() const;
    Counter eventFailureCount;

  private:
    static void onCallbackDied(void* cookie);
    // Calls one event: STATUS_OK when answered with answerFor(method), else
    // the failure (STATUS_BAD_VALUE for a wrong answer), which is recorded.
    binder_status_t deliver(const std::shared_ptr<IEventCallback>& callback, const char* method,
                                 const std::function<::ndk::UniqueAStatus(IEventCallback&, std::string*)>& call);
    std::shared_ptr<IEventCallback> eventCallback();

    const ProbeOptions options_;
    std::atomic<int> calls_{0};
    ::ndk::ScopedAIBinder_DeathRecipient recipient_;
    mutable std::mutex mutex_;
    std::shared_ptr<IEventCallback> events_;
    ::ndk::SpAIBinder linked_;  // the remote event callback's binder the recipient is linked to
    std::shared_ptr<IEventCallback> gallery_;
    std::string capabilities_;
    int32_t timestampValue_ = 0;
    int64_t timestamp_ = 0;
    std::vector<binder_status_t> failures_;
};

// ---- The recording callback ----

struct ReceivedEvent {
    std::string method;
    int32_t value = 0;
    std::string first;
    std::string second;
    std::optional<CallbackData> data;
    std::optional<CallbackInfo> info;
    std::thread::id thread;
    pid_t callingPid = 0;
};

// Records every event and answers answerFor(method). `hook` (set before the
// object is shared) runs first on each event, on the delivering thread.
class RecordingCallback : public BnEventCallback {
  public:
    // `destroyed` (optional) is raised when the object is destroyed.
    explicit RecordingCallback(std::shared_ptr<Counter> destroyed = nullptr);
    ~RecordingCallback() override;

    ::ndk::UniqueAStatus notifyCallback(const CallbackData& data, std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifySnapshotAvailability(int32_t value, std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifyCallbackInfo(const CallbackInfo& info, std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value, const std::string& second,
                                            std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureFailed(const std::string& first, int32_t value, const std::string& second,
                                         std::string* _aidl_return) override;

    std::vector<ReceivedEvent> events() const;
    // The latest event; nullopt before the first.
    std::optional<ReceivedEvent> last() const;

    std::function<void(const ReceivedEvent&)> hook;

  private:
    ::ndk::UniqueAStatus record(ReceivedEvent event, std::string* answer);

    const std::shared_ptr<Counter> destroyed_;
    mutable std::mutex mutex_;
    std::vector<ReceivedEvent> events_;
};

// ---- Raw objects: binders in, binders out ----

// The two interfaces never hand a binder from service to client, nor back;
// this raw class does. Its server makes "tokens", local binders whose
// creations and destructions a ledger counts.
namespace objects {
inline constexpr transaction_code_t kEchoBinder = FIRST_CALL_TRANSACTION;       // a binder in, the same out
inline constexpr transaction_code_t kNewToken = FIRST_CALL_TRANSACTION + 1;     // a new token out
inline constexpr transaction_code_t kSharedToken = FIRST_CALL_TRANSACTION + 2;  // the shared token out
}  // namespace objects

struct TokenLedger {
    std::atomic<int> created{0};
    Counter destroyed;
};

// A new server binder; its tokens are counted in `ledger`.
::ndk::SpAIBinder newObjectsServer(const std::shared_ptr<TokenLedger>& ledger);
// A new token counted in `ledger`.
::ndk::SpAIBinder newToken(const std::shared_ptr<TokenLedger>& ledger);
// Makes kSharedToken answer `token` for as long as anyone else holds it; the
// server itself keeps only a weak reference.
void shareToken(AIBinder* server, AIBinder* token);
// Calls `code` on a server binder (local or remote) with `argument` (may be
// null); the binder of the reply lands in *result.
binder_status_t callObjects(AIBinder* server, transaction_code_t code, AIBinder* argument, ::ndk::SpAIBinder* result);

// ---- The fixture ----

// Arms a per-test alarm, owns the test's children and kills those still
// running at its end. Names given to the registry are unique per test: the
// registry directory is the test process's own, shared by all its tests.
class ProcessTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A child running `role` (BGS_TEST_ROLE) with `args`.
    ChildProcess& spawn(const std::string& role, const std::vector<RoleArg>& args = {});
    // A child serving a ProbeService with `options` under `name`.
    ChildProcess& spawnProbe(const std::string& name, ProbeOptions options = ProbeOptions());
    std::string uniqueName(const std::string& role);

  private:
    std::vector<std::unique_ptr<ChildProcess>> children_;
    int nameCounter_ = 0;
};

// Publishes `binder` under `name`: "" or a failure report.
std::string publish(const ::ndk::SpAIBinder& binder, const std::string& name);

// The service served under `name`, waiting for it to be published; empty
// (and a test failure naming `server`'s report) when it is not.
::ndk::SpAIBinder waitForBinder(const std::string& name, ChildProcess* server = nullptr);
std::shared_ptr<IBGService> waitForProbe(const std::string& name, ChildProcess* server = nullptr);

}  // namespace bgs_process_test

#endif  // BGS_TESTS_PROCESS_TEST_SUPPORT_H
