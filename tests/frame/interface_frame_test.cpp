// The interface frame: binder-class definition, the stub's binder cache and
// ownership through user data, the proxy base, the dump and shell-command
// forwarding, and the generic interface-reference conversions, exercised with
// a small interface of the test's own.

#include <android/binder_interface_utils.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using ndk::SharedRefBase;
using ndk::SpAIBinder;

constexpr const char kDescriptor[] = "bgs.test.IPing";

class IPing : public ndk::ICInterface {
  public:
    static AIBinder_Class* clazz;
    static std::shared_ptr<IPing> fromBinder(const SpAIBinder& binder);
};

class BpPing : public ndk::BpCInterface<IPing> {
  public:
    explicit BpPing(const SpAIBinder& binder) : BpCInterface(binder) {}
};

binder_status_t pingOnTransact(AIBinder*, transaction_code_t, const AParcel*, AParcel*) {
    return STATUS_OK;
}
const char* kNames[] = {"ping", "pong"};
AIBinder_Class* IPing::clazz = ndk::ICInterface::defineBinderClass(kDescriptor, pingOnTransact,
                                                                   kNames, 2);

std::shared_ptr<IPing> IPing::fromBinder(const SpAIBinder& binder) {
    return ndk::internal::interfaceFromBinder<IPing, BpPing>(binder, clazz, kDescriptor);
}

struct Counters {
    std::atomic<int> createBinder{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> dumps{0};
    std::atomic<int> shellCommands{0};
};

class BnPing : public ndk::BnCInterface<IPing> {
  public:
    explicit BnPing(Counters* counts, bool failCreation = false)
        : counters(counts), failCreate(failCreation) {}
    ~BnPing() override { ++counters->destroyed; }

    binder_status_t dump(int fd, const char** args, uint32_t numArgs) override {
        ++counters->dumps;
        return fd == 42 && numArgs == 1 && std::string(args[0]) == "-a" ? STATUS_OK
                                                                        : STATUS_BAD_VALUE;
    }
    binder_status_t handleShellCommand(int in, int out, int err, const char**,
                                       uint32_t argc) override {
        ++counters->shellCommands;
        return in + out + err + static_cast<int>(argc);
    }

  protected:
    SpAIBinder createBinder() override {
        ++counters->createBinder;
        if (failCreate) return SpAIBinder();
        AIBinder* binder = AIBinder_new(IPing::clazz, static_cast<ndk::ICInterface*>(this));
        AIBinder_markVintfStability(binder);
        return SpAIBinder(binder);
    }

  private:
    Counters* counters;
    bool failCreate;
};

// An object that does not override dump: the base answers.
class QuietPing : public ndk::BnCInterface<IPing> {
  protected:
    SpAIBinder createBinder() override {
        return SpAIBinder(AIBinder_new(IPing::clazz, static_cast<ndk::ICInterface*>(this)));
    }
};

// A class with the same descriptor defined a second time (as another module
// would), and one with another descriptor; user data stays null.
void* noUserData(void*) { return nullptr; }
void noDestroy(void*) {}
AIBinder_Class* sameDescriptorClass() {
    static AIBinder_Class* clazz =
            AIBinder_Class_define(kDescriptor, noUserData, noDestroy, pingOnTransact);
    return clazz;
}
AIBinder_Class* otherDescriptorClass() {
    static AIBinder_Class* clazz =
            AIBinder_Class_define("bgs.test.IOther", noUserData, noDestroy, pingOnTransact);
    return clazz;
}

TEST(DefineBinderClass, InstallsDescriptorNamesAndCallbacks) {
    ASSERT_NE(IPing::clazz, nullptr);
    EXPECT_STREQ(AIBinder_Class_getDescriptor(IPing::clazz), kDescriptor);
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(IPing::clazz), 2u);
    EXPECT_STREQ(AIBinder_Class_getFunctionName(IPing::clazz, 1), "ping");
    EXPECT_STREQ(AIBinder_Class_getFunctionName(IPing::clazz, 2), "pong");
    EXPECT_EQ(AIBinder_Class_getFunctionName(IPing::clazz, 3), nullptr);
}

TEST(DefineBinderClass, RefusedDefinitionGivesNull) {
    EXPECT_EQ(ndk::ICInterface::defineBinderClass(nullptr, pingOnTransact, kNames, 2), nullptr);
    EXPECT_EQ(ndk::ICInterface::defineBinderClass(kDescriptor, nullptr, kNames, 2), nullptr);
}

TEST(StubBinder, SecondAsBinderWhileHeldReturnsTheSameBinder) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    SpAIBinder first = stub->asBinder();
    SpAIBinder second = stub->asBinder();
    ASSERT_NE(first.get(), nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(counters.createBinder, 1);
    EXPECT_TRUE(AIBinder_isVintfStable(first.get()));
    EXPECT_FALSE(stub->isRemote());
}

TEST(StubBinder, BinderOwnsTheObjectAfterItsCreatorLetsGo) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    SpAIBinder binder = stub->asBinder();
    EXPECT_EQ(stub.use_count(), 2);  // creator + the binder's user data
    stub.reset();
    EXPECT_EQ(counters.destroyed, 0);
    EXPECT_NE(ndk::ICInterface::localInterface(binder.get()), nullptr);
    binder.reset();
    EXPECT_EQ(counters.destroyed, 1);
}

TEST(StubBinder, NewBinderAfterTheOldOneIsGone) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    stub->asBinder().reset();  // the only strong reference goes: binder destroyed
    EXPECT_EQ(stub.use_count(), 1);

    SpAIBinder again = stub->asBinder();
    EXPECT_EQ(counters.createBinder, 2);
    EXPECT_EQ(ndk::ICInterface::localInterface(again.get()).get(), stub.get());
    EXPECT_EQ(stub.use_count(), 2);
}

TEST(StubBinder, FailedCreationGivesEmptyAndIsRetried) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters, /*failCreate=*/true);
    EXPECT_EQ(stub->asBinder().get(), nullptr);
    EXPECT_EQ(stub->asBinder().get(), nullptr);
    EXPECT_EQ(counters.createBinder, 2);
}

TEST(StubBinder, ConcurrentCallersGetOneBinder) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    constexpr int kThreads = 4;
    std::vector<SpAIBinder> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) results[t] = stub->asBinder();
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, results[0]);
    EXPECT_EQ(counters.createBinder, 1);
}

TEST(StubBinder, ObjectMadeWithoutMakeRefIsOwnedByItsFirstBinder) {
    Counters counters;
    auto* raw = new BnPing(&counters);
    SpAIBinder binder = raw->asBinder();  // onCreate's ref() creates the group
    EXPECT_EQ(ndk::ICInterface::localInterface(binder.get()).get(), raw);
    binder.reset();
    EXPECT_EQ(counters.destroyed, 1);
}

TEST(Forwarding, DumpAndShellCommandReachTheObject) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    SpAIBinder binder = stub->asBinder();
    const char* args[] = {"-a"};
    EXPECT_EQ(AIBinder_dump(binder.get(), 42, args, 1), STATUS_OK);
    EXPECT_EQ(counters.dumps, 1);
    EXPECT_EQ(ndk::ICInterface::ICInterfaceData::handleShellCommand(binder.get(), 1, 2, 3, args, 1),
              7);
    EXPECT_EQ(counters.shellCommands, 1);
}

TEST(Forwarding, ObjectWithoutOverridesAnswersOkAndWritesNothing) {
    auto quiet = SharedRefBase::makeRef<QuietPing>();
    SpAIBinder binder = quiet->asBinder();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(AIBinder_dump(binder.get(), fds[1], nullptr, 0), STATUS_OK);
    close(fds[1]);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 0);
    close(fds[0]);
    EXPECT_EQ(quiet->handleShellCommand(0, 1, 2, nullptr, 0), STATUS_OK);
}

// A class whose binders carry user data that holds no object.
void* emptyOwnerData(void*) { return new ndk::ICInterface::ICInterfaceData{}; }
AIBinder_Class* emptyOwnerClass() {
    static AIBinder_Class* clazz = AIBinder_Class_define(
            "bgs.test.IHollow", emptyOwnerData, ndk::ICInterface::ICInterfaceData::onDestroy,
            pingOnTransact);
    return clazz;
}

TEST(Forwarding, BinderWithoutAnObjectGivesDeadObject) {
    using Data = ndk::ICInterface::ICInterfaceData;
    SpAIBinder noUserDataBinder(AIBinder_new(sameDescriptorClass(), nullptr));
    SpAIBinder emptyOwnerBinder(AIBinder_new(emptyOwnerClass(), nullptr));
    for (AIBinder* binder : {static_cast<AIBinder*>(nullptr), noUserDataBinder.get(),
                             emptyOwnerBinder.get()}) {
        EXPECT_EQ(ndk::ICInterface::localInterface(binder), nullptr);
        EXPECT_EQ(Data::onDump(binder, 1, nullptr, 0), STATUS_DEAD_OBJECT);
        EXPECT_EQ(Data::handleShellCommand(binder, 0, 1, 2, nullptr, 0), STATUS_DEAD_OBJECT);
    }
}

TEST(Proxy, HoldsOneReferenceForItsLifeAndAnswersFromTheBinder) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    SpAIBinder binder = stub->asBinder();
    {
        auto proxy = SharedRefBase::makeRef<BpPing>(binder);
        EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 2);
        EXPECT_EQ(proxy->remoteBinder(), binder);
        EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 2);  // by reference
        EXPECT_EQ(proxy->asBinder(), binder);
        EXPECT_FALSE(proxy->isRemote());  // a local binder behind it
        const char* args[] = {"-a"};
        EXPECT_EQ(proxy->dump(42, args, 1), STATUS_OK);
        EXPECT_EQ(counters.dumps, 1);
    }
    EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 1);
}

TEST(FromBinder, LocalBinderOfTheClassGivesTheObjectItself) {
    Counters counters;
    auto stub = SharedRefBase::makeRef<BnPing>(&counters);
    SpAIBinder binder = stub->asBinder();
    std::shared_ptr<IPing> found = IPing::fromBinder(binder);
    EXPECT_EQ(found.get(), stub.get());
    EXPECT_FALSE(found.owner_before(stub) || stub.owner_before(found));  // same group
    EXPECT_EQ(counters.createBinder, 1);
}

TEST(FromBinder, OutcomesByBinderKind) {
    SpAIBinder sameDescriptor(AIBinder_new(sameDescriptorClass(), nullptr));
    SpAIBinder otherDescriptor(AIBinder_new(otherDescriptorClass(), nullptr));

    EXPECT_EQ(IPing::fromBinder(SpAIBinder()), nullptr);
    EXPECT_EQ(IPing::fromBinder(otherDescriptor), nullptr);

    std::shared_ptr<IPing> proxy = IPing::fromBinder(sameDescriptor);
    ASSERT_NE(proxy, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<BpPing>(proxy), nullptr);
    EXPECT_EQ(proxy->asBinder(), sameDescriptor);
}

TEST(InterfaceReferences, EmptyReferenceTravelsAsANullBinder) {
    ndk::UniqueAParcel parcel(AParcel_create());
    ASSERT_EQ(ndk::internal::writeInterfaceToParcel<IPing>(parcel.get(), nullptr), STATUS_OK);
    AParcel_setDataPosition(parcel.get(), 0);
    SpAIBinder raw;
    ASSERT_EQ(AParcel_readStrongBinder(parcel.get(), raw.outPtr()), STATUS_OK);
    EXPECT_EQ(raw.get(), nullptr);

    AParcel_setDataPosition(parcel.get(), 0);
    Counters counters;
    std::shared_ptr<IPing> destination = SharedRefBase::makeRef<BnPing>(&counters);
    EXPECT_EQ(ndk::internal::readInterfaceFromParcel(parcel.get(), &destination), STATUS_OK);
    EXPECT_EQ(destination, nullptr);
}

TEST(InterfaceReferences, LocalObjectRoundTripsToItself) {
    Counters counters;
    std::shared_ptr<IPing> stub = SharedRefBase::makeRef<BnPing>(&counters);
    ndk::UniqueAParcel parcel(AParcel_create());
    ASSERT_EQ(ndk::internal::writeInterfaceToParcel(parcel.get(), stub), STATUS_OK);
    AParcel_setDataPosition(parcel.get(), 0);
    std::shared_ptr<IPing> read;
    ASSERT_EQ(ndk::internal::readInterfaceFromParcel(parcel.get(), &read), STATUS_OK);
    EXPECT_EQ(read.get(), stub.get());
}

TEST(InterfaceReferences, FailedReadLeavesTheDestinationUnchanged) {
    Counters counters;
    std::shared_ptr<IPing> before = SharedRefBase::makeRef<BnPing>(&counters);
    std::shared_ptr<IPing> destination = before;
    ndk::UniqueAParcel empty(AParcel_create());
    EXPECT_NE(ndk::internal::readInterfaceFromParcel(empty.get(), &destination), STATUS_OK);
    EXPECT_EQ(destination, before);
}

}  // namespace
