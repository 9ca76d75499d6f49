// CallbackInfo: nullable strings (absent, empty, present) and bodies from
// older and newer versions.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h>

#include <gtest/gtest.h>

#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using bgs_test::newParcel;
using bgs_test::ParcelWriter;

CallbackInfo info(int32_t v1, std::optional<std::string> t1, std::optional<std::string> t2,
                  int32_t v2) {
    CallbackInfo result;
    result.value1 = v1;
    result.text1 = std::move(t1);
    result.text2 = std::move(t2);
    result.value2 = v2;
    return result;
}

CallbackInfo roundTrip(const CallbackInfo& written, CallbackInfo reader) {
    auto parcel = newParcel();
    EXPECT_EQ(written.writeToParcel(parcel.get()), STATUS_OK);
    bgs_test::rewind(parcel.get());
    EXPECT_EQ(reader.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), AParcel_getDataSize(parcel.get()));
    return reader;
}

TEST(CallbackInfoRecord, AbsentEmptyAndPresentStringsSurviveARoundTrip) {
    const CallbackInfo written = info(7, std::nullopt, std::string(), -7);
    const CallbackInfo read = roundTrip(written, info(0, "stale", "stale", 0));
    EXPECT_FALSE(read.text1.has_value());
    ASSERT_TRUE(read.text2.has_value());
    EXPECT_TRUE(read.text2->empty());
    EXPECT_EQ(read, written);

    const CallbackInfo present = info(1, "first", std::string("x\0y", 3), 2);
    EXPECT_EQ(roundTrip(present, CallbackInfo()), present);
}

TEST(CallbackInfoRecord, NullStringOnTheWireMakesTheFieldAbsent) {
    EXPECT_FALSE(roundTrip(info(1, std::nullopt, "b", 2), info(0, "held", "", 0)).text1);
}

TEST(CallbackInfoRecord, OlderBodyWithOnlyValue1KeepsTheRest) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(8).i32(5);
    bgs_test::rewind(parcel.get());
    CallbackInfo fresh;
    ASSERT_EQ(fresh.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(fresh, info(5, std::nullopt, std::nullopt, 0));
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 8);

    bgs_test::rewind(parcel.get());
    CallbackInfo held = info(1, "a", "b", 2);
    ASSERT_EQ(held.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(held, info(5, "a", "b", 2));
}

TEST(CallbackInfoRecord, NewerBodyIsReadAndItsExtraFieldsSkipped) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).beginBody().i32(1).str("a").nullStr().i32(2).i64(3).endBody().i32(9);
    bgs_test::rewind(parcel.get());
    CallbackInfo read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, info(1, "a", std::nullopt, 2));
    int32_t next = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &next), STATUS_OK);
    EXPECT_EQ(next, 9);
}

TEST(CallbackInfoRecord, TruncatedStringFailsAndKeepsTheFieldUntouched) {
    auto parcel = newParcel();
    // text1 claims 100 bytes but the parcel ends right after its length.
    ParcelWriter(parcel.get()).i32(40).i32(1).i32(100);
    bgs_test::rewind(parcel.get());
    CallbackInfo read = info(0, "held", "held", 0);
    EXPECT_EQ(read.readFromParcel(parcel.get()), STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(read, info(1, "held", "held", 0));
}

TEST(CallbackInfoRecord, DescriptorAndText) {
    EXPECT_STREQ(CallbackInfo::descriptor, "vendor.tolvek.hardware.aidlbgservice.CallbackInfo");
    EXPECT_EQ(info(1, std::nullopt, "x", 2).toString(),
              "CallbackInfo{value1: 1, text1: null, text2: \"x\", value2: 2}");
}

}  // namespace
