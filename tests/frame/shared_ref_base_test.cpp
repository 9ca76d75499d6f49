// Lifecycle of SharedRefBase: ownership groups, ref(), and the fatal checks
// that catch objects owned the wrong way.

#include <android/binder_interface_utils.h>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using ndk::SharedRefBase;

struct Counted : SharedRefBase {
    explicit Counted(std::atomic<int>* destroyedCounter = nullptr) : destroyed(destroyedCounter) {}
    ~Counted() override {
        if (destroyed != nullptr) ++*destroyed;
    }
    std::atomic<int>* destroyed;
};

// Records what ref() yields while the object is being destroyed.
struct RefsWhileDying : SharedRefBase {
    explicit RefsWhileDying(bool* result) : refWasEmpty(result) {}
    ~RefsWhileDying() override { *refWasEmpty = (ref() == nullptr); }
    bool* refWasEmpty;
};

constexpr const char kNoRefReport[] =
        "frameworks/native/libs/binder/ndk/include_cpp/android/binder_interface_utils:67: .*"
        "SharedRefBase: no ref created during lifetime";
constexpr const char kNotMadeByMakeRefReport[] =
        "binder_interface_utils:[0-9]+: .*SharedRefBase: object not created with "
        "SharedRefBase::makeRef";
constexpr const char kDoubleOwnedReport[] =
        "frameworks/native/libs/binder/ndk/include_cpp/android/binder_interface_utils:71: .*"
        "SharedRefBase: destructed but still able to lock weak_ptr. Is this object "
        "double-owned\\?";

TEST(SharedRefBase, MadeObjectIsDestroyedOnceWhenLastOwnerGoes) {
    std::atomic<int> destroyed{0};
    {
        std::shared_ptr<Counted> first = SharedRefBase::makeRef<Counted>(&destroyed);
        std::shared_ptr<Counted> second = first;
        first.reset();
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(SharedRefBase, RefJoinsTheExistingGroup) {
    std::atomic<int> destroyed{0};
    std::shared_ptr<Counted> owner = SharedRefBase::makeRef<Counted>(&destroyed);
    ASSERT_EQ(owner.use_count(), 1);

    std::shared_ptr<Counted> joined = owner->ref<Counted>();
    EXPECT_EQ(joined.get(), owner.get());
    EXPECT_EQ(owner.use_count(), 2);
    // Same control block: neither owner precedes the other.
    EXPECT_FALSE(owner.owner_before(joined) || joined.owner_before(owner));

    owner.reset();
    EXPECT_EQ(destroyed, 0);
    joined.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST(SharedRefBase, FirstRefOfAPlainlyConstructedObjectCreatesItsGroup) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    std::shared_ptr<SharedRefBase> owner = object->ref();
    EXPECT_EQ(owner.get(), object);
    owner.reset();
    EXPECT_EQ(destroyed, 1);
}

// A base constructed before SharedRefBase throws, so no SharedRefBase is
// ever constructed (a throw after it would end in the no-ref report).
struct Refuses {
    Refuses() { throw std::runtime_error("refused"); }
};
struct RefusedBeforeTheBase : Refuses, SharedRefBase {};

TEST(SharedRefBase, ConstructionThatThrowsGivesTheMemoryBack) {
    // The new-expression frees the memory through the class-level operator
    // delete, which must recognise memory from the class-level operator new.
    EXPECT_THROW(SharedRefBase::makeRef<RefusedBeforeTheBase>(), std::runtime_error);
}

TEST(SharedRefBase, RefYieldsEmptyDuringDestruction) {
    bool refWasEmpty = false;
    SharedRefBase::makeRef<RefsWhileDying>(&refWasEmpty).reset();
    EXPECT_TRUE(refWasEmpty);
}

TEST(SharedRefBase, ConcurrentRefsShareOneGroup) {
    std::atomic<int> destroyed{0};
    std::shared_ptr<Counted> owner = SharedRefBase::makeRef<Counted>(&destroyed);
    constexpr int kThreads = 4;
    constexpr int kRefsPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRefsPerThread; ++i) {
                std::shared_ptr<Counted> copy = owner->ref<Counted>();
                ASSERT_EQ(copy.get(), owner.get());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(owner.use_count(), 1);
    owner.reset();
    EXPECT_EQ(destroyed, 1);
}

using SharedRefBaseDeathTest = ::testing::Test;

TEST_F(SharedRefBaseDeathTest, DestroyingAnObjectThatNeverHadARefAborts) {
    EXPECT_DEATH(
            {
                auto* object = new Counted();
                delete object;
            },
            kNoRefReport);
}

TEST_F(SharedRefBaseDeathTest, DestroyingAnObjectItsGroupStillOwnsAborts) {
    EXPECT_DEATH(
            {
                std::shared_ptr<SharedRefBase> owner;
                {
                    Counted onStack;
                    owner = onStack.ref();
                }  // destroyed here while `owner` still owns it
            },
            kDoubleOwnedReport);
}

TEST_F(SharedRefBaseDeathTest, GroupFreeingAnObjectNotMadeByMakeRefAbortsBeforeFree) {
    EXPECT_DEATH(
            {
                auto object = std::make_shared<Counted>();
                object->ref().reset();  // the group's last owner frees the object
            },
            kNotMadeByMakeRefReport);
    EXPECT_DEATH(
            {
                Counted onStack;
                onStack.ref().reset();
            },
            kNotMadeByMakeRefReport);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Large enough that no address-space limit below lets malloc succeed.
struct Huge : SharedRefBase {
    char payload[256u << 20];
};

TEST_F(SharedRefBaseDeathTest, OutOfMemoryEndsInAClearReportNotANullDereference) {
    EXPECT_DEATH(
            {
                rlimit limit{};
                getrlimit(RLIMIT_AS, &limit);
                limit.rlim_cur = 128u << 20;
                setrlimit(RLIMIT_AS, &limit);
                auto huge = SharedRefBase::makeRef<Huge>();
                huge->payload[0] = 1;
            },
            "binder_interface_utils:[0-9]+: .*SharedRefBase: out of memory");
}
#endif

}  // namespace
