// Many client processes calling one service at once.
#include "process_test_support.h"

#include <unistd.h>

#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;

class ProcessLoad : public ProcessTest {};

constexpr int kClients = 8;
constexpr Millis kDuration{2000};

// A client of the probe args[0]: once it takes a byte from the descriptor
// args[1], calls for kDuration, checking every answer, and then writes how
// many calls it made as a line to args[2].
BGS_TEST_ROLE(loadClient) {
    const std::string name = args.text(0);
    const int start = args.fd(1);
    const int counts = args.fd(2);
    ChildChecks checks;
    const auto service = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(name.c_str())));
    if (!CHILD_EXPECT(checks, service != nullptr)) return checks.report();
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    if (!CHILD_EXPECT(checks, takeByte(start))) return checks.report();
    const auto end = Clock::now() + kDuration;
    int calls = 0;
    std::string firstWrong;
    for (int32_t call = 1; Clock::now() < end; ++call) {
        int32_t result = 0;
        bool right = false;
        switch (call % 4) {
            case 0:
                right = service->getGalleryAvailability(call, &result).isOk() && result == 2 * call;
                break;
            case 1:
                right = service->getGalleryAvailability(ProbeService::kAskCallingPid, &result).isOk() &&
                        result == ::getpid();
                break;
            case 2:
                right = service->getStorageLoadCompletedStatus(call, &result).isOk() && result == -call;
                break;
            default:
                right = service->setEventCallback(call, callback, &result).isOk() && result == STATUS_OK &&
                        callback->last().value_or(ReceivedEvent{}).value == call;
                break;
        }
        ++calls;
        if (!right && firstWrong.empty()) firstWrong = "call " + std::to_string(call) + " went wrong";
    }
    sendLine(counts, std::to_string(calls));
    checks.expect(firstWrong.empty(), firstWrong);
    return checks.report();
}

// Each client mixes plain calls, identity queries and calls that call back
// into it, for a fixed time, and checks every answer; the service counts
// what it served.
TEST_F(ProcessLoad, EightClientsCallingAtOnceAreAllAnswered) {
    const auto probe = SharedRefBase::makeRef<ProbeService>();
    const std::string name = uniqueName("probe");
    ASSERT_EQ(publish(probe->asBinder(), name), "");

    Pipe start;
    Pipe counts;
    std::vector<ChildProcess*> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(&spawn("loadClient", {name, HandOver{start.readEnd.get()}, HandOver{counts.writeEnd.get()}}));
    }
    const int servedBefore = probe->callsServed();
    ASSERT_TRUE(writeAll(start.writeEnd.get(), std::string(kClients, 's').data(), kClients));

    int total = 0;
    LineReader reader(counts.readEnd.get());
    for (int i = 0; i < kClients; ++i) {
        const std::optional<std::string> count = reader.next(kDuration + kPatience);
        ASSERT_TRUE(count.has_value()) << "client reports: " << i;
        EXPECT_GT(std::stoi(*count), 0);
        total += std::stoi(*count);
    }
    for (ChildProcess* client : clients) EXPECT_EQ(client->finish(), "");
    EXPECT_EQ(probe->callsServed() - servedBefore, total);
}

}  // namespace
}  // namespace bgs_process_test
