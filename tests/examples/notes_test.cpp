// The notebook example (examples/notes) as its users run it: the built
// service and client programs of both versions of example.notes, each a
// process of its own, meeting through the test's private registry. Version
// 1 is frozen, version 2 adds search(); every pairing must work for the
// version 1 methods, and the new method must fail cleanly, or fall back,
// against a version 1 service.
#include "process_test_support.h"

#include <gmock/gmock.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bgs_process_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kServices[] = {nullptr, NOTES_SERVICE_V1_PATH, NOTES_SERVICE_V2_PATH};
constexpr const char* kClients[] = {nullptr, NOTES_CLIENT_V1_PATH, NOTES_CLIENT_V2_PATH};
constexpr const char* kFrozenHash = "440260cea6a0372b14813f58365410816400011b";

// A program of this build with stdout and stderr on one pipe, read line by
// line; killed at destruction if still running.
class Running {
  public:
    Running(const char* path, const std::vector<std::string>& args) {
        Pipe output;  // the parent's write end closes when this ends
        pid_ = spawnProgram(path, args, output.writeEnd.get(), output.writeEnd.get());
        output_ = std::move(output.readEnd);
        reader_ = LineReader(output_.get());
    }
    ~Running() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The next line containing `text`, skipping others; nullopt when none
    // came within the patience. The skipped lines are kept for finish().
    std::optional<std::string> lineWith(const std::string& text) {
        while (std::optional<std::string> line = reader_.next()) {
            seen_ += *line + "\n";
            if (line->find(text) != std::string::npos) return line;
        }
        return std::nullopt;
    }
    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // Waits for the end: the exit status (-1 when it did not exit by itself
    // within the patience) and all the output not returned by lineWith.
    std::pair<int, std::string> finish() {
        bool complete = false;
        while (std::optional<std::string> line = reader_.next()) seen_ += *line + "\n";
        seen_ += readToEnd(output_.get(), Millis(100), &complete);
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return {-1, seen_};
        pid_ = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seen_};
    }

  private:
    pid_t pid_ = -1;
    UniqueFd output_;
    LineReader reader_{-1};
    std::string seen_;
};

class Notes : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        name_ = uniqueName("notebook");
    }

    // Starts the service of `version` and waits until it serves.
    void startService(int version) {
        service_ = std::make_unique<Running>(kServices[version], std::vector<std::string>{"--name", name_});
        ASSERT_TRUE(service_->lineWith("serving " + name_)) << service_->finish().second;
    }
    // SIGTERM; it must withdraw its name and exit 0. Returns its log.
    std::string stopService() {
        service_->signal(SIGTERM);
        const auto [status, log] = service_->finish();
        EXPECT_EQ(status, 0) << log;
        EXPECT_THAT(log, HasSubstr("Terminated, withdrew " + name_));
        return log;
    }
    Running& service() { return *service_; }

    // The client of `version` started with `args` after its --name.
    std::unique_ptr<Running> startClient(int version, const std::vector<std::string>& args) {
        std::vector<std::string> all{"--name", name_, "--wait", "10000"};
        all.insert(all.end(), args.begin(), args.end());
        return std::make_unique<Running>(kClients[version], all);
    }
    std::pair<int, std::string> client(int version, const std::vector<std::string>& args) {
        return startClient(version, args)->finish();
    }

  private:
    std::string name_;
    std::unique_ptr<Running> service_;
};

// The version 1 methods, a watcher called back across the processes, and
// the version and hash each side states, for every pairing of versions.
TEST_F(Notes, EveryClientVersionWorksWithEveryServiceVersionAndEachSideStatesItsHash) {
    const std::string v1 = std::string("version 1 hash ") + kFrozenHash + "\n";
    const std::string v2 = "version 2 hash notfrozen\n";
    const struct {
        int service;
        int client;
        std::string version;
    } pairings[] = {
            {1, 1, "service: " + v1 + "client: " + v1},
            {1, 2, "service: " + v1 + "client: " + v2},
            {2, 1, "service: " + v2 + "client: " + v1},
            {2, 2, "service: " + v2 + "client: " + v2},
    };
    for (const auto& pairing : pairings) {
        SCOPED_TRACE("service v" + std::to_string(pairing.service) + ", client v" + std::to_string(pairing.client));
        startService(pairing.service);
        const auto [tourStatus, tour] = client(pairing.client, {"tour"});
        EXPECT_EQ(tourStatus, 0) << tour;
        EXPECT_THAT(tour, HasSubstr("get: #2 \"call Alice\" pinned priority 3 no body\n"));
        EXPECT_THAT(tour, HasSubstr("counts: 2 notes, 1 pinned\n"));  // an out value and the result
        EXPECT_THAT(tour, HasSubstr("watcher: told of 5 changes\n"));
        EXPECT_EQ(client(pairing.client, {"version"}), std::make_pair(0, pairing.version));
        stopService();
    }
}

// search() is version 2's: a version 1 service does not have its code, and
// the proxy says so, unless a default implementation is installed.
TEST_F(Notes, TheNewMethodAgainstAVersionOneServiceIsAnUnknownTransactionOrFallsBack) {
    const std::string found = "search \"tea\": 1 notes\n  #1 \"groceries\" priority 2 body \"tea\"\n";
    const struct {
        int service;
        bool fallback;
        int status;
        std::string output;
    } cases[] = {
            {1, false, 1, "notes_client: search: STATUS_UNKNOWN_TRANSACTION: "},
            {1, true, 0, found},
            {2, false, 0, found},
            {2, true, 0, found},  // the fallback runs only when the service lacks the method
    };
    for (const auto& each : cases) {
        SCOPED_TRACE("service v" + std::to_string(each.service) + (each.fallback ? ", with fallback" : ""));
        startService(each.service);
        ASSERT_EQ(client(1, {"tour"}).first, 0);  // leaves "groceries", body "tea"
        std::vector<std::string> args{"search", "tea"};
        if (each.fallback) args.insert(args.begin(), "--fallback");
        const auto [status, output] = client(2, args);
        EXPECT_EQ(status, each.status);
        EXPECT_EQ(output.substr(0, each.output.size()), each.output);
        stopService();
    }
}

// A watcher of another process and version hears each change as it
// happens; when its process dies the service drops it and goes on.
TEST_F(Notes, AWatcherHearsEveryChangeAndIsDroppedWhenItsProcessDies) {
    startService(1);
    const std::unique_ptr<Running> watcher = startClient(2, {"watch"});
    ASSERT_TRUE(watcher->lineWith("watching 0 notes"));
    ASSERT_EQ(client(1, {"tour"}).first, 0);
    for (const char* change : {"changed #1", "changed #2", "changed #1", "changed #1", "removed #2"}) {
        EXPECT_EQ(watcher->lineWith("#"), std::optional<std::string>(change));
    }
    watcher->signal(SIGKILL);
    EXPECT_TRUE(service().lineWith("the watcher of process " + std::to_string(watcher->pid()) + " died; dropped"));
    EXPECT_EQ(client(1, {"tour"}).first, 0);

    // A watcher that stops on SIGTERM unregisters and exits 0.
    const std::unique_ptr<Running> polite = startClient(1, {"watch"});
    ASSERT_TRUE(polite->lineWith("watching 2 notes"));  // one left by each tour
    polite->signal(SIGTERM);
    EXPECT_EQ(polite->finish().first, 0);
    stopService();
}

// noteChanged is one-way: the service does not wait for a watcher whose
// process is stopped (a two-way call would hold each change, and the
// tour's calls would time out), and the stopped watcher, once resumed,
// hears every change in order.
TEST_F(Notes, AStoppedWatcherDelaysNoChangeAndHearsThemAllWhenItResumes) {
    startService(1);
    const std::unique_ptr<Running> watcher = startClient(1, {"watch"});
    ASSERT_TRUE(watcher->lineWith("watching 0 notes"));
    watcher->signal(SIGSTOP);
    const auto [status, tour] = client(2, {"tour"});
    EXPECT_EQ(status, 0) << tour;
    watcher->signal(SIGCONT);
    for (const char* change : {"changed #1", "changed #2", "changed #1", "changed #1", "removed #2"}) {
        EXPECT_EQ(watcher->lineWith("#"), std::optional<std::string>(change));
    }
    watcher->signal(SIGTERM);
    EXPECT_EQ(watcher->finish().first, 0);
    EXPECT_THAT(stopService(), Not(HasSubstr("a watcher failed")));
}

}  // namespace
}  // namespace bgs_process_test
