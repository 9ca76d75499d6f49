// The registry as processes share it, dump and shell commands on another
// process's object, and a child forked from a process that uses the runtime.
#include "process_test_support.h"

#include <set>
#include <string>

namespace bgs_process_test {
namespace {

using ::ndk::SharedRefBase;
using ::ndk::SpAIBinder;

class ProcessRegistry : public ProcessTest {};
class ProcessDiagnostics : public ProcessTest {};
class ProcessFork : public ProcessTest {};

TEST_F(ProcessRegistry, UnknownNamesAndNamesOfDeadProcessesAreAbsent) {
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(uniqueName("never-published").c_str())).get(), nullptr);

    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    server.kill();
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name.c_str())).get(), nullptr);

    // The dead process's entry gives way to a new publisher.
    const SpAIBinder mine = SharedRefBase::makeRef<ProbeService>()->asBinder();
    EXPECT_EQ(publish(mine, name), "");
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name.c_str())).get(), mine.get());
}

TEST_F(ProcessRegistry, ListsTheNamesLiveProcessesServe) {
    const std::string first = uniqueName("first");
    const std::string second = uniqueName("second");
    const std::string ended = uniqueName("ended");
    ChildProcess& server = spawnService([first, second] {
        return publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), first) +
               publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), second);
    });
    ChildProcess& endedServer = spawnProbe(ended);
    ASSERT_NE(waitForBinder(first, &server).get(), nullptr);
    ASSERT_NE(waitForBinder(second, &server).get(), nullptr);
    ASSERT_NE(waitForBinder(ended, &endedServer).get(), nullptr);
    endedServer.kill();

    std::set<std::string> listed;
    AServiceManager_forEachService(&listed, [](const char* instance, void* context) {
        static_cast<std::set<std::string>*>(context)->insert(instance);
    });
    EXPECT_EQ(listed.count(first), 1u);
    EXPECT_EQ(listed.count(second), 1u);
    EXPECT_EQ(listed.count(ended), 0u);
    // A name a live process serves is not anyone else's to take.
    EXPECT_EQ(AServiceManager_addService(SharedRefBase::makeRef<ProbeService>()->asBinder().get(), first.c_str()),
              EX_ILLEGAL_STATE);
}

TEST_F(ProcessRegistry, AWithdrawnNameIsGoneAndFreeForOthers) {
    const std::string name = uniqueName("withdrawn");
    const SpAIBinder mine = SharedRefBase::makeRef<ProbeService>()->asBinder();
    ASSERT_EQ(publish(mine, name), "");
    EXPECT_EQ(AServiceManager_removeService(name.c_str()), EX_NONE);
    EXPECT_EQ(AServiceManager_removeService(name.c_str()), EX_ILLEGAL_ARGUMENT);
    EXPECT_EQ(SpAIBinder(AServiceManager_checkService(name.c_str())).get(), nullptr);
    ChildProcess& server = spawnProbe(name);
    EXPECT_NE(waitForBinder(name, &server).get(), nullptr);
}

TEST_F(ProcessRegistry, WaitingForAnAbsentNameEndsAtTheTimeout) {
    const auto start = Clock::now();
    const SpAIBinder none(AServiceManager_waitForServiceTimeout(uniqueName("absent").c_str(), 300));
    const auto waited = std::chrono::duration_cast<Millis>(Clock::now() - start);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_GE(waited.count(), 250);
    EXPECT_LT(waited.count(), 3000);
}

// The caller is a fresh child, so that no other test's connections open or
// close descriptors while it counts its own.
TEST_F(ProcessDiagnostics, DumpAndShellCommandWriteToTheCallersDescriptorsAndLeakNone) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);

    ChildProcess& caller = spawn([name] {
        ChildChecks checks;
        const SpAIBinder binder(AServiceManager_checkService(name.c_str()));
        if (!CHILD_EXPECT(checks, binder.get() != nullptr)) return checks.report();
        CHILD_EXPECT(checks, AIBinder_ping(binder.get()) == STATUS_OK);  // the connection is up before counting
        const size_t before = openDescriptorCount();
        bool complete = false;
        {
            Pipe out;
            const char* args[] = {"--all", "two words"};
            CHILD_EXPECT(checks, AIBinder_dump(binder.get(), out.writeEnd.get(), args, 2) == STATUS_OK);
            out.writeEnd.reset();
            // The end of the stream also shows the service closed its copy.
            CHILD_EXPECT(checks, readToEnd(out.readEnd.get(), kPatience, &complete) == "probe dump --all two words\n");
            CHILD_EXPECT(checks, complete);
        }
        {
            Pipe in;
            Pipe out;
            Pipe err;
            CHILD_EXPECT(checks, sendLine(in.writeEnd.get(), "typed input"));
            in.writeEnd.reset();
            const char* args[] = {"status", "--verbose"};
            CHILD_EXPECT(checks, AIBinder_shellCommand(binder.get(), in.readEnd.get(), out.writeEnd.get(),
                                                       err.writeEnd.get(), args, 2) == STATUS_OK);
            out.writeEnd.reset();
            err.writeEnd.reset();
            CHILD_EXPECT(checks, readToEnd(out.readEnd.get(), kPatience, &complete) ==
                                         "out status --verbose\ntyped input\n");
            CHILD_EXPECT(checks, readToEnd(err.readEnd.get(), kPatience, &complete) == "err status --verbose\n");
            CHILD_EXPECT(checks, complete);
        }
        const size_t after = openDescriptorCount();
        checks.expect(after == before,
                      "descriptors open before: " + std::to_string(before) + ", after: " + std::to_string(after));
        return checks.report();
    });
    EXPECT_EQ(caller.finish(), "");
}

TEST_F(ProcessFork, AChildForkedFromAUserServesAndCallsWhileTheParentsSessionsGoOn) {
    const std::string serviceName = uniqueName("probe");
    ChildProcess& server = spawnProbe(serviceName);
    const std::shared_ptr<IBGService> service = waitForProbe(serviceName, &server);
    ASSERT_NE(service, nullptr);
    int32_t result = 0;
    ASSERT_TRUE(service->getGalleryAvailability(4, &result).isOk());

    const std::string childName = uniqueName("forked");
    ChildProcess& forked = spawn([service, serviceName, childName] {
        ChildChecks checks;
        int32_t value = 0;
        // The parent's connection is not the child's: its proxy reports a
        // dead object and never touches the parent's socket.
        CHILD_EXPECT(checks, service->getGalleryAvailability(5, &value).getStatus() == STATUS_DEAD_OBJECT);
        const auto fresh = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(serviceName.c_str())));
        CHILD_EXPECT(checks, fresh != nullptr && fresh->getGalleryAvailability(6, &value).isOk() && value == 12);
        if (!checks.report().empty()) return checks.report();
        const std::string failed = publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), childName);
        if (!failed.empty()) return failed;
        ABinderProcess_startThreadPool();
        ABinderProcess_joinThreadPool();
        return std::string("ABinderProcess_joinThreadPool returned");
    });
    const std::shared_ptr<IBGService> forkedService = waitForProbe(childName, &forked);
    ASSERT_NE(forkedService, nullptr);
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    ASSERT_TRUE(forkedService->setEventCallback(2, callback, &result).isOk());
    EXPECT_EQ(result, STATUS_OK);
    EXPECT_EQ(callback->events().size(), 1u);

    ASSERT_TRUE(service->getGalleryAvailability(7, &result).isOk());
    EXPECT_EQ(result, 14);
}

}  // namespace
}  // namespace bgs_process_test
