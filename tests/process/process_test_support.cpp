#include "process_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace bgs_process_test {
namespace {

using ::ndk::SpAIBinder;
using ::ndk::UniqueAStatus;

// A child that outlives this (a test that lost track of it) ends itself.
constexpr unsigned kChildLifetimeSeconds = 60;
// A test that takes longer than this has hung; the alarm ends the process.
constexpr unsigned kTestAlarmSeconds = 45;
constexpr size_t kMaxReportBytes = 16 * 1024;  // under a pipe's capacity: the child never blocks on it

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Whether `fd` became readable (or reached its end) before `deadline`.
bool pollReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

// ---- The registry directory: one per test process ----

// The registry directory is resolved once per process, at its first use, so
// it is chosen here once for every test and child; the tests keep apart by
// their names.
class PrivateRegistry : public testing::Environment {
  public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "bgs-process-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            FAIL() << "mkdtemp: " << std::strerror(errno);
        }
        directory_ = pattern;
        ::setenv("BGS_SERVICE_DIR", directory_.c_str(), 1);
        // The test process serves as well as calls.
        ABinderProcess_startThreadPool();
    }
    void TearDown() override {
        std::error_code ignored;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
    }

  private:
    std::string directory_;
};

[[maybe_unused]] testing::Environment* const gRegistry = testing::AddGlobalTestEnvironment(new PrivateRegistry);

// ---- The per-test alarm ----

char gRunningTest[256];

void onTestAlarm(int) {
    static const char kPrefix[] = "\nprocess test timed out: ";
    (void)!::write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
    (void)!::write(STDERR_FILENO, gRunningTest, ::strnlen(gRunningTest, sizeof gRunningTest));
    (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(124);
}

// ---- Raw objects ----

using LedgerRef = std::shared_ptr<TokenLedger>;

struct ObjectsState {
    explicit ObjectsState(LedgerRef tokens) : ledger(std::move(tokens)) {}
    ~ObjectsState() { AIBinder_Weak_delete(shared); }
    const LedgerRef ledger;
    std::mutex mutex;
    AIBinder_Weak* shared = nullptr;  // guarded by mutex
};

void* tokenCreate(void* args) {
    auto* ledger = new LedgerRef(*static_cast<const LedgerRef*>(args));
    (*ledger)->created++;
    return ledger;
}

void tokenDestroy(void* userData) {
    const std::unique_ptr<LedgerRef> ledger(static_cast<LedgerRef*>(userData));
    (*ledger)->destroyed.add();
}

binder_status_t tokenTransact(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }

AIBinder_Class* tokenClass() {
    static AIBinder_Class* const clazz =
            AIBinder_Class_define("bgs.test.IToken", tokenCreate, tokenDestroy, tokenTransact);
    return clazz;
}

void* serverCreate(void* args) { return new ObjectsState(*static_cast<const LedgerRef*>(args)); }

void serverDestroy(void* userData) { delete static_cast<ObjectsState*>(userData); }

binder_status_t serverTransact(AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    auto* state = static_cast<ObjectsState*>(AIBinder_getUserData(binder));
    SpAIBinder answer;
    switch (code) {
        case objects::kEchoBinder: {
            const binder_status_t status = AParcel_readStrongBinder(in, answer.outPtr());
            if (status != STATUS_OK) return status;
            break;
        }
        case objects::kNewToken:
            answer = newToken(state->ledger);
            break;
        case objects::kSharedToken: {
            const std::lock_guard<std::mutex> lock(state->mutex);
            answer.reset(AIBinder_Weak_promote(state->shared));
            break;
        }
        default:
            return STATUS_UNKNOWN_TRANSACTION;
    }
    return AParcel_writeStrongBinder(out, answer.get());
}

AIBinder_Class* objectsClass() {
    static AIBinder_Class* const clazz =
            AIBinder_Class_define("bgs.test.IObjects", serverCreate, serverDestroy, serverTransact);
    return clazz;
}

}  // namespace

// ---- Descriptors ----

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Pipe::Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool sendLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    return writeAll(fd, text.data(), text.size());
}

std::optional<std::string> LineReader::next(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!pollReadable(fd_, deadline)) return std::nullopt;
        char chunk[512];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

std::string readToEnd(int fd, Millis timeout, bool* complete) {
    const auto deadline = Clock::now() + timeout;
    std::string text;
    *complete = false;
    while (pollReadable(fd, deadline)) {
        char chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *complete = n == 0;
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

bool takeByte(int fd, Millis timeout) {
    if (!pollReadable(fd, Clock::now() + timeout)) return false;
    char byte;
    for (;;) {
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        return n == 1;
    }
}

size_t openDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

pid_t spawnProgram(const char* path, const std::vector<std::string>& args, int stdoutFd, int stderrFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << path;
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// ---- Waiting on state ----

void Counter::add(int amount) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        value_ += amount;
    }
    changed_.notify_all();
}

int Counter::value() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return value_;
}

bool Counter::waitFor(int target, Millis timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return value_ >= target; });
}

bool eventually(const std::function<bool()>& condition, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(1));  // a re-check interval; the condition decides
    }
    return true;
}

// ---- Roles ----

namespace {

// A child is this binary, told its role and the test process it belongs to
// by the first two arguments; the role's own arguments follow.
constexpr char kThisBinary[] = "/proc/self/exe";
constexpr char kRoleFlag[] = "--bgs-test-role=";
constexpr char kParentFlag[] = "--bgs-test-parent=";
// Where a child finds its report pipe; the descriptors handed over follow.
constexpr int kReportFd = 3;

std::map<std::string, RoleBody>& roleTable() {
    static std::map<std::string, RoleBody> table;
    return table;
}

RoleBody findRole(const std::string& name) {
    const auto found = roleTable().find(name);
    return found == roleTable().end() ? nullptr : found->second;
}

// The text after `flag` when `arg` starts with it.
std::optional<std::string> flagValue(const char* arg, const char* flag) {
    const size_t length = std::strlen(flag);
    if (std::strncmp(arg, flag, length) != 0) return std::nullopt;
    return std::string(arg + length);
}

std::string runBody(RoleBody body, const RoleArgs& args) {
    try {
        return body(args);
    } catch (const std::exception& error) {
        return std::string("exception: ") + error.what();
    } catch (...) {
        return "unknown exception";
    }
}

// posix_spawn's settings for a child: the descriptors it is handed, and
// every signal unblocked and at its default action.
class SpawnSettings {
  public:
    SpawnSettings() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes_, &signals);
        sigfillset(&signals);
        posix_spawnattr_setsigdefault(&attributes_, &signals);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    // The child gets `fds` under kReportFd and the numbers after it, without
    // close-on-exec; every other descriptor of this process closes on exec.
    // Each goes through a copy above all those numbers, so that no move
    // onto a number overwrites a descriptor still to be moved. The copies
    // close on exec and with this object.
    bool handOver(const std::vector<int>& fds) {
        const int firstFree = kReportFd + static_cast<int>(fds.size());
        for (size_t i = 0; i < fds.size(); ++i) {
            copies_.emplace_back(::fcntl(fds[i], F_DUPFD_CLOEXEC, firstFree));
            if (copies_.back().get() < 0) return false;
            posix_spawn_file_actions_adddup2(&actions_, copies_.back().get(), kReportFd + static_cast<int>(i));
        }
        return true;
    }

    // The child's pid, or -1 with errno set.
    pid_t spawn(const char* path, const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int error = posix_spawn(&pid, path, &actions_, &attributes_, argv.data(), environ);
        if (error == 0) return pid;
        errno = error;
        return -1;
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
    std::vector<UniqueFd> copies_;
};

}  // namespace

const std::string& RoleArgs::text(size_t index) const {
    if (index >= values_.size()) {
        throw std::out_of_range("role argument " + std::to_string(index) + " is missing; the role got " +
                                std::to_string(values_.size()));
    }
    return values_[index];
}

int64_t RoleArgs::number(size_t index) const {
    const std::string& value = text(index);
    size_t used = 0;
    const long long number = std::stoll(value, &used);
    if (used != value.size()) {
        throw std::invalid_argument("role argument " + std::to_string(index) + " '" + value + "' is no whole number");
    }
    return number;
}

RoleRegistrar::RoleRegistrar(const char* name, RoleBody body) {
    if (!roleTable().emplace(name, body).second) {
        std::fprintf(stderr, "two test roles are named %s\n", name);
        std::abort();
    }
}

void runRoleIfAsked(int argc, char** argv) {
    const std::optional<std::string> role = argc >= 3 ? flagValue(argv[1], kRoleFlag) : std::nullopt;
    if (!role) return;
    // Dies with the test process. Had that ended before the signal was
    // asked for, it was never sent: the child, an orphan, ends here.
    const std::optional<std::string> parent = flagValue(argv[2], kParentFlag);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!parent || std::to_string(::getppid()) != *parent) ::_exit(3);
    ::alarm(kChildLifetimeSeconds);
    // What the child starts in turn gets no report pipe.
    ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC);
    const RoleBody body = findRole(*role);
    if (body == nullptr) finishRole("no role named " + *role);
    finishRole(runBody(body, RoleArgs(std::vector<std::string>(argv + 3, argv + argc))));
}

void finishRole(std::string report) {
    if (report.size() > kMaxReportBytes) report.resize(kMaxReportBytes);
    writeAll(kReportFd, report.data(), report.size());
    ::_exit(report.empty() ? 0 : 1);
}

std::string serve(const std::string& publishFailures) {
    if (!publishFailures.empty()) return publishFailures;
    ABinderProcess_startThreadPool();
    ABinderProcess_joinThreadPool();
    return "ABinderProcess_joinThreadPool returned";
}

// ---- Child processes ----

ChildProcess::ChildProcess(const std::string& role, const std::vector<RoleArg>& args) {
    if (findRole(role) == nullptr) {
        ADD_FAILURE() << "no test role named " << role;
        return;
    }
    Pipe report;
    std::vector<int> handed{report.writeEnd.get()};
    std::vector<std::string> argv{kThisBinary, kRoleFlag + role, kParentFlag + std::to_string(::getpid())};
    for (const RoleArg& arg : args) {
        if (arg.handed() < 0) {
            argv.push_back(arg.text());
            continue;
        }
        argv.push_back(std::to_string(kReportFd + static_cast<int>(handed.size())));
        handed.push_back(arg.handed());
    }
    SpawnSettings settings;
    if (!settings.handOver(handed)) {
        ADD_FAILURE() << "cannot hand descriptors to the child: " << std::strerror(errno);
        return;
    }
    pid_ = settings.spawn(kThisBinary, argv);
    if (pid_ < 0) {
        ADD_FAILURE() << "posix_spawn: " << std::strerror(errno);
        return;
    }
    reaped_ = false;
    report_ = std::move(report.readEnd);
    ::fcntl(report_.get(), F_SETFL, O_NONBLOCK);
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (pidfd_.get() < 0) ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
}

ChildProcess::~ChildProcess() { kill(); }

void ChildProcess::kill() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    reap();
}

std::string ChildProcess::finish(Millis timeout) {
    if (reaped_) return "child " + std::to_string(pid_) + " was already reaped";
    if (!pollReadable(pidfd_.get(), Clock::now() + timeout)) {
        kill();
        return "child " + std::to_string(pid_) + " did not end within " + std::to_string(timeout.count()) + " ms";
    }
    return reap();
}

std::string ChildProcess::reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    std::string report;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(report_.get(), chunk, sizeof chunk)) > 0) report.append(chunk, static_cast<size_t>(n));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && report.empty()) return "";
    std::string how = WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                                        : "ended by signal " + std::to_string(WTERMSIG(status));
    return "child " + std::to_string(pid_) + " " + how + (report.empty() ? "" : ":\n" + report);
}

// ---- The probe service ----

std::string probeText(const std::string& base) { return base + std::string(1, '\0') + " \xC3\xA9t\xC3\xA9 \xE2\x9C\x93"; }

CallbackData probeData(int32_t imageCount, int32_t value, int64_t timestamp, const std::string& text) {
    CallbackData data;
    data.value1 = value;
    data.value2 = imageCount;
    data.value3 = INT32_MIN;
    data.value4 = INT32_MAX;
    data.longValue = timestamp;
    data.text = text;
    data.images.reserve(static_cast<size_t>(imageCount));
    for (int32_t i = 0; i < imageCount; ++i) data.images.push_back(Image{i, -i, i * 7919});
    data.flag = imageCount % 2 == 0;
    data.value5 = imageCount * 3;
    return data;
}

CallbackInfo probeInfo(int32_t imageCount, const std::string& text) {
    CallbackInfo info;
    info.value1 = imageCount;
    info.text1 = text;
    info.text2 = std::nullopt;
    info.value2 = -imageCount;
    return info;
}

std::string answerFor(const std::string& method) { return method + " received"; }

ProbeService::ProbeService(ProbeOptions options)
    : options_(std::move(options)), recipient_(AIBinder_DeathRecipient_new(onCallbackDied)) {}

ProbeService::~ProbeService() = default;

void ProbeService::onCallbackDied(void* cookie) { static_cast<ProbeService*>(cookie)->callbackDeaths.add(); }

std::vector<binder_status_t> ProbeService::eventFailures() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::shared_ptr<IEventCallback> ProbeService::eventCallback() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

binder_status_t ProbeService::deliver(const std::shared_ptr<IEventCallback>& callback, const char* method,
                                      const std::function<UniqueAStatus(IEventCallback&, std::string*)>& call) {
    std::string answer;
    const UniqueAStatus result = call(*callback, &answer);
    binder_status_t status = result.getStatus();
    if (status == STATUS_OK && answer != answerFor(method)) status = STATUS_BAD_VALUE;
    if (status != STATUS_OK) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            failures_.push_back(status);
        }
        eventFailureCount.add();
    }
    return status;
}

namespace {
UniqueAStatus eventFailed(const char* method, binder_status_t status) {
    const std::string message = std::string(method) + " failed with status " + std::to_string(status);
    return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, message.c_str());
}
}  // namespace

UniqueAStatus ProbeService::setCapabilities(const std::string& capabilities) {
    ++calls_;
    if (capabilities == kBlockUntilKilled) {
        sendLine(options_.blockedFd, "blocked");
        for (;;) ::pause();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    capabilities_ = capabilities;
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::setEventCallback(int32_t value, const std::shared_ptr<IEventCallback>& callback,
                                             int32_t* _aidl_return) {
    ++calls_;
    if (!options_.forwardTo.empty()) {
        const auto next = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(options_.forwardTo.c_str())));
        if (next == nullptr) return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, "nowhere to forward");
        return next->setEventCallback(value, callback, _aidl_return);
    }
    std::shared_ptr<IEventCallback> replaced;
    {
        // One link at a time, to the registered callback: its death is
        // counted once.
        const std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::exchange(events_, callback);
        if (linked_.get() != nullptr) AIBinder_unlinkToDeath(linked_.get(), recipient_.get(), this);
        linked_ = callback != nullptr ? callback->asBinder() : SpAIBinder();
        if (AIBinder_isRemote(linked_.get())) {
            AIBinder_linkToDeath(linked_.get(), recipient_.get(), this);
        } else {
            linked_ = SpAIBinder();
        }
    }
    replaced.reset();  // its destruction may run a local object's code: outside the lock
    *_aidl_return = callback == nullptr
                            ? 0
                            : deliver(callback, "notifySnapshotAvailability", [value](IEventCallback& cb, std::string* a) {
                                  return cb.notifySnapshotAvailability(value, a);
                              });
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::setTimestamps(int32_t value, int64_t timestamp) {
    ++calls_;
    const std::lock_guard<std::mutex> lock(mutex_);
    timestampValue_ = value;
    timestamp_ = timestamp;
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::setRequstCompleted(int64_t value) {
    ++calls_;
    if (value < 0 || value > 100000) return UniqueAStatus::fromExceptionCode(EX_ILLEGAL_ARGUMENT);
    const auto count = static_cast<int32_t>(value);
    std::shared_ptr<IEventCallback> callback;
    CallbackData data;
    CallbackInfo info;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        callback = events_;
        data = probeData(count, timestampValue_, timestamp_, capabilities_);
        info = probeInfo(count, capabilities_);
    }
    if (callback == nullptr) return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, "no event callback");
    binder_status_t status = deliver(callback, "notifyCallback", [&data](IEventCallback& cb, std::string* a) {
        return cb.notifyCallback(data, a);
    });
    if (status != STATUS_OK) return eventFailed("notifyCallback", status);
    status = deliver(callback, "notifyCallbackInfo", [&info](IEventCallback& cb, std::string* a) {
        return cb.notifyCallbackInfo(info, a);
    });
    return status == STATUS_OK ? UniqueAStatus::ok() : eventFailed("notifyCallbackInfo", status);
}

UniqueAStatus ProbeService::setGalleryEventCallback(int32_t value, const std::shared_ptr<IEventCallback>& callback,
                                                    int32_t* _aidl_return) {
    ++calls_;
    std::shared_ptr<IEventCallback> replaced;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::exchange(gallery_, callback);
    }
    *_aidl_return = value + 1;
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::getGalleryAvailability(int32_t value, int32_t* _aidl_return) {
    ++calls_;
    switch (value) {
        case kAskCallingPid:
            *_aidl_return = AIBinder_getCallingPid();
            break;
        case kAskCallingUid:
            *_aidl_return = static_cast<int32_t>(AIBinder_getCallingUid());
            break;
        default:
            *_aidl_return = 2 * value;
    }
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::getStorageLoadCompletedStatus(int32_t value, int32_t* _aidl_return) {
    ++calls_;
    *_aidl_return = -value;
    return UniqueAStatus::ok();
}

UniqueAStatus ProbeService::setRequstCompletedImageName(const std::string& imageName) {
    ++calls_;
    std::shared_ptr<IEventCallback> events;
    std::shared_ptr<IEventCallback> gallery;
    std::string capabilities;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events = events_;
        gallery = gallery_;
        capabilities = capabilities_;
    }
    if (events == nullptr || gallery == nullptr) {
        return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, "both callbacks are needed");
    }
    const auto size = static_cast<int32_t>(imageName.size());
    binder_status_t status = deliver(events, "onCaptureCompleted", [&](IEventCallback& cb, std::string* a) {
        return cb.onCaptureCompleted(imageName, size, capabilities, a);
    });
    if (status != STATUS_OK) return eventFailed("onCaptureCompleted", status);
    status = deliver(gallery, "onCaptureFailed", [&](IEventCallback& cb, std::string* a) {
        return cb.onCaptureFailed(imageName, -size, capabilities, a);
    });
    return status == STATUS_OK ? UniqueAStatus::ok() : eventFailed("onCaptureFailed", status);
}

namespace {
std::string joined(const char* head, const char** args, uint32_t count) {
    std::string text = head;
    for (uint32_t i = 0; i < count; ++i) text += std::string(" ") + args[i];
    return text + "\n";
}
}  // namespace

binder_status_t ProbeService::dump(int fd, const char** args, uint32_t numArgs) {
    const std::string text = joined("probe dump", args, numArgs);
    return writeAll(fd, text.data(), text.size()) ? STATUS_OK : STATUS_FAILED_TRANSACTION;
}

binder_status_t ProbeService::handleShellCommand(int in, int out, int err, const char** argv, uint32_t argc) {
    const std::string outText = joined("out", argv, argc);
    const std::string errText = joined("err", argv, argc);
    if (!writeAll(out, outText.data(), outText.size()) || !writeAll(err, errText.data(), errText.size())) {
        return STATUS_FAILED_TRANSACTION;
    }
    char chunk[512];
    ssize_t n;
    while ((n = ::read(in, chunk, sizeof chunk)) > 0) {
        if (!writeAll(out, chunk, static_cast<size_t>(n))) return STATUS_FAILED_TRANSACTION;
    }
    return n == 0 ? STATUS_OK : STATUS_FAILED_TRANSACTION;
}

// ---- The recording callback ----

RecordingCallback::RecordingCallback(std::shared_ptr<Counter> destroyed) : destroyed_(std::move(destroyed)) {}

RecordingCallback::~RecordingCallback() {
    if (destroyed_ != nullptr) destroyed_->add();
}

std::vector<ReceivedEvent> RecordingCallback::events() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::optional<ReceivedEvent> RecordingCallback::last() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (events_.empty()) return std::nullopt;
    return events_.back();
}

UniqueAStatus RecordingCallback::record(ReceivedEvent event, std::string* answer) {
    event.thread = std::this_thread::get_id();
    event.callingPid = AIBinder_getCallingPid();
    if (hook) hook(event);
    *answer = answerFor(event.method);
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    return UniqueAStatus::ok();
}

UniqueAStatus RecordingCallback::notifyCallback(const CallbackData& data, std::string* _aidl_return) {
    ReceivedEvent event;
    event.method = "notifyCallback";
    event.data = data;
    return record(std::move(event), _aidl_return);
}

UniqueAStatus RecordingCallback::notifySnapshotAvailability(int32_t value, std::string* _aidl_return) {
    ReceivedEvent event;
    event.method = "notifySnapshotAvailability";
    event.value = value;
    return record(std::move(event), _aidl_return);
}

UniqueAStatus RecordingCallback::notifyCallbackInfo(const CallbackInfo& info, std::string* _aidl_return) {
    ReceivedEvent event;
    event.method = "notifyCallbackInfo";
    event.info = info;
    return record(std::move(event), _aidl_return);
}

UniqueAStatus RecordingCallback::onCaptureCompleted(const std::string& first, int32_t value,
                                                    const std::string& second, std::string* _aidl_return) {
    return record(ReceivedEvent{"onCaptureCompleted", value, first, second, {}, {}, {}, 0}, _aidl_return);
}

UniqueAStatus RecordingCallback::onCaptureFailed(const std::string& first, int32_t value, const std::string& second,
                                                 std::string* _aidl_return) {
    return record(ReceivedEvent{"onCaptureFailed", value, first, second, {}, {}, {}, 0}, _aidl_return);
}

// ---- Raw objects ----

SpAIBinder newObjectsServer(const std::shared_ptr<TokenLedger>& ledger) {
    LedgerRef copy = ledger;
    return SpAIBinder(AIBinder_new(objectsClass(), &copy));
}

SpAIBinder newToken(const std::shared_ptr<TokenLedger>& ledger) {
    LedgerRef copy = ledger;
    return SpAIBinder(AIBinder_new(tokenClass(), &copy));
}

void shareToken(AIBinder* server, AIBinder* token) {
    auto* state = static_cast<ObjectsState*>(AIBinder_getUserData(server));
    const std::lock_guard<std::mutex> lock(state->mutex);
    AIBinder_Weak_delete(state->shared);
    state->shared = AIBinder_Weak_new(token);
}

binder_status_t callObjects(AIBinder* server, transaction_code_t code, AIBinder* argument, SpAIBinder* result) {
    if (!AIBinder_associateClass(server, objectsClass())) return STATUS_BAD_TYPE;
    AParcel* request = nullptr;
    binder_status_t status = AIBinder_prepareTransaction(server, &request);
    if (status != STATUS_OK) return status;
    if (code == objects::kEchoBinder) status = AParcel_writeStrongBinder(request, argument);
    if (status != STATUS_OK) {
        AParcel_delete(request);
        return status;
    }
    AParcel* reply = nullptr;
    status = AIBinder_transact(server, code, &request, &reply, 0);
    const ::ndk::UniqueAParcel owned(reply);
    if (status != STATUS_OK) return status;
    SpAIBinder answer;
    status = AParcel_readStrongBinder(reply, answer.outPtr());
    *result = answer;
    return status;
}

// ---- The fixture ----

namespace {

// Args: the name, ProbeOptions::forwardTo, the descriptor ProbeOptions::blockedFd.
BGS_TEST_ROLE(probe) {
    const ProbeOptions options{args.text(1), args.fd(2)};
    return serve(publish(::ndk::SharedRefBase::makeRef<ProbeService>(options)->asBinder(), args.text(0)));
}

}  // namespace

void ProcessTest::SetUp() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::snprintf(gRunningTest, sizeof gRunningTest, "%s.%s", info->test_suite_name(), info->name());
    struct sigaction action {};
    action.sa_handler = onTestAlarm;
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(kTestAlarmSeconds);
}

void ProcessTest::TearDown() {
    children_.clear();
    ::alarm(0);
}

ChildProcess& ProcessTest::spawn(const std::string& role, const std::vector<RoleArg>& args) {
    children_.push_back(std::make_unique<ChildProcess>(role, args));
    return *children_.back();
}

ChildProcess& ProcessTest::spawnProbe(const std::string& name, ProbeOptions options) {
    return spawn("probe", {name, options.forwardTo, HandOver{options.blockedFd}});
}

std::string ProcessTest::uniqueName(const std::string& role) {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name() + "/" + role + "." +
           std::to_string(++nameCounter_);
}

std::string publish(const SpAIBinder& binder, const std::string& name) {
    const binder_exception_t result = AServiceManager_addService(binder.get(), name.c_str());
    return result == EX_NONE ? "" : "addService(" + name + ") gave " + std::to_string(result) + "\n";
}

SpAIBinder waitForBinder(const std::string& name, ChildProcess* server) {
    SpAIBinder binder(AServiceManager_waitForServiceTimeout(name.c_str(), static_cast<int32_t>(kPatience.count())));
    if (binder.get() == nullptr) {
        ADD_FAILURE() << "nothing was published under " << name
                      << (server != nullptr ? "; the server: " + server->finish(Millis(100)) : std::string());
    }
    return binder;
}

std::shared_ptr<IBGService> waitForProbe(const std::string& name, ChildProcess* server) {
    return IBGService::fromBinder(waitForBinder(name, server));
}

}  // namespace bgs_process_test
