// The registry as processes share it, dump and shell commands on another
// process's object, and a child forked from a process that uses the runtime.
#include "process_test_support.h"
#include "raw_peer.h"

#include <bgs/service_manager.h>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <set>
#include <string>

#if defined(__SANITIZE_THREAD__)
// The forking user below forks while runtime threads run, and its child
// starts threads of its own; ThreadSanitizer ends such a child unless told
// to let it live.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

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

// Serves a probe under each of args[0] and args[1].
BGS_TEST_ROLE(twoProbes) {
    return serve(publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), args.text(0)) +
                 publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), args.text(1)));
}

TEST_F(ProcessRegistry, ListsTheNamesLiveProcessesServe) {
    const std::string first = uniqueName("first");
    const std::string second = uniqueName("second");
    const std::string ended = uniqueName("ended");
    ChildProcess& server = spawn("twoProbes", {first, second});
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

// Each failure says which it is, with the process concerned.
TEST_F(ProcessRegistry, OutcomesTellTakenAbsentAndMalformedNamesApart) {
    const std::string name = uniqueName("held");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    const std::string uid = std::to_string(::geteuid());
    const std::string holder = "pid " + std::to_string(server.pid()) + " (uid " + uid + ")";
    const SpAIBinder mine = SharedRefBase::makeRef<ProbeService>()->asBinder();

    BgsRegistryReport report;
    EXPECT_EQ(BgsServiceManager_publish(mine.get(), name.c_str(), &report), BGS_REGISTRY_NAME_TAKEN);
    EXPECT_EQ(report.pid, server.pid());
    EXPECT_EQ(std::string(report.message), "name taken by " + holder);
    EXPECT_EQ(BgsServiceManager_publish(mine.get(), "two words", &report), BGS_REGISTRY_INVALID_NAME);
    AIBinder* found = nullptr;
    EXPECT_EQ(BgsServiceManager_lookup(nullptr, 0, &found, &report), BGS_REGISTRY_INVALID_NAME);
    EXPECT_EQ(BgsServiceManager_lookup(uniqueName("absent").c_str(), 50, &found, &report), BGS_REGISTRY_NOT_SERVED);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(std::string(report.message).rfind("no live process serves it (registry /", 0), 0u) << report.message;

    ASSERT_EQ(BgsServiceManager_lookup(name.c_str(), 0, &found, &report), BGS_REGISTRY_OK);
    const SpAIBinder remote(found);
    EXPECT_EQ(report.pid, server.pid());
    EXPECT_STREQ(BgsBinder_getDescriptor(remote.get()), IBGService::descriptor);
    EXPECT_EQ(BgsServiceManager_publish(remote.get(), uniqueName("relayed").c_str(), &report),
              BGS_REGISTRY_INVALID_ARGUMENT);

    struct Listed {
        std::string name;
        pid_t pid = 0;
        uid_t uid = 0;
    } listed{name};
    EXPECT_EQ(BgsServiceManager_list(&listed, [](const BgsServiceEntry* entry, void* context) {
        auto* wanted = static_cast<Listed*>(context);
        if (wanted->name == entry->name) *wanted = {entry->name, entry->pid, entry->uid};
    }, &report), BGS_REGISTRY_OK);
    EXPECT_EQ(listed.pid, server.pid());
    EXPECT_EQ(listed.uid, ::geteuid());
}

// Connects to the listener at args[0] as uid 65534 and reports the code of
// the hello answer, or why there was none.
BGS_TEST_ROLE(foreignUser) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return "cannot change user";
    RawPeer peer(args.text(0), false);
    if (!peer.ready()) return "cannot connect";
    if (!peer.send(RawPeer::hello(peer.token()))) return "cannot say hello";
    const RawPeer::Answer answer = peer.await();
    if (answer.kind != RawPeer::Kind::kOtherFrame || answer.header.kind != wire::kHello ||
        answer.header.senderThread != peer.token()) {
        return std::string("no hello answer but ") + describe(answer.kind);
    }
    if (answer.header.code != wire::kHelloRefusedUser) return "answered " + std::to_string(answer.header.code);
    return peer.hungUp() ? "" : "still connected after the refusal";
}

// A user the process does not allow hears why before the socket closes,
// so that its lookup can report permission denied.
TEST_F(ProcessRegistry, AUserTheServiceDoesNotAllowIsRefusedInTheHelloAnswer) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing user needs root";
    const std::string name = uniqueName("guarded");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    const std::optional<Endpoint> endpoint = readRegistryEntry(name);
    ASSERT_TRUE(endpoint.has_value());
    EXPECT_EQ(spawn("foreignUser", {endpoint->address}).finish(), "");
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

// Calls dump and a shell command on the service args[0] and checks what
// they write and that they leave no descriptor open.
BGS_TEST_ROLE(diagnosticsCaller) {
    ChildChecks checks;
    const SpAIBinder binder(AServiceManager_checkService(args.text(0).c_str()));
    if (!CHILD_EXPECT(checks, binder.get() != nullptr)) return checks.report();
    CHILD_EXPECT(checks, AIBinder_ping(binder.get()) == STATUS_OK);  // the connection is up before counting
    const size_t before = openDescriptorCount();
    bool complete = false;
    {
        Pipe out;
        const char* dumpArgs[] = {"--all", "two words"};
        CHILD_EXPECT(checks, AIBinder_dump(binder.get(), out.writeEnd.get(), dumpArgs, 2) == STATUS_OK);
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
        const char* shellArgs[] = {"status", "--verbose"};
        CHILD_EXPECT(checks, AIBinder_shellCommand(binder.get(), in.readEnd.get(), out.writeEnd.get(),
                                                   err.writeEnd.get(), shellArgs, 2) == STATUS_OK);
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
}

// The caller is a fresh child, so that no other test's connections open or
// close descriptors while it counts its own.
TEST_F(ProcessDiagnostics, DumpAndShellCommandWriteToTheCallersDescriptorsAndLeakNone) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);

    ChildProcess& caller = spawn("diagnosticsCaller", {name});
    EXPECT_EQ(caller.finish(), "");
}

// What the child of a forking user does: its parent's proxy `service` is
// dead to it, the service `serviceName` looked up afresh answers, and it
// serves a probe under `childName`.
std::string forkedChild(const std::shared_ptr<IBGService>& service, const std::string& serviceName,
                        const std::string& childName) {
    ChildChecks checks;
    int32_t value = 0;
    // The parent's connection is not the child's: its proxy reports a
    // dead object and never touches the parent's socket.
    CHILD_EXPECT(checks, service->getGalleryAvailability(5, &value).getStatus() == STATUS_DEAD_OBJECT);
    const auto fresh = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(serviceName.c_str())));
    CHILD_EXPECT(checks, fresh != nullptr && fresh->getGalleryAvailability(6, &value).isOk() && value == 12);
    if (!checks.report().empty()) return checks.report();
    return serve(publish(SharedRefBase::makeRef<ProbeService>()->asBinder(), childName));
}

// A user of the runtime, serving and calling the service args[0], forks; its
// child runs forkedChild(…, args[1]) and shares its report. Told "go on" on
// the descriptor args[2], the user calls the service again on its own
// session.
BGS_TEST_ROLE(forkingUser) {
    const std::string serviceName = args.text(0);
    ChildChecks checks;
    ABinderProcess_startThreadPool();
    const auto service = IBGService::fromBinder(SpAIBinder(AServiceManager_checkService(serviceName.c_str())));
    if (!CHILD_EXPECT(checks, service != nullptr)) return checks.report();
    int32_t value = 0;
    if (!CHILD_EXPECT(checks, service->getGalleryAvailability(4, &value).isOk())) return checks.report();

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(3);
        finishRole(forkedChild(service, serviceName, args.text(1)));
    }
    if (!CHILD_EXPECT(checks, child > 0)) return checks.report();
    CHILD_EXPECT(checks, LineReader(args.fd(2)).next() == std::optional<std::string>("go on"));
    CHILD_EXPECT(checks, service->getGalleryAvailability(7, &value).isOk() && value == 14);
    return checks.report();
}

TEST_F(ProcessFork, AChildForkedFromAUserServesAndCallsWhileTheParentsSessionsGoOn) {
    const std::string serviceName = uniqueName("probe");
    ChildProcess& server = spawnProbe(serviceName);
    ASSERT_NE(waitForBinder(serviceName, &server).get(), nullptr);

    const std::string childName = uniqueName("forked");
    Pipe goOn;
    ChildProcess& user = spawn("forkingUser", {serviceName, childName, HandOver{goOn.readEnd.get()}});
    const std::shared_ptr<IBGService> forkedService = waitForProbe(childName, &user);
    ASSERT_NE(forkedService, nullptr);
    const auto callback = SharedRefBase::makeRef<RecordingCallback>();
    int32_t result = 0;
    ASSERT_TRUE(forkedService->setEventCallback(2, callback, &result).isOk());
    EXPECT_EQ(result, STATUS_OK);
    EXPECT_EQ(callback->events().size(), 1u);

    ASSERT_TRUE(sendLine(goOn.writeEnd.get(), "go on"));
    EXPECT_EQ(user.finish(), "");
}

}  // namespace
}  // namespace bgs_process_test
