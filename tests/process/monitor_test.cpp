// Monitors across real processes: a monitor attached to a service or a
// client sees each transaction that process makes or serves, runtime
// requests included; one that never reads costs the watched process
// nothing and learns how many records it lost; at most four attach.
#include "process_test_support.h"

#include <bgs/monitor.h>
#include <bgs/scoped_call_timeout.h>

#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Seen {
    std::vector<BgsMonitorRecord> transactions;
    uint64_t lost = 0;
    bool ended = false;  // the watched process closed the connection
};

// Reads records from monitor `fd` until `enough` holds or the patience
// runs out. Every packet must be whole, valid records.
template <typename Enough>
Seen readRecords(int fd, Enough enough) {
    Seen seen;
    const auto until = Clock::now() + kPatience;
    while (!enough(seen) && Clock::now() < until) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        BgsMonitorRecord packet[BGS_MONITOR_RECORDS_PER_PACKET + 1];
        const ssize_t n = ::recv(fd, packet, sizeof packet, 0);
        if (n <= 0) {
            seen.ended = true;
            break;
        }
        EXPECT_EQ(n % sizeof(BgsMonitorRecord), 0u);
        EXPECT_LE(static_cast<size_t>(n), BGS_MONITOR_RECORDS_PER_PACKET * sizeof(BgsMonitorRecord));
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(BgsMonitorRecord); ++i) {
            EXPECT_EQ(packet[i].magic, BGS_MONITOR_RECORD_MAGIC);
            if (packet[i].kind == BGS_MONITOR_LOST) {
                seen.lost += packet[i].lost;
            } else {
                EXPECT_EQ(packet[i].kind, BGS_MONITOR_TRANSACTION);
                seen.transactions.push_back(packet[i]);
            }
        }
    }
    return seen;
}

std::string methodOf(const BgsMonitorRecord& record) {
    return std::string(record.method, strnlen(record.method, sizeof record.method));
}

std::string interfaceOf(const BgsMonitorRecord& record) {
    return std::string(record.interfaceName, strnlen(record.interfaceName, sizeof record.interfaceName));
}

// A client of the service args[0] that serves nothing. It says "ready" on
// args[1] once connected, waits for a byte on args[2], then looks the
// service up again, pings it, asks for its dump and a shell command, and
// calls a method; its stderr goes to args[3].
BGS_TEST_ROLE(watchedClient) {
    ChildChecks checks;
    ::dup2(args.fd(3), STDERR_FILENO);
    const ::ndk::SpAIBinder first(AServiceManager_waitForServiceTimeout(args.text(0).c_str(), 10000));
    if (!CHILD_EXPECT(checks, first.get() != nullptr)) return checks.report();
    if (!CHILD_EXPECT(checks, sendLine(args.fd(1), "ready") && takeByte(args.fd(2)))) return checks.report();
    const ::ndk::SpAIBinder binder(AServiceManager_checkService(args.text(0).c_str()));
    CHILD_EXPECT(checks, binder.get() == first.get());
    CHILD_EXPECT(checks, AIBinder_ping(binder.get()) == STATUS_OK);
    const int sink = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    CHILD_EXPECT(checks, AIBinder_dump(binder.get(), sink, nullptr, 0) == STATUS_OK);
    const char* shellArgs[] = {"status"};
    CHILD_EXPECT(checks, AIBinder_shellCommand(binder.get(), sink, sink, sink, shellArgs, 1) == STATUS_OK);
    ::close(sink);
    int32_t doubled = 0;
    CHILD_EXPECT(checks, IBGService::fromBinder(binder)->getGalleryAvailability(21, &doubled).isOk());
    return checks.report();
}

class ProcessMonitor : public ProcessTest {};

// A pure client listens once it has talked to a service, so it can be
// watched by pid. Its out-calls, runtime requests included, reach both the
// monitor and BGS_TRACE through the one tap; its end ends the monitor.
TEST_F(ProcessMonitor, AClientIsWatchedByPidAndItsRuntimeRequestsAreRecordedAndTraced) {
    const std::string name = uniqueName("watched");
    ChildProcess& server = spawnProbe(name);
    Pipe ready;
    Pipe go;
    Pipe trace;
    ::setenv("BGS_TRACE", "1", 1);
    ChildProcess& client = spawn("watchedClient", {name, HandOver{ready.writeEnd.get()}, HandOver{go.readEnd.get()},
                                                   HandOver{trace.writeEnd.get()}});
    ::unsetenv("BGS_TRACE");
    trace.writeEnd.reset();
    LineReader readyLines(ready.readEnd.get());
    ASSERT_EQ(readyLines.next(), std::optional<std::string>("ready")) << client.finish();

    pid_t watched = 0;
    const UniqueFd monitor(BgsMonitor_connect(nullptr, client.pid(), 0, &watched));
    ASSERT_GE(monitor.get(), 0);
    EXPECT_EQ(watched, client.pid());
    ASSERT_TRUE(writeAll(go.writeEnd.get(), "g", 1));
    const Seen seen = readRecords(monitor.get(), [](const Seen&) { return false; });
    EXPECT_TRUE(seen.ended) << "the client's end closes its monitors";
    EXPECT_EQ(client.finish(), "");

    std::vector<std::string> methods;
    for (const BgsMonitorRecord& record : seen.transactions) {
        methods.push_back(methodOf(record));
        EXPECT_EQ(record.flags, 0u) << "out, two-way: " << methods.back();
        EXPECT_EQ(record.peerPid, server.pid());
        EXPECT_EQ(record.status, STATUS_OK);
    }
    EXPECT_THAT(methods, ElementsAre("getService", "ping", "dump", "shellCommand", "getGalleryAvailability"));
    ASSERT_EQ(seen.transactions.size(), 5u);
    EXPECT_EQ(interfaceOf(seen.transactions[0]), "(process)");
    EXPECT_EQ(interfaceOf(seen.transactions[4]), IBGService::descriptor);
    EXPECT_EQ(seen.transactions[4].code, uint32_t{IBGService::TRANSACTION_getGalleryAvailability});
    EXPECT_EQ(seen.transactions[4].replyBytes, 8u);

    bool complete = false;
    const std::string traced = readToEnd(trace.readEnd.get(), kPatience, &complete);
    for (const char* method : {"(getService)", "(ping)", "(dump)", "(shellCommand)", "(getGalleryAvailability)"}) {
        EXPECT_THAT(traced, HasSubstr(method)) << "bgs-trace out ... code=N" << method;
    }
}

// Records wait in a bounded queue and the loop never waits for the monitor:
// calls past the bound all succeed in time, and every record is either
// delivered or counted as lost.
TEST_F(ProcessMonitor, AMonitorThatNeverReadsCostsTheServiceNothingAndLearnsWhatItLost) {
    const std::string name = uniqueName("stalled");
    ChildProcess& server = spawnProbe(name);
    const std::shared_ptr<IBGService> service = waitForProbe(name, &server);
    ASSERT_NE(service, nullptr);
    pid_t watched = 0;
    const UniqueFd monitor(BgsMonitor_connect(name.c_str(), 0, 0, &watched));
    ASSERT_GE(monitor.get(), 0);
    EXPECT_EQ(watched, server.pid());

    // Far more than the queue and the socket's buffer hold together.
    constexpr int kCalls = 20 * BGS_MONITOR_QUEUE_RECORDS;
    const bgs::ScopedCallTimeout deadline(std::chrono::milliseconds(2000));
    int failed = 0;
    for (int i = 0; i < kCalls; ++i) {
        int32_t result = 0;
        if (!service->getStorageLoadCompletedStatus(i, &result).isOk() || result != -i) ++failed;
    }
    EXPECT_EQ(failed, 0);

    const Seen seen = readRecords(monitor.get(), [](const Seen& so) {
        return so.transactions.size() + so.lost >= static_cast<size_t>(kCalls);
    });
    EXPECT_GT(seen.lost, 0u);
    EXPECT_EQ(seen.transactions.size() + seen.lost, static_cast<size_t>(kCalls));
    for (const BgsMonitorRecord& record : seen.transactions) {
        EXPECT_EQ(record.flags, uint32_t{BGS_MONITOR_INCOMING});
        EXPECT_EQ(record.peerPid, ::getpid());
        EXPECT_EQ(methodOf(record), "getStorageLoadCompletedStatus");
    }
}

// Monitors are bounded per process; a monitor that hangs up frees its place.
TEST_F(ProcessMonitor, AtMostFourMonitorsAttachAndOneThatLeavesMakesRoom) {
    const std::string name = uniqueName("crowded");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    pid_t watched = 0;
    std::vector<UniqueFd> monitors;
    for (int i = 0; i < BGS_MONITOR_MAX; ++i) {
        monitors.emplace_back(BgsMonitor_connect(name.c_str(), 0, 0, &watched));
        ASSERT_GE(monitors.back().get(), 0) << "monitor " << i;
    }
    EXPECT_EQ(BgsMonitor_connect(name.c_str(), 0, 0, &watched), BGS_MONITOR_BUSY);
    monitors.front().reset();
    int again = -1;
    EXPECT_TRUE(eventually([&] {
        again = BgsMonitor_connect(name.c_str(), 0, 0, &watched);
        return again >= 0;
    }));
    const UniqueFd last(again);

    const struct {
        const char* name;
        pid_t pid;
        int expected;
    } wrong[] = {
            {nullptr, 0, BGS_MONITOR_BAD_ARGUMENT},
            {name.c_str(), server.pid(), BGS_MONITOR_BAD_ARGUMENT},
            {"not a name", 0, BGS_MONITOR_BAD_ARGUMENT},
            {"nobody/served", 0, BGS_MONITOR_NOT_SERVED},
            {nullptr, 1, BGS_MONITOR_NO_LISTENER},
    };
    for (const auto& attempt : wrong) {
        EXPECT_EQ(BgsMonitor_connect(attempt.name, attempt.pid, 0, &watched), attempt.expected)
                << (attempt.name != nullptr ? attempt.name : "") << " pid " << attempt.pid;
    }
}

}  // namespace
}  // namespace bgs_process_test
