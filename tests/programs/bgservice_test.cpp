// bgservice as its users meet it: the real executable, started as a child
// process in the test binary's private registry directory, reached through
// the registry, dump and shell commands, and stopped by signals. The test
// process is the client (the cross-process test support brings the registry
// directory, the per-test alarm, client processes and a recording callback).
#include "process_test_support.h"

#include <bgs/scoped_call_timeout.h>
#include <bgs/service_manager.h>

#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A running bgservice: this build's program run with `args` (args[0] is
// its name) and the test's environment plus `environment` ("NAME=VALUE").
// Its log (stderr) is read line by line as the test waits for lines; it is
// killed at the end of the test if still running.
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> args, std::vector<std::string> environment = {}) {
        Pipe out;
        Pipe err;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string entry = *variable;
            const bool overridden = std::any_of(environment.begin(), environment.end(), [&](const std::string& set) {
                return entry.compare(0, set.find('=') + 1, set, 0, set.find('=') + 1) == 0;
            });
            if (!overridden) environment.push_back(entry);
        }
        const std::vector<char*> argv = pointers(args);
        const std::vector<char*> envp = pointers(environment);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only calls safe after fork in a threaded process, until exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out.writeEnd.get(), STDOUT_FILENO);
            ::dup2(err.writeEnd.get(), STDERR_FILENO);
            ::execve(BGSERVICE_PATH, argv.data(), envp.data());
            ::_exit(127);
        }
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
            return;
        }
        pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        out_ = std::move(out.readEnd);
        err_ = std::move(err.readEnd);
        reader_ = LineReader(err_.get());
    }
    ~Daemon() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The first log line that contains `text`, read so far or within the
    // patience; nullopt when none came.
    std::optional<std::string> waitForLine(const std::string& text) {
        for (const std::string& line : lines_) {
            if (line.find(text) != std::string::npos) return line;
        }
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            std::optional<std::string> line =
                    reader_.next(std::chrono::duration_cast<Millis>(deadline - Clock::now()));
            if (!line) break;
            lines_.push_back(*line);
            if (line->find(text) != std::string::npos) return line;
        }
        return std::nullopt;
    }

    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }
    // The exit status once the process has ended by itself within `timeout`
    // (-1 otherwise), and whether it was a normal exit.
    std::pair<int, bool> waitForExit(Millis timeout) {
        if (reaped_) return {-1, false};
        pollfd ended{pidfd_.get(), POLLIN, 0};
        if (::poll(&ended, 1, static_cast<int>(timeout.count())) != 1) return {-1, false};
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFEXITED(status)};
    }
    // The whole log as one text, for failure messages; call after the
    // process has ended.
    std::string logText() {
        std::string text;
        for (const std::string& line : log()) text += line + "\n";
        return text;
    }
    // The log lines that contain `text`; call after the process has ended.
    size_t logLinesWith(const std::string& text) {
        const std::vector<std::string>& all = log();
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    // The exit status once the process has ended by itself; -1 when it did
    // not end within the patience or was ended by a signal.
    int exitStatus() { return waitForExit(kPatience).first; }

    // The log lines not read yet; call after the process has ended.
    std::vector<std::string> remainingLog() {
        std::vector<std::string> rest;
        while (std::optional<std::string> line = reader_.next(kPatience)) {
            lines_.push_back(*line);
            rest.push_back(*line);
        }
        return rest;
    }
    // The whole log; call after the process has ended.
    const std::vector<std::string>& log() {
        remainingLog();
        return lines_;
    }
    // Everything written to stdout; call after the process has ended.
    std::string standardOutput() {
        bool complete = false;
        return readToEnd(out_.get(), kPatience, &complete);
    }

  private:
    static std::vector<char*> pointers(std::vector<std::string>& texts) {
        std::vector<char*> result;
        for (std::string& text : texts) result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    UniqueFd pidfd_;
    UniqueFd out_;
    UniqueFd err_;
    LineReader reader_{-1};
    std::vector<std::string> lines_;
};

// Every daemon of a test serves the test's one name.
class Bgservice : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        name_ = uniqueName("bgservice");
    }
    // bgservice --name <the test's name> `options`.
    Daemon& launch(const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"bgservice", "--name", name_};
        args.insert(args.end(), options.begin(), options.end());
        return launchWith(std::move(args));
    }
    Daemon& launchWith(std::vector<std::string> args, std::vector<std::string> environment = {}) {
        daemons_.push_back(std::make_unique<Daemon>(std::move(args), std::move(environment)));
        return *daemons_.back();
    }
    // The binder served under the name, once published.
    SpAIBinder served() { return waitForBinder(name_); }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    std::vector<std::unique_ptr<Daemon>> daemons_;
};

std::string dumpOf(AIBinder* binder) {
    Pipe pipe;
    EXPECT_EQ(AIBinder_dump(binder, pipe.writeEnd.get(), nullptr, 0), STATUS_OK);
    pipe.writeEnd.reset();
    bool complete = false;
    return readToEnd(pipe.readEnd.get(), kPatience, &complete);
}

struct ShellResult {
    binder_status_t status;
    std::string out;
    std::string err;
};

ShellResult shell(AIBinder* binder, std::vector<const char*> args) {
    Pipe in;
    Pipe out;
    Pipe err;
    in.writeEnd.reset();
    ShellResult result;
    result.status = AIBinder_shellCommand(binder, in.readEnd.get(), out.writeEnd.get(), err.writeEnd.get(),
                                          args.data(), static_cast<uint32_t>(args.size()));
    out.writeEnd.reset();
    err.writeEnd.reset();
    bool complete = false;
    result.out = readToEnd(out.readEnd.get(), kPatience, &complete);
    result.err = readToEnd(err.readEnd.get(), kPatience, &complete);
    return result;
}

// Entries in the registry directory ("s-<hash>", one per published name).
size_t registryEntries() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::getenv("BGS_SERVICE_DIR"))) {
        count += entry.path().filename().string().rfind("s-", 0) == 0 ? 1 : 0;
    }
    return count;
}

// Registers one callback as both the gallery and the event callback of the
// service args[0], says "registered" on the descriptor args[1] and waits on
// args[2] until it is killed.
BGS_TEST_ROLE(registeringClient) {
    ChildChecks checks;
    const auto bgs = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(args.text(0).c_str())));
    if (!CHILD_EXPECT(checks, bgs != nullptr)) return checks.report();
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t number = 0;
    // The gallery first: were its death link left in place after the
    // replacement below, its notice would run before the event
    // callback's, which the test waits for.
    CHILD_EXPECT(checks, bgs->setGalleryEventCallback(3, callback, &number).isOk());
    CHILD_EXPECT(checks, bgs->setEventCallback(7, callback, &number).isOk());
    sendLine(args.fd(1), "registered");
    takeByte(args.fd(2), Millis(60000));
    return checks.report();
}

TEST_F(Bgservice, DumpNamesEachCallbacksClientAndTheClientsDeathDropsOnlyItsOwn) {
    Daemon& daemon = launch();
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);

    Pipe registered;
    Pipe never;  // the client waits on it until it is killed
    ChildProcess& client =
            spawn("registeringClient", {name(), HandOver{registered.writeEnd.get()}, HandOver{never.readEnd.get()}});
    LineReader fromClient(registered.readEnd.get());
    ASSERT_EQ(fromClient.next(), std::optional<std::string>("registered")) << client.finish(Millis(100));
    // This process takes the gallery over.
    int32_t number = 0;
    ASSERT_TRUE(IBGService::fromBinder(service)
                        ->setGalleryEventCallback(4, SharedRefBase::makeRef<RecordingCallback>(), &number)
                        .isOk());

    const std::string pid = std::to_string(client.pid());
    const std::string self = std::to_string(::getpid());
    const std::string before = dumpOf(service.get());
    EXPECT_THAT(before, HasSubstr("event callback: value 7, registration #2, client pid " + pid + ", "));
    EXPECT_THAT(before, HasSubstr("gallery callback: value 4, registration #3, client pid " + self + ", "));
    EXPECT_THAT(before, HasSubstr("setGalleryEventCallback: 2\n"));

    client.kill();
    EXPECT_TRUE(daemon.waitForLine("event callback #2 (value 7) of pid " + pid + " dropped"));
    const std::string after = dumpOf(service.get());
    EXPECT_THAT(after, HasSubstr("event callback: none"));
    EXPECT_THAT(after, HasSubstr("gallery callback: value 4, registration #3, client pid " + self + ", "));

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(), 0);
    EXPECT_EQ(daemon.standardOutput(), "");
}

TEST_F(Bgservice, ShellCompleteDeliversEventsAndOtherCommandsAnswerOnTheGivenDescriptors) {
    launch();
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t number = 0;
    ASSERT_TRUE(IBGService::fromBinder(service)->setEventCallback(9, callback, &number).isOk());

    ShellResult completed = shell(service.get(), {"complete", "5", "1234"});
    EXPECT_EQ(completed.status, STATUS_OK) << completed.err;
    EXPECT_EQ(completed.out, "request 5: image req5.jpg; 2 events queued\n");
    ASSERT_TRUE(eventually([&] { return callback->events().size() == 2; }));
    const std::vector<ReceivedEvent> events = callback->events();
    EXPECT_EQ(events[0].method, "notifyCallback");
    ASSERT_TRUE(events[0].data.has_value());
    EXPECT_EQ(events[0].data->value1, 9);
    EXPECT_EQ(events[0].data->value2, 5);
    EXPECT_EQ(events[0].data->longValue, 1234);
    EXPECT_EQ(events[0].data->images.size(), 3u);
    EXPECT_EQ(events[1].method, "notifyCallbackInfo");

    // A request without a timestamp fails, as an event.
    EXPECT_EQ(shell(service.get(), {"complete", "6"}).out,
              "request 6: capture failed: no timestamp was set for this request; 2 events queued\n");
    ASSERT_TRUE(eventually([&] { return callback->events().size() == 4; }));
    EXPECT_EQ(callback->events().at(2).method, "onCaptureFailed");

    const ShellResult state = shell(service.get(), {"state"});
    EXPECT_EQ(state.status, STATUS_OK);
    EXPECT_THAT(state.out, HasSubstr("event callback: value 9, registration #1, client pid " +
                                     std::to_string(::getpid()) + ", "));
    EXPECT_THAT(state.out, HasSubstr("req5.jpg (request 5, timestamp 1234)"));
    EXPECT_THAT(state.out, HasSubstr("setRequstCompleted: 0\n")) << "shell commands are not calls";

    EXPECT_THAT(shell(service.get(), {"help"}).out, HasSubstr("complete REQUEST [TIMESTAMP]"));
    const ShellResult unknown = shell(service.get(), {"frobnicate"});
    EXPECT_NE(unknown.status, STATUS_OK);
    EXPECT_THAT(unknown.err, HasSubstr("unknown command 'frobnicate'"));
    EXPECT_EQ(unknown.out, "");
    const ShellResult malformed = shell(service.get(), {"complete", "5x"});
    EXPECT_NE(malformed.status, STATUS_OK);
    EXPECT_THAT(malformed.err, HasSubstr("usage: complete REQUEST [TIMESTAMP]"));
    EXPECT_EQ(callback->events().size(), 4u) << "refused commands deliver nothing";
}

TEST_F(Bgservice, StopSignalsWithdrawTheNameAndExitZero) {
    for (const int stop : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(stop));
        const size_t entriesBefore = registryEntries();  // stale ones of earlier tests included
        Daemon& daemon = launch();
        const SpAIBinder service = served();
        ASSERT_NE(service.get(), nullptr);
        ASSERT_EQ(registryEntries(), entriesBefore + 1);

        daemon.signal(stop);
        EXPECT_EQ(daemon.exitStatus(), 0);
        EXPECT_EQ(daemon.standardOutput(), "");
        EXPECT_THAT(daemon.log(), ElementsAre("bgservice: info: serving " + name() + " (pid " +
                                                      std::to_string(daemon.pid()) + ")",
                                              std::string("bgservice: info: ") + strsignal(stop) + ", withdrew " + name()));
        // A process that ends without withdrawing leaves its entry for
        // readers to find stale; a withdrawn name leaves none.
        EXPECT_EQ(registryEntries(), entriesBefore);
        EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name().c_str())).get(), nullptr);
        EXPECT_EQ(AIBinder_ping(service.get()), STATUS_DEAD_OBJECT);
    }
}

TEST_F(Bgservice, ANameAlreadyServedIsRefusedWithAClearMessage) {
    launch();
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);

    // The name from the environment, as a unit file gives it.
    Daemon& second = launchWith({"bgservice"}, {"BGS_SERVICE=" + name()});
    EXPECT_EQ(second.exitStatus(), 1);
    // The holder is named: the pid the registry reports is the one serving.
    BgsRegistryReport holder;
    AIBinder* found = nullptr;
    ASSERT_EQ(BgsServiceManager_lookup(name().c_str(), 0, &found, &holder), BGS_REGISTRY_OK);
    AIBinder_decStrong(found);
    EXPECT_THAT(second.log(), ElementsAre(HasSubstr("bgservice: error: cannot publish '" + name() +
                                                    "': name taken by pid " + std::to_string(holder.pid) +
                                                    " (uid " + std::to_string(geteuid()) + "); stop that process")));
    EXPECT_EQ(AIBinder_ping(service.get()), STATUS_OK) << "the first daemon still serves";
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name().c_str())).get(), service.get());
}

// ---- Under a service manager ----

// The settings of a unit file's [Service] section that starting and
// stopping the service depend on, read as systemd reads them: "Key=value"
// lines, '#' and ';' comments, several Environment= lines adding up.
struct ServiceUnit {
    std::string type;
    std::vector<std::string> execStart;    // the command line, split on blanks
    std::vector<std::string> environment;  // "NAME=VALUE"
    int killSignal = SIGTERM;              // systemd's default
    int timeoutStopSec = 90;               // systemd's default
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;) result.push_back(word);
    return result;
}

ServiceUnit readServiceUnit(const std::string& path) {
    ServiceUnit unit;
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << path;
    std::string section;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line;
            continue;
        }
        const size_t equals = line.find('=');
        if (section != "[Service]" || equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        EXPECT_EQ(value.find_first_of("\"'$%"), std::string::npos)
                << key << ": quoting and specifiers are not read here, keep the unit plain";
        if (key == "Type") {
            unit.type = value;
        } else if (key == "ExecStart") {
            unit.execStart = words(value);
        } else if (key == "Environment") {
            for (const std::string& assignment : words(value)) unit.environment.push_back(assignment);
        } else if (key == "KillSignal") {
            const std::map<std::string, int> signals = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
            EXPECT_EQ(signals.count(value), 1u) << "KillSignal=" << value;
            unit.killSignal = signals.count(value) == 1 ? signals.at(value) : SIGKILL;
        } else if (key == "TimeoutStopSec") {
            unit.timeoutStopSec = std::stoi(value);
        }
    }
    return unit;
}

// The manager's end of $NOTIFY_SOCKET: a datagram socket under an abstract
// name, which the service writes "READY=1" and the like to.
class NotifySocket {
  public:
    NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        name_ = "@bgservice-test-notify-" + std::to_string(::getpid()) + "-" + std::to_string(++count_);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name_.data() + 1, name_.size() - 1);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), size), 0) << std::strerror(errno);
    }
    const std::string& name() const { return name_; }
    // The next message, or nullopt when none came within the patience.
    std::optional<std::string> next() {
        pollfd readable{fd_.get(), POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(kPatience.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<size_t>(n)));
    }

  private:
    static inline int count_ = 0;
    UniqueFd fd_;
    std::string name_;
};

TEST_F(Bgservice, RunsUnderItsUnitAsTheServiceManagerWouldAndStopsCleanly) {
    const ServiceUnit unit = readServiceUnit(BGSERVICE_UNIT);
    EXPECT_EQ(unit.type, "notify");
    ASSERT_FALSE(unit.execStart.empty());
    EXPECT_EQ(std::filesystem::path(unit.execStart[0]).filename(), "bgservice");
    // The name the unit serves: its BGS_SERVICE, else bgservice's default.
    std::string served = "vendor.tolvek.hardware.aidlbgservice.IBGService/default";
    for (const std::string& assignment : unit.environment) {
        if (assignment.rfind("BGS_SERVICE=", 0) == 0) served = assignment.substr(std::strlen("BGS_SERVICE="));
    }

    // The unit's command line and environment, with this build's program in
    // place of the installed one, and a notify socket.
    NotifySocket manager;
    std::vector<std::string> environment = unit.environment;
    environment.push_back("NOTIFY_SOCKET=" + manager.name());
    Daemon& daemon = launchWith(unit.execStart, environment);

    const std::optional<std::string> ready = manager.next();
    ASSERT_TRUE(ready.has_value()) << "no READY=1";
    EXPECT_THAT(words(*ready), testing::Contains("READY=1"));
    EXPECT_THAT(words(*ready), testing::Contains("MAINPID=" + std::to_string(daemon.pid())));
    const SpAIBinder service(AServiceManager_checkService(served.c_str()));
    ASSERT_NE(service.get(), nullptr) << "ready, but " << served << " is not served";

    daemon.signal(unit.killSignal);
    EXPECT_EQ(manager.next(), std::optional<std::string>("STOPPING=1"));
    const auto [status, exited] = daemon.waitForExit(Millis(unit.timeoutStopSec * 1000));
    EXPECT_TRUE(exited) << "not ended by itself within TimeoutStopSec";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(served.c_str())).get(), nullptr) << "the name was not withdrawn";
    EXPECT_EQ(daemon.standardOutput(), "");
}

// ---- Clients that misbehave ----
//
// bgservice runs with few binder threads here (--threads 2), so that a
// handful of stuck calls would take every thread: the tests show that none
// gets stuck.

// Registers a RecordingCallback with the service args[0] under value
// args[1], as its event callback, or its gallery callback when args[2] is
// "gallery"; says "registered" on args[3], then waits on args[4] until it is
// stopped or killed.
BGS_TEST_ROLE(listeningClient) {
    ChildChecks checks;
    const auto bgs = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(args.text(0).c_str())));
    if (!CHILD_EXPECT(checks, bgs != nullptr)) return checks.report();
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    const auto value = static_cast<int32_t>(args.number(1));
    int32_t number = 0;
    CHILD_EXPECT(checks, (args.text(2) == "gallery" ? bgs->setGalleryEventCallback(value, callback, &number)
                                                    : bgs->setEventCallback(value, callback, &number))
                                 .isOk());
    sendLine(args.fd(3), "registered");
    takeByte(args.fd(4), Millis(60000));
    return checks.report();
}

// Completes args[2] requests of the service args[0] from args[1] on, each
// with setTimestamps and setRequstCompleted, every call under a deadline of
// args[3] ms: a call kept waiting for a client's event would miss it.
BGS_TEST_ROLE(completingCaller) {
    ChildChecks checks;
    const auto bgs = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(args.text(0).c_str())));
    if (!CHILD_EXPECT(checks, bgs != nullptr)) return checks.report();
    const bgs::ScopedCallTimeout deadline{Millis(args.number(3))};
    for (int64_t request = args.number(1); request < args.number(1) + args.number(2); ++request) {
        const ::ndk::UniqueAStatus stamped = bgs->setTimestamps(static_cast<int32_t>(request), 1000 + request);
        checks.expect(stamped.isOk(), "setTimestamps: " + stamped.getDescription());
        const ::ndk::UniqueAStatus completed = bgs->setRequstCompleted(request);
        checks.expect(completed.isOk(), "setRequstCompleted: " + completed.getDescription());
    }
    return checks.report();
}

// Dumps the service args[0] into the descriptor args[1], a pipe nobody
// reads: the dump must end with STATUS_TIMED_OUT.
BGS_TEST_ROLE(stuckDumper) {
    ChildChecks checks;
    const SpAIBinder binder(AServiceManager_checkService(args.text(0).c_str()));
    if (!CHILD_EXPECT(checks, binder.get() != nullptr)) return checks.report();
    const binder_status_t dumped = AIBinder_dump(binder.get(), args.fd(1), nullptr, 0);
    checks.expect(dumped == STATUS_TIMED_OUT, "the dump ended with " + std::to_string(dumped));
    return checks.report();
}

// Fills the pipe so that the next write to it would block, and leaves its
// write end blocking as it was.
void fillPipe(const Pipe& pipe) {
    const int flags = ::fcntl(pipe.writeEnd.get(), F_GETFL);
    ::fcntl(pipe.writeEnd.get(), F_SETFL, flags | O_NONBLOCK);
    const std::string page(4096, 'x');
    while (::write(pipe.writeEnd.get(), page.data(), page.size()) > 0) {
    }
    ::fcntl(pipe.writeEnd.get(), F_SETFL, flags);
}

// A listening client in a child process, registered and then stopped
// (SIGSTOP): it holds its registration but answers nothing. Resumed and
// killed at the end of the test.
class StoppedClient {
  public:
    StoppedClient(ChildProcess& child, Pipe&& never) : child_(child), never_(std::move(never)) {}
    ~StoppedClient() {
        ::kill(child_.pid(), SIGCONT);
        child_.kill();
    }
    pid_t pid() const { return child_.pid(); }

  private:
    ChildProcess& child_;
    Pipe never_;
};

class BgserviceClients : public Bgservice {
  protected:
    // A client registered as the event (or gallery) callback under `value`,
    // then stopped.
    std::unique_ptr<StoppedClient> stoppedListener(int32_t value, const char* kind = "events") {
        Pipe registered;
        Pipe never;
        ChildProcess& child = spawn("listeningClient", {name(), value, kind, HandOver{registered.writeEnd.get()},
                                                        HandOver{never.readEnd.get()}});
        LineReader fromChild(registered.readEnd.get());
        EXPECT_EQ(fromChild.next(), std::optional<std::string>("registered")) << child.finish(Millis(100));
        ::kill(child.pid(), SIGSTOP);
        return std::make_unique<StoppedClient>(child, std::move(never));
    }
};

TEST_F(BgserviceClients, AStoppedListenerStallsNoCallerAndIsDroppedAfterItsDeadline) {
    Daemon& daemon = launch({"--threads", "2", "--callback-timeout", "3000"});
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);
    const auto bgs = IBGService::fromBinder(service);
    const std::unique_ptr<StoppedClient> stopped = stoppedListener(7);
    // This process takes gallery events, which must keep coming.
    const auto gallery = SharedRefBase::makeRef<RecordingCallback>();
    int32_t number = 0;
    ASSERT_TRUE(bgs->setGalleryEventCallback(3, gallery, &number).isOk());

    // Twice as many callers as threads, each completing requests whose
    // events are due to the stopped client. Their calls have a deadline
    // (1 s) shorter than the client's (3 s): waiting for it would fail them.
    std::vector<ChildProcess*> callers;
    for (int caller = 0; caller < 4; ++caller) {
        callers.push_back(&spawn("completingCaller", {name(), 1 + caller * 2, 2, 1000}));
    }
    for (ChildProcess* caller : callers) {
        EXPECT_EQ(caller->finish(), "");
    }
    {
        const bgs::ScopedCallTimeout deadline{Millis(1000)};
        ASSERT_TRUE(bgs->setRequstCompletedImageName("req1.jpg").isOk());
    }
    EXPECT_TRUE(eventually([&] { return gallery->events().size() == 1; })) << "the other client is still served";

    EXPECT_TRUE(daemon.waitForLine("bgservice: warning: event callback #1 (value 7) of pid " +
                                   std::to_string(stopped->pid()) +
                                   " dropped: notifyCallback got no answer within the 3000 ms callback deadline"));
    EXPECT_THAT(dumpOf(service.get()), HasSubstr("event callback: none"));

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(), 0) << daemon.logText();
    EXPECT_EQ(daemon.logLinesWith("dropped"), 1u);
    EXPECT_EQ(daemon.logLinesWith("bgservice: warning:"), 1u);
}

TEST_F(BgserviceClients, AFullQueueDropsThatClientAloneAndTheShellSaysSo) {
    // A long deadline: the stopped client is dropped for its queue.
    Daemon& daemon = launch({"--queue-size", "8", "--callback-timeout", "20000"});
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);
    const std::unique_ptr<StoppedClient> stopped = stoppedListener(7);
    const auto gallery = SharedRefBase::makeRef<RecordingCallback>();
    int32_t number = 0;
    ASSERT_TRUE(IBGService::fromBinder(service)->setGalleryEventCallback(3, gallery, &number).isOk());

    // Two events a request; the first is in flight or waiting, so the ninth
    // waiting event, of request 5, is one too many.
    for (int request = 1; request <= 6; ++request) {
        SCOPED_TRACE(request);
        const ShellResult completed = shell(service.get(), {"complete", std::to_string(request).c_str(), "77"});
        EXPECT_EQ(completed.status, STATUS_OK) << completed.err;
        const std::string events = request < 5    ? "2 events queued"
                                   : request == 5 ? "the event callback was dropped: its event queue is full"
                                                  : "no event callback is registered";
        EXPECT_EQ(completed.out, "request " + std::to_string(request) + ": image req" + std::to_string(request) +
                                         ".jpg; " + events + "\n");
    }
    EXPECT_TRUE(daemon.waitForLine("bgservice: warning: event callback #1 (value 7) of pid " +
                                   std::to_string(stopped->pid()) + " dropped: its event queue is full (8 events"));
    ASSERT_TRUE(IBGService::fromBinder(service)->setRequstCompletedImageName("req6.jpg").isOk());
    EXPECT_TRUE(eventually([&] { return gallery->events().size() == 1; })) << "the gallery client stays";
    EXPECT_THAT(dumpOf(service.get()), HasSubstr("gallery callback: value 3, registration #2"));

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(), 0) << daemon.logText();
    EXPECT_EQ(daemon.logLinesWith("dropped"), 1u);
}

TEST_F(BgserviceClients, DumpsIntoPipesNobodyReadsEndAtTheirDeadlineAndCallsAreServedMeanwhile) {
    Daemon& daemon = launch({"--threads", "2"});
    const SpAIBinder service = served();
    ASSERT_NE(service.get(), nullptr);

    // More dumps than threads, from as many processes (one peer may hold
    // only half the threads), each into a full pipe.
    constexpr int kDumps = 4;
    std::vector<Pipe> pipes(kDumps);
    std::vector<ChildProcess*> dumpers;
    for (Pipe& pipe : pipes) {
        fillPipe(pipe);
        dumpers.push_back(&spawn("stuckDumper", {name(), HandOver{pipe.writeEnd.get()}}));
    }
    {
        // Waits at most for one dump's deadline (2 s) to free a thread.
        const bgs::ScopedCallTimeout deadline{Millis(5000)};
        int32_t loaded = -1;
        EXPECT_TRUE(IBGService::fromBinder(service)->getStorageLoadCompletedStatus(0, &loaded).isOk());
    }
    // Two rounds of two dumps, each 2 s at most, plus slack.
    for (ChildProcess* dumper : dumpers) {
        EXPECT_EQ(dumper->finish(Millis(8000)), "");
    }
    for (const Pipe& pipe : pipes) {
        EXPECT_EQ(::fcntl(pipe.writeEnd.get(), F_GETFL) & O_NONBLOCK, 0) << "the client's pipe was changed";
    }

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.exitStatus(), 0) << daemon.logText();
    EXPECT_EQ(daemon.logLinesWith("bgservice: warning: dump: the reader took 0 of "), size_t{kDumps});
}

}  // namespace
}  // namespace bgs_process_test
