// The embedded service registry across processes: publishing, lookups,
// liveness of entries, listing, waiting, and the registry directory.
//
// The registry directory is resolved once per process, so every scenario
// runs in a forked child of its own with its own temporary directory; the
// child reports gtest failures through its exit status. Every forked process
// arms alarm(), so that a hang ends within kLimitSeconds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "registry/registry.h"

namespace {

using namespace binder_ndk::internal;
using Names = std::vector<std::string>;

constexpr unsigned kLimitSeconds = 30;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        closeWrite();
    }
    void closeWrite() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    void send() const { EXPECT_EQ(write(fds[1], "!", 1), 1); }
    bool receive() const {
        char byte;
        return read(fds[0], &byte, 1) == 1;
    }
};

// Runs `body` in a forked process, killed when this one ends; returns its pid.
pid_t spawn(const std::function<void()>& body) {
    const pid_t parent = getpid();
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    alarm(kLimitSeconds);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(3);
    body();
    std::fflush(stdout);
    _exit(testing::Test::HasFailure() ? 1 : 0);
}

bool reapedCleanly(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void killAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Runs `body(base)` in a child whose registry directory is `base`, a fresh
// temporary directory, unless `body` sets the environment otherwise first.
void inFreshRegistry(const std::function<void(const std::string& base)>& body) {
    std::string base = testing::TempDir() + "bgs-registry-XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    EXPECT_TRUE(reapedCleanly(spawn([&] {
        setenv("BGS_SERVICE_DIR", base.c_str(), 1);
        body(base);
    })));
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}

// A process that publishes `name` at `address` (once a byte arrives on `go`,
// if given) and then lives until killed. Without `go`, -1 if publishing fails.
pid_t startPublisher(const char* name, const char* address, const Pipe* go = nullptr) {
    Pipe report;
    const pid_t pid = spawn([&] {
        if (go != nullptr && !go->receive()) _exit(2);
        if (registryPublish(name, {getpid(), address}) == EX_NONE) report.send();
        pause();
    });
    report.closeWrite();
    if (go != nullptr || report.receive()) return pid;
    killAndReap(pid);
    return -1;
}

Names liveNames() {
    Names names;
    registryForEach(&names, [](const char* name, const ServiceEndpoint&, void* context) {
        static_cast<Names*>(context)->emplace_back(name);
    });
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RuntimeRegistry, DirectoryFollowsTheEnvironment) {
    const struct {
        const char* serviceDir;  // null: unset; "@" stands for the temporary directory
        const char* runtimeDir;
        const char* tmpDir;
        std::string expected;  // below the temporary directory; "" when unusable
    } kCases[] = {
        {"@/chosen", "@", "@", "/chosen"},
        {"", "@", "@", "/bgservice"},
        {nullptr, "", "@", "/bgservice-" + std::to_string(geteuid())},
        {"@/missing/chosen", nullptr, nullptr, ""},
        {"@/file", nullptr, nullptr, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.expected + " from " + (c.serviceDir ? c.serviceDir : "(unset)"));
        inFreshRegistry([&](const std::string& base) {
            umask(0277);  // a directory made by the registry is 0700 all the same
            std::fclose(std::fopen((base + "/file").c_str(), "w"));
            for (const auto& [variable, value] : {std::pair{"BGS_SERVICE_DIR", c.serviceDir},
                                                  {"XDG_RUNTIME_DIR", c.runtimeDir}, {"TMPDIR", c.tmpDir}}) {
                std::string text = value ? value : "";
                if (!text.empty() && text[0] == '@') text.replace(0, 1, base);
                value ? setenv(variable, text.c_str(), 1) : unsetenv(variable);
            }
            struct stat status;
            if (c.expected.empty()) {
                EXPECT_EQ(registryDirectory(), "");
                EXPECT_NE(stat((base + "/missing").c_str(), &status), 0);
                EXPECT_EQ(registryPublish("svc", {getpid(), "addr"}), EX_ILLEGAL_STATE);
                return;
            }
            EXPECT_EQ(registryDirectory(), base + c.expected);
            ASSERT_EQ(stat((base + c.expected).c_str(), &status), 0);
            EXPECT_TRUE(S_ISDIR(status.st_mode));
            EXPECT_EQ(status.st_mode & 0777, 0700u);
            EXPECT_EQ(registryPublish("svc", {getpid(), "addr"}), EX_NONE);
        });
    }
}

TEST(RuntimeRegistry, MalformedNamesAndAddressesAreRefused) {
    inFreshRegistry([](const std::string&) {
        const struct {
            std::string name;
            bool valid;
        } kCases[] = {
            {"!", true}, {"vendor.a/b.c", true}, {std::string(255, '~'), true}, {"", false},
            {std::string(256, 'x'), false}, {"a b", false}, {"a\nb", false}, {"a\x7f", false}, {"caf\xc3\xa9", false},
        };
        for (const auto& c : kCases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(isValidServiceName(c.name.c_str()), c.valid);
            EXPECT_EQ(registryPublish(c.name.c_str(), {getpid(), "addr"}), c.valid ? EX_NONE : EX_ILLEGAL_ARGUMENT);
            EXPECT_EQ(registryLookup(c.name.c_str(), nullptr), c.valid);
            EXPECT_EQ(registryWait(c.name.c_str(), 0, "", nullptr), c.valid);
        }
        EXPECT_EQ(registryPublish(nullptr, {getpid(), "addr"}), EX_ILLEGAL_ARGUMENT);
        for (const std::string& address : {std::string(), std::string(101, 'a'), std::string("a\nb")}) {
            EXPECT_EQ(registryPublish("fresh", {getpid(), address}), EX_ILLEGAL_ARGUMENT);
        }
        EXPECT_EQ(liveNames(), (Names{"!", "vendor.a/b.c", std::string(255, '~')}));
    });
}

TEST(RuntimeRegistry, EntryIsHeldWhileItsOwnerLivesAndFreedWhenItIsKilled) {
    inFreshRegistry([](const std::string&) {
        const pid_t owner = startPublisher("svc", "owner-addr");
        const pid_t other = startPublisher("other", "other-addr");
        ASSERT_GT(owner, 0);
        ASSERT_GT(other, 0);
        ServiceEndpoint found;
        ASSERT_TRUE(registryLookup("svc", &found));
        EXPECT_EQ(found.pid, owner);
        EXPECT_EQ(found.address, "owner-addr");
        EXPECT_EQ(registryPublish("svc", {getpid(), "mine"}), EX_ILLEGAL_STATE);
        EXPECT_EQ(liveNames(), (Names{"other", "svc"}));

        killAndReap(owner);
        EXPECT_FALSE(registryLookup("svc", &found));
        EXPECT_EQ(liveNames(), Names{"other"});
        ASSERT_EQ(registryPublish("svc", {getpid(), "mine"}), EX_NONE);
        EXPECT_EQ(registryPublish("svc", {getpid(), "again"}), EX_ILLEGAL_STATE);
        const pid_t self = getpid();
        EXPECT_TRUE(reapedCleanly(spawn([self] {
            ServiceEndpoint seen;
            EXPECT_TRUE(registryLookup("svc", &seen));
            EXPECT_EQ(seen.pid, self);
            EXPECT_EQ(seen.address, "mine");
            EXPECT_EQ(registryPublish("svc", {getpid(), "theirs"}), EX_ILLEGAL_STATE);
        })));
    });
}

TEST(RuntimeRegistry, ForkedChildOfAnOwnerDoesNotKeepItsEntryAlive) {
    inFreshRegistry([](const std::string&) {
        Pipe heirPid;
        Pipe lifeline;  // the heir lives until this process ends
        const pid_t owner = spawn([&] {
            lifeline.closeWrite();
            ASSERT_EQ(registryPublish("svc", {getpid(), "owner"}), EX_NONE);
            if (fork() == 0) {  // the heir, past fork() and so past its handlers
                alarm(kLimitSeconds);
                const pid_t heir = getpid();
                if (write(heirPid.fds[1], &heir, sizeof heir) == sizeof heir) lifeline.receive();
                _exit(0);
            }
            pause();
        });
        heirPid.closeWrite();
        pid_t heir = 0;
        ASSERT_EQ(read(heirPid.fds[0], &heir, sizeof heir), static_cast<ssize_t>(sizeof heir));
        ASSERT_TRUE(registryLookup("svc", nullptr));

        killAndReap(owner);
        ASSERT_EQ(kill(heir, 0), 0) << "the heir must outlive the owner";
        EXPECT_FALSE(registryLookup("svc", nullptr));
        EXPECT_EQ(registryPublish("svc", {getpid(), "successor"}), EX_NONE);
        kill(heir, SIGKILL);
    });
}

TEST(RuntimeRegistry, LongestNamesWorkUnderADirectoryPathLongerThanASocketPath) {
    const std::string leaf = "/" + std::string(120, 'd');
    inFreshRegistry([&](const std::string& base) {
        setenv("BGS_SERVICE_DIR", (base + leaf).c_str(), 1);
        ASSERT_EQ(registryDirectory(), base + leaf);
        std::string name = "vendor.example/";
        while (name.size() < 255) name += "a.b/";
        name.resize(255);
        std::string sibling = name;
        sibling.back() = '!';
        ASSERT_EQ(registryPublish(name.c_str(), {getpid(), "long"}), EX_NONE);
        ServiceEndpoint found;
        ASSERT_TRUE(registryLookup(name.c_str(), &found));
        EXPECT_EQ(found.address, "long");
        EXPECT_FALSE(registryLookup(sibling.c_str(), &found));
        EXPECT_EQ(liveNames(), Names{name});
    });
}

// Waits (10 s at most) until some process opens an entry file in the
// directory watched (for IN_OPEN) by `watch`.
bool awaitEntryOpened(int watch) {
    alignas(inotify_event) char events[4096];
    pollfd readable = {watch, POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        const ssize_t size = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && std::strncmp(event->name, "s-", 2) == 0) return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return false;
}

TEST(RuntimeRegistry, WaitWakesWhenAnotherProcessPublishesAndOtherwiseTimesOut) {
    inFreshRegistry([](const std::string& dir) {
        using std::chrono::steady_clock;
        ServiceEndpoint found;
        const auto start = steady_clock::now();
        EXPECT_FALSE(registryWait("late", 50, "", &found));
        EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(50));

        const pid_t first = startPublisher("late", "first");
        ASSERT_GT(first, 0);
        EXPECT_TRUE(registryWait("late", 50, "", &found));
        EXPECT_EQ(found.address, "first");
        // An entry known to be unreachable does not count.
        EXPECT_FALSE(registryWait("late", 50, "first", &found));

        // The replacement is published only after the wait has opened the
        // skipped entry, that is after its first look: only a change
        // notification can bring it to the wait.
        const int opens = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(opens, dir.c_str(), IN_OPEN), 0);
        Pipe go;
        const pid_t second = startPublisher("late", "second", &go);
        std::thread replacer([&] {
            if (!awaitEntryOpened(opens)) return;
            killAndReap(first);
            go.send();
        });
        const auto waitStart = steady_clock::now();
        EXPECT_TRUE(registryWait("late", 20000, "first", &found));
        EXPECT_LT(steady_clock::now() - waitStart, std::chrono::seconds(10)) << "woken by the timeout, not the change";
        replacer.join();
        close(opens);
        EXPECT_EQ(found.pid, second);
        EXPECT_EQ(found.address, "second");
    });
}

TEST(RuntimeRegistry, DamagedEntriesOfLiveOwnersCountAsAbsent) {
    inFreshRegistry([](const std::string& dir) {
        // The entry file of "svc" is the one file a publisher of it adds.
        killAndReap(startPublisher("svc", "addr"));
        Names files;
        for (const auto& item : std::filesystem::directory_iterator(dir)) {
            if (item.path().filename().string().rfind("s-", 0) == 0) files.push_back(item.path());
        }
        ASSERT_EQ(files.size(), 1u);
        const std::string entry = files[0];

        const std::string kHeader = "bgs-registry 1\n";
        const struct {
            std::string content;
            bool valid;
        } kCases[] = {
            {kHeader + "4242\naddr\nsvc\n", true},
            {"", false},
            {"bgs-registry 2\n4242\naddr\nsvc\n", false},
            {kHeader + "42x\naddr\nsvc\n", false},
            {kHeader + "0\naddr\nsvc\n", false},
            {kHeader + "4242\n\nsvc\n", false},
            {kHeader + "4242\naddr\nother\n", false},  // another name of the same hash
            {kHeader + "4242\naddr\nsvc", false},
            {kHeader + "4242\naddr\nsvc\nmore\n", false},
            {kHeader + "4242\naddr\nsvc\n" + std::string(2000, 'x'), false},
        };
        for (const auto& c : kCases) {
            SCOPED_TRACE(c.content.substr(0, 40));
            // Put in place as a publisher does, and locked as by a live owner.
            const std::string planted = dir + "/planted";
            const int held = open(planted.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ASSERT_EQ(write(held, c.content.data(), c.content.size()), static_cast<ssize_t>(c.content.size()));
            ASSERT_EQ(flock(held, LOCK_EX), 0);
            ASSERT_EQ(rename(planted.c_str(), entry.c_str()), 0);
            ServiceEndpoint found;
            EXPECT_EQ(registryLookup("svc", &found), c.valid);
            EXPECT_EQ(found.pid, c.valid ? 4242 : 0);
            EXPECT_EQ(liveNames(), c.valid ? Names{"svc"} : Names{});
            EXPECT_FALSE(registryLookup("other", nullptr));
            // Whatever a live owner's file says, it is not replaced.
            EXPECT_EQ(registryPublish("svc", {getpid(), "mine"}), EX_ILLEGAL_STATE);
            close(held);
        }

        // A FIFO under the entry name neither blocks a lookup nor stops a publish.
        ASSERT_EQ(unlink(entry.c_str()), 0);
        ASSERT_EQ(mkfifo(entry.c_str(), 0600), 0);
        EXPECT_FALSE(registryLookup("svc", nullptr));
        EXPECT_EQ(registryPublish("svc", {getpid(), "mine"}), EX_NONE);
        EXPECT_TRUE(registryLookup("svc", nullptr));
    });
}

}  // namespace

namespace {

// "@" in `text` stands for `base`.
std::string at(const std::string& base, std::string text) {
    for (size_t found; (found = text.find('@')) != std::string::npos;) text.replace(found, 1, base);
    return text;
}

TEST(RuntimeRegistry, UnsafeDirectoriesAreRefusedWithTheirReason) {
    const std::string self = std::to_string(geteuid());
    const struct {
        const char* name;
        const char* directory;  // "@" is a fresh temporary directory, prepared by `setup`
        std::function<void(const std::string& base)> setup;
        BgsRegistryOutcome outcome;
        std::string message;
    } kCases[] = {
        {"a file", "@/file", [](const std::string& base) { std::fclose(std::fopen((base + "/file").c_str(), "w")); },
         BGS_REGISTRY_UNUSABLE, "@/file is not a directory"},
        {"a missing parent", "@/missing/registry", [](const std::string&) {}, BGS_REGISTRY_UNUSABLE,
         "@/missing is missing"},
        {"group-writable", "@/shared",
         [](const std::string& base) { ASSERT_EQ(mkdir((base + "/shared").c_str(), 0700), 0);
                                       ASSERT_EQ(chmod((base + "/shared").c_str(), 0770), 0); },
         BGS_REGISTRY_UNUSABLE, "@/shared is group-writable (mode 0770)"},
        {"world-writable", "@/open",
         [](const std::string& base) { ASSERT_EQ(mkdir((base + "/open").c_str(), 0700), 0);
                                       ASSERT_EQ(chmod((base + "/open").c_str(), 01777), 0); },
         BGS_REGISTRY_UNUSABLE, "@/open is world-writable (mode 1777)"},
        {"a link on the way", "@/link/registry",
         [](const std::string& base) { ASSERT_EQ(mkdir((base + "/real").c_str(), 0700), 0);
                                       ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/link").c_str()), 0); },
         BGS_REGISTRY_UNUSABLE, "@/link: component 'link' is a symbolic link"},
        {"a link at the end", "@/link",
         [](const std::string& base) { ASSERT_EQ(mkdir((base + "/real").c_str(), 0700), 0);
                                       ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/link").c_str()), 0); },
         BGS_REGISTRY_UNUSABLE, "@/link: component 'link' is a symbolic link"},
        {"another user's", "@/foreign",
         [](const std::string& base) { ASSERT_EQ(mkdir((base + "/foreign").c_str(), 0700), 0);
                                       ASSERT_EQ(chown((base + "/foreign").c_str(), 65534, 65534), 0); },
         BGS_REGISTRY_PERMISSION_DENIED, "@/foreign is owned by uid 65534, not this user (uid " + self + ")"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (geteuid() != 0 && c.outcome == BGS_REGISTRY_PERMISSION_DENIED) continue;  // chown needs root
        inFreshRegistry([&](const std::string& base) {
            c.setup(base);
            setenv("BGS_SERVICE_DIR", at(base, c.directory).c_str(), 1);
            RegistryReport report;
            EXPECT_FALSE(registryUsable(&report));
            EXPECT_EQ(report.outcome, c.outcome);
            EXPECT_EQ(report.message, at(base, c.message));
            EXPECT_EQ(registryDirectory(), "");
            EXPECT_EQ(registryPath(), at(base, c.directory));
            RegistryReport published;
            EXPECT_EQ(registryPublish("svc", {getpid(), "addr"}, &published), c.outcome);
            EXPECT_EQ(published.message, report.message);
            EXPECT_FALSE(registryForEach(nullptr, [](const char*, const ServiceEndpoint&, void*) {}));
            struct stat status;
            EXPECT_NE(stat((base + "/missing").c_str(), &status), 0) << "only the last component is made";
        });
    }
}

// A process of this user that keeps the directory lock delays a publisher
// by the lock deadline at most, and lookups not at all.
TEST(RuntimeRegistry, AHeldDirectoryLockBoundsPublishingAndNeverStallsLookups) {
    inFreshRegistry([](const std::string& dir) {
        using std::chrono::steady_clock;
        setenv("BGS_REGISTRY_LOCK_MS", "300", 1);
        killAndReap(startPublisher("stale", "gone"));  // leaves an entry whose owner has ended
        Pipe locked;
        const pid_t holder = spawn([&] {
            const int fd = open((dir + "/.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 && flock(fd, LOCK_EX) == 0) locked.send();
            pause();
        });
        locked.closeWrite();
        ASSERT_TRUE(locked.receive());

        const auto start = steady_clock::now();
        RegistryReport report;
        EXPECT_EQ(registryPublish("svc", {getpid(), "addr"}, &report), BGS_REGISTRY_UNUSABLE);
        const auto waited = steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(300));
        EXPECT_LT(waited, std::chrono::milliseconds(300 + 2000));
        EXPECT_EQ(report.message, "the registry lock " + dir + "/.lock is held by pid " + std::to_string(holder) +
                                          " for more than 300 ms (BGS_REGISTRY_LOCK_MS)");
        EXPECT_EQ(report.pid, holder);

        const auto lookupStart = steady_clock::now();
        EXPECT_FALSE(registryLookup("stale", nullptr));
        EXPECT_EQ(liveNames(), Names{});
        EXPECT_LT(steady_clock::now() - lookupStart, std::chrono::milliseconds(250)) << "waited for the lock";

        killAndReap(holder);
        EXPECT_EQ(registryPublish("svc", {getpid(), "addr"}, &report), BGS_REGISTRY_OK);
    });
}

}  // namespace
