// SpAIBinder and UniqueAResource: every handle gives its value back exactly
// once, increments come before decrements, and a concurrent change of one
// SpAIBinder is caught.

#include <android/binder_auto_utils.h>

#include <gtest/gtest.h>

#include <vector>

#include "test_class.h"

namespace {

using bgs_test::CountingClass;
using bgs_test::newCountingBinder;
using ndk::SpAIBinder;

class SpAIBinderTest : public ::testing::Test {
  protected:
    void SetUp() override { CountingClass::reset(); }
    void TearDown() override { CountingClass::reset(); }
};

TEST_F(SpAIBinderTest, AdoptsWithoutIncrementAndReleasesOnDestruction) {
    {
        SpAIBinder binder = newCountingBinder();
        EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 1);
        EXPECT_EQ(CountingClass::destroyed, 0);
    }
    EXPECT_EQ(CountingClass::destroyed, 1);
}

TEST_F(SpAIBinderTest, CopiesCountOneReferenceEach) {
    SpAIBinder first = newCountingBinder();
    SpAIBinder second(first);
    SpAIBinder third;
    third = second;
    EXPECT_EQ(AIBinder_debugGetRefCount(first.get()), 3);
    second.reset();
    third.reset();
    EXPECT_EQ(AIBinder_debugGetRefCount(first.get()), 1);
    EXPECT_EQ(CountingClass::destroyed, 0);
}

TEST_F(SpAIBinderTest, SelfAssignmentChangesNoCount) {
    SpAIBinder binder = newCountingBinder();
    SpAIBinder& alias = binder;
    binder = alias;
    EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 1);
    EXPECT_EQ(CountingClass::destroyed, 0);
}

TEST_F(SpAIBinderTest, AssigningAHandleOfTheSameBinderIncrementsBeforeDecrementing) {
    SpAIBinder first = newCountingBinder();
    SpAIBinder second = first;
    // Give `second` the only other reference's place: if the decrement came
    // first, the count would touch 1 and back; it must never reach 0.
    first = second;
    EXPECT_EQ(AIBinder_debugGetRefCount(first.get()), 2);
    EXPECT_EQ(CountingClass::destroyed, 0);
}

TEST_F(SpAIBinderTest, AssigningFromATemporaryKeepsOneReference) {
    SpAIBinder binder;
    binder = newCountingBinder();
    EXPECT_EQ(AIBinder_debugGetRefCount(binder.get()), 1);
    binder = SpAIBinder();
    EXPECT_EQ(CountingClass::destroyed, 1);
}

TEST_F(SpAIBinderTest, OutPtrReceivesANewReference) {
    SpAIBinder original = newCountingBinder();
    ndk::UniqueAParcel parcel(AParcel_create());
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), original.get()), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);

    SpAIBinder read;
    ASSERT_EQ(AParcel_readStrongBinder(parcel.get(), read.outPtr()), STATUS_OK);
    EXPECT_EQ(read, original);
    parcel.reset();
    EXPECT_EQ(AIBinder_debugGetRefCount(original.get()), 2);
}

using SpAIBinderDeathTest = SpAIBinderTest;

TEST_F(SpAIBinderDeathTest, ChangeOfTheHandleWhileItGivesItsReferenceBackIsARace) {
    EXPECT_DEATH(
            {
                SpAIBinder other = newCountingBinder();
                SpAIBinder* victim = new SpAIBinder(newCountingBinder());
                // The last decrement runs onDestroy; changing the handle from
                // there is what another thread doing so would look like.
                CountingClass::onDestroyHook = [&] { *victim->outPtr() = other.get(); };
                victim->reset();
            },
            "frameworks/native/libs/binder/ndk/include_cpp/android/binder_auto_utils:94: .*"
            "Race detected\\.");
}

// A deleter that records what it was given, to prove exactly-once release.
std::vector<int*> gDeleted;
void recordDelete(int* value) { gDeleted.push_back(value); }
using UniqueInt = ndk::UniqueAResource<int*, recordDelete>;

class UniqueAResourceTest : public ::testing::Test {
  protected:
    void SetUp() override { gDeleted.clear(); }
    int a = 1;
    int b = 2;
};

TEST_F(UniqueAResourceTest, ResetDeletesTheHeldValueThenAdopts) {
    UniqueInt handle(&a);
    handle.reset(&b);
    EXPECT_EQ(gDeleted, std::vector<int*>{&a});
    EXPECT_EQ(handle.get(), &b);
}

TEST_F(UniqueAResourceTest, ReleaseHandsTheValueOverWithoutDeleting) {
    {
        UniqueInt handle(&a);
        EXPECT_EQ(handle.release(), &a);
        EXPECT_EQ(handle.get(), nullptr);
    }
    EXPECT_EQ(gDeleted, std::vector<int*>{nullptr});
}

TEST_F(UniqueAResourceTest, MoveLeavesTheSourceEmptyAndDeletesOnce) {
    {
        UniqueInt source(&a);
        UniqueInt target(std::move(source));
        EXPECT_EQ(source.get(), nullptr);  // NOLINT(bugprone-use-after-move)
        UniqueInt assigned(&b);
        assigned = std::move(target);
        EXPECT_EQ(gDeleted, std::vector<int*>{&b});
        EXPECT_EQ(assigned.get(), &a);
    }
    // Destruction order: assigned (a), target (null), source (null).
    EXPECT_EQ(gDeleted, (std::vector<int*>{&b, &a, nullptr, nullptr}));
}

TEST_F(UniqueAResourceTest, OutPtrLetsACallProduceTheValue) {
    UniqueInt handle;
    *handle.outPtr() = &a;
    handle.reset();
    EXPECT_EQ(gDeleted, (std::vector<int*>{&a}));
}

TEST(UniqueAStatus, MovedFromStatusIsEmptyAndReadsAsFailed) {
    ndk::UniqueAStatus source = ndk::UniqueAStatus::fromServiceSpecificErrorWithMessage(7, "x");
    ndk::UniqueAStatus target = std::move(source);
    EXPECT_EQ(source.get(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(source.isOk());
    EXPECT_EQ(target.getExceptionCode(), EX_SERVICE_SPECIFIC);
    EXPECT_EQ(target.getServiceSpecificError(), 7);
    EXPECT_STREQ(target.getMessage(), "x");
}

TEST(UniqueAStatus, FactoriesGiveTheStatusTheyName) {
    EXPECT_TRUE(ndk::UniqueAStatus::ok().isOk());
    EXPECT_TRUE(ndk::UniqueAStatus::fromStatus(STATUS_OK).isOk());
    EXPECT_EQ(ndk::UniqueAStatus::fromStatus(STATUS_DEAD_OBJECT).getStatus(), STATUS_DEAD_OBJECT);
    auto exception = ndk::UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, "busy");
    EXPECT_EQ(exception.getExceptionCode(), EX_ILLEGAL_STATE);
    EXPECT_STREQ(exception.getMessage(), "busy");
    EXPECT_FALSE(exception.getDescription().empty());
}

}  // namespace
