// CallbackData: full round trip, bodies from older and newer versions, and
// the refusals of null text, null list and absent list elements.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>

#include <gtest/gtest.h>

#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using bgs_test::newParcel;
using bgs_test::ParcelWriter;

CallbackData sample() {
    CallbackData data;
    data.value1 = 1;
    data.value2 = 2;
    data.value3 = 3;
    data.value4 = 4;
    data.longValue = int64_t{1} << 40;
    data.text = "abc";
    data.images = {Image{1, 2, 3}, Image{4, 5, 6}};
    data.flag = true;
    data.value5 = -1;
    return data;
}

// A reader's object with every field set away from its default.
CallbackData nonDefault() {
    CallbackData data;
    data.value1 = data.value2 = data.value3 = data.value4 = 77;
    data.longValue = 77;
    data.text = "old";
    data.images = {Image{7, 7, 7}};
    data.flag = true;
    data.value5 = 77;
    return data;
}

TEST(CallbackDataRecord, RoundTripsFieldByField) {
    auto parcel = newParcel();
    const CallbackData written = sample();
    ASSERT_EQ(written.writeToParcel(parcel.get()), STATUS_OK);
    const int32_t end = AParcel_getDataPosition(parcel.get());
    bgs_test::rewind(parcel.get());
    CallbackData read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, written);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), end);
}

TEST(CallbackDataRecord, SizeWordCoversTheWholeBody) {
    auto parcel = newParcel();
    ASSERT_EQ(sample().writeToParcel(parcel.get()), STATUS_OK);
    bgs_test::rewind(parcel.get());
    int32_t size = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &size), STATUS_OK);
    EXPECT_EQ(size, AParcel_getDataSize(parcel.get()));
}

TEST(CallbackDataRecord, OlderBodyLeavesTheLaterFieldsAsTheReaderHadThem) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(20).i32(1).i32(2).i32(3).i32(4).i64(99);
    bgs_test::rewind(parcel.get());
    CallbackData read = nonDefault();
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    CallbackData expected = nonDefault();
    expected.value1 = 1;
    expected.value2 = 2;
    expected.value3 = 3;
    expected.value4 = 4;
    EXPECT_EQ(read, expected);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 20);
}

TEST(CallbackDataRecord, FreshReaderOfAnOlderBodyKeepsDefaults) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(20).i32(1).i32(2).i32(3).i32(4);
    bgs_test::rewind(parcel.get());
    CallbackData read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read.longValue, 0);
    EXPECT_EQ(read.text, "");
    EXPECT_TRUE(read.images.empty());
    EXPECT_FALSE(read.flag);
    EXPECT_EQ(read.value5, 0);
}

TEST(CallbackDataRecord, EmptyTextAndEmptyListReadBackEmpty) {
    auto parcel = newParcel();
    CallbackData written;
    ASSERT_EQ(written.writeToParcel(parcel.get()), STATUS_OK);
    bgs_test::rewind(parcel.get());
    CallbackData read = nonDefault();
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, written);
}

TEST(CallbackDataRecord, NewerBodyIsReadAndItsExtraFieldsSkipped) {
    const CallbackData data = sample();
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    writer.beginBody().i32(data.value1).i32(data.value2).i32(data.value3).i32(data.value4);
    writer.i64(data.longValue).str(data.text);
    ASSERT_EQ(ndk::AParcel_writeData(parcel.get(), data.images), STATUS_OK);
    writer.boolean(data.flag).i32(data.value5).i32(12345).str("a later field").endBody();
    writer.i32(0x5eed);  // what follows the record
    bgs_test::rewind(parcel.get());

    CallbackData read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, data);
    int32_t next = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &next), STATUS_OK);
    EXPECT_EQ(next, 0x5eed);
}

// A body whose fields are valid up to `text`, which the case replaces.
enum class Fault { kNullText, kNullImages, kAbsentElement, kMalformedElement };
void PrintTo(Fault fault, std::ostream* os) {
    static const char* const kNames[] = {"nullText", "nullImages", "absentElement",
                                         "malformedElement"};
    *os << kNames[static_cast<int>(fault)];
}

class CallbackDataFault : public ::testing::TestWithParam<Fault> {};

TEST_P(CallbackDataFault, FailsAndKeepsTheFieldsBeforeTheFault) {
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    writer.beginBody().i32(1).i32(2).i32(3).i32(4).i64(5);
    const Fault fault = GetParam();
    binder_status_t expected = STATUS_OK;
    switch (fault) {
        case Fault::kNullText:
            writer.nullStr();
            expected = STATUS_UNEXPECTED_NULL;
            break;
        case Fault::kNullImages:
            writer.str("t").i32(-1);
            expected = STATUS_UNEXPECTED_NULL;
            break;
        case Fault::kAbsentElement:
            writer.str("t").i32(1).i32(0);
            expected = STATUS_UNEXPECTED_NULL;
            break;
        case Fault::kMalformedElement:
            writer.str("t").i32(1).i32(1).i32(2);  // element size word 2
            expected = STATUS_BAD_VALUE;
            break;
    }
    writer.boolean(true).i32(6).endBody();
    bgs_test::rewind(parcel.get());

    CallbackData read = nonDefault();
    EXPECT_EQ(read.readFromParcel(parcel.get()), expected);
    EXPECT_EQ(read.value4, 4);
    EXPECT_EQ(read.longValue, 5);
    EXPECT_EQ(read.value5, 77);  // never reached
    if (fault == Fault::kNullText) {
        EXPECT_EQ(read.text, "old");
    }
    if (fault == Fault::kNullImages) {
        EXPECT_EQ(read.images, std::vector<Image>{(Image{7, 7, 7})});
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, CallbackDataFault,
                         ::testing::Values(Fault::kNullText, Fault::kNullImages,
                                           Fault::kAbsentElement, Fault::kMalformedElement),
                         ::testing::PrintToStringParamName());

TEST(CallbackDataRecord, DescriptorAndText) {
    EXPECT_STREQ(CallbackData::descriptor, "vendor.tolvek.hardware.aidlbgservice.CallbackData");
    CallbackData data = sample();
    data.text = "a\"b\n";
    EXPECT_EQ(data.toString(),
              "CallbackData{value1: 1, value2: 2, value3: 3, value4: 4, longValue: 1099511627776, "
              "text: \"a\\\"b\\x0a\", images: [Image{value1: 1, value2: 2, value3: 3}, "
              "Image{value1: 4, value2: 5, value3: 6}], flag: true, value5: -1}");
}

}  // namespace
