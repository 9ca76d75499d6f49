// bgservice as its users meet it: the real executable, started as a child
// process in the test binary's private registry directory, reached through
// the registry, dump and shell commands, and stopped by signals. The test
// process is the client (the cross-process test support brings the registry
// directory, the per-test alarm, client processes and a recording callback).
#include "process_test_support.h"

#include <bgs/service_manager.h>

#include <gmock/gmock.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;
using ::testing::HasSubstr;

// A running bgservice serving `name`. Its stdout is read line by line as the
// test waits for lines; it is killed at the end of the test if still running.
class Daemon {
  public:
    explicit Daemon(const std::string& name) {
        Pipe out;
        Pipe err;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only calls safe after fork in a threaded process, until exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out.writeEnd.get(), STDOUT_FILENO);
            ::dup2(err.writeEnd.get(), STDERR_FILENO);
            ::execl(BGSERVICE_PATH, "bgservice", "--name", name.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
            return;
        }
        pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        out_ = std::move(out.readEnd);
        err_ = std::move(err.readEnd);
        reader_ = LineReader(out_.get());
    }
    ~Daemon() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The first line of stdout that contains `text`, read so far or within
    // the patience; nullopt when none came.
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

    // The exit status once the process has ended by itself; -1 when it did
    // not end within the patience or was ended by a signal.
    int exitStatus() {
        pollfd ended{pidfd_.get(), POLLIN, 0};
        if (::poll(&ended, 1, static_cast<int>(kPatience.count())) != 1) return -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Everything written to stderr; call after the process has ended.
    std::string errorOutput() {
        bool complete = false;
        return readToEnd(err_.get(), kPatience, &complete);
    }

  private:
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
    Daemon& launch() {
        daemons_.push_back(std::make_unique<Daemon>(name_));
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
    EXPECT_EQ(daemon.errorOutput(), "");
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
    EXPECT_EQ(completed.out, "request 5: image req5.jpg; 2 of 2 events delivered\n");
    const std::vector<ReceivedEvent> events = callback->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].method, "notifyCallback");
    ASSERT_TRUE(events[0].data.has_value());
    EXPECT_EQ(events[0].data->value1, 9);
    EXPECT_EQ(events[0].data->value2, 5);
    EXPECT_EQ(events[0].data->longValue, 1234);
    EXPECT_EQ(events[0].data->images.size(), 3u);
    EXPECT_EQ(events[1].method, "notifyCallbackInfo");

    // A request without a timestamp fails, as an event.
    EXPECT_EQ(shell(service.get(), {"complete", "6"}).out,
              "request 6: capture failed: no timestamp was set for this request; 2 of 2 events delivered\n");
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
        EXPECT_EQ(daemon.errorOutput(), "");
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

    Daemon& second = launch();
    EXPECT_EQ(second.exitStatus(), 1);
    // The holder is named: the pid the registry reports is the one serving.
    BgsRegistryReport holder;
    AIBinder* found = nullptr;
    ASSERT_EQ(BgsServiceManager_lookup(name().c_str(), 0, &found, &holder), BGS_REGISTRY_OK);
    AIBinder_decStrong(found);
    EXPECT_THAT(second.errorOutput(), HasSubstr("cannot publish '" + name() + "': name taken by pid " +
                                                std::to_string(holder.pid) + " (uid " + std::to_string(geteuid()) +
                                                "); stop that process"));
    EXPECT_EQ(AIBinder_ping(service.get()), STATUS_OK) << "the first daemon still serves";
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name().c_str())).get(), service.get());
}

}  // namespace
}  // namespace bgs_process_test
