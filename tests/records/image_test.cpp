// The size-prefixed record body, through Image: bodies shorter and longer
// than the reader's field list, malformed sizes, truncated parcels and
// failing writes.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/Image.h>

#include <gtest/gtest.h>

#include <climits>

#include "case_name.h"
#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using bgs_test::newParcel;
using bgs_test::ParcelWriter;

TEST(ImageRecord, RoundTripsAndEndsAfterItsSixteenByteBody) {
    auto parcel = newParcel();
    const Image written{1, 2, 3};
    ASSERT_EQ(written.writeToParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 16);

    bgs_test::rewind(parcel.get());
    int32_t sizeWord = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &sizeWord), STATUS_OK);
    EXPECT_EQ(sizeWord, 16);

    bgs_test::rewind(parcel.get());
    Image read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, written);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 16);
}

TEST(ImageRecord, BodyIsWrittenAtTheCurrentPosition) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(99);
    ASSERT_EQ((Image{4, 5, 6}).writeToParcel(parcel.get()), STATUS_OK);
    AParcel_setDataPosition(parcel.get(), 4);
    Image read;
    ASSERT_EQ(read.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(read, (Image{4, 5, 6}));
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 20);
}

// A body of `sizeWord` bytes followed by the int32s 11, 22, 33, 44, 55 (more
// than any Image needs), read at offset 8 into an Image holding 7, 8, 9.
struct SizeCase {
    const char* name;
    int32_t sizeWord;
    binder_status_t status;
    Image expected;
    int32_t endPosition;  // relative to the body's start
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class ImageBodySize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ImageBodySize, ReadsTheFieldsThatBeginInsideTheBody) {
    const SizeCase& c = GetParam();
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(-5).i32(-6);  // unrelated data before the body
    constexpr int32_t kStart = 8;
    ParcelWriter(parcel.get()).i32(c.sizeWord).i32(11).i32(22).i32(33).i32(44).i32(55);
    AParcel_setDataPosition(parcel.get(), kStart);

    Image image{7, 8, 9};
    EXPECT_EQ(image.readFromParcel(parcel.get()), c.status);
    EXPECT_EQ(image, c.expected);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), kStart + c.endPosition);
}

INSTANTIATE_TEST_SUITE_P(
        Sizes, ImageBodySize,
        ::testing::Values(
                // The size word alone: nothing read, every field keeps its value.
                SizeCase{"sizeWordOnly", 4, STATUS_OK, {7, 8, 9}, 4},
                SizeCase{"sizeWordAndValue1", 8, STATUS_OK, {11, 8, 9}, 8},
                // value1 begins inside a 6-byte body, so it is read in full;
                // the position then moves back to the declared end.
                SizeCase{"value1BeginsInside", 6, STATUS_OK, {11, 8, 9}, 6},
                SizeCase{"wholeBody", 16, STATUS_OK, {11, 22, 33}, 16},
                // A later version's body: the extra 8 bytes are skipped.
                SizeCase{"laterVersion", 24, STATUS_OK, {11, 22, 33}, 24},
                // Malformed sizes: refused right after the size word.
                SizeCase{"belowSizeWord", 3, STATUS_BAD_VALUE, {7, 8, 9}, 4},
                SizeCase{"zero", 0, STATUS_BAD_VALUE, {7, 8, 9}, 4},
                SizeCase{"minusOne", -1, STATUS_BAD_VALUE, {7, 8, 9}, 4},
                SizeCase{"intMin", INT_MIN, STATUS_BAD_VALUE, {7, 8, 9}, 4},
                // start + size would not fit a 32-bit position.
                SizeCase{"intMax", INT_MAX, STATUS_BAD_VALUE, {7, 8, 9}, 4},
                SizeCase{"endPastIntMax", INT_MAX - 7, STATUS_BAD_VALUE, {7, 8, 9}, 4}),
        bgs_test::CaseName());

TEST(ImageRecord, EndExactlyAtTheLargestPositionIsAccepted) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(0).i32(INT_MAX - 4).i32(1).i32(2).i32(3);
    AParcel_setDataPosition(parcel.get(), 4);
    Image image;
    EXPECT_EQ(image.readFromParcel(parcel.get()), STATUS_OK);
    EXPECT_EQ(image, (Image{1, 2, 3}));
}

TEST(ImageRecord, ParcelEndingInsideTheBodyKeepsTheFieldsReadSoFar) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(16).i32(11).i32(22);  // value3 is missing
    bgs_test::rewind(parcel.get());
    Image image{7, 8, 9};
    EXPECT_EQ(image.readFromParcel(parcel.get()), STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(image, (Image{11, 22, 9}));
}

TEST(ImageRecord, MissingSizeWordFailsWithTheReadsStatus) {
    auto parcel = newParcel();
    Image image{7, 8, 9};
    EXPECT_EQ(image.readFromParcel(parcel.get()), STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(image, (Image{7, 8, 9}));
}

TEST(ImageRecord, FailedWriteLeavesAPartialBodyWithSizeZero) {
    auto parcel = newParcel();
    // Room for the size word and value1 only.
    constexpr int32_t kStart = APARCEL_MAX_DATA_SIZE - 8;
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), kStart), STATUS_OK);
    EXPECT_EQ((Image{1, 2, 3}).writeToParcel(parcel.get()), STATUS_NO_MEMORY);
    AParcel_setDataPosition(parcel.get(), kStart);
    int32_t sizeWord = -1;
    int32_t value1 = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &sizeWord), STATUS_OK);
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &value1), STATUS_OK);
    EXPECT_EQ(sizeWord, 0);
    EXPECT_EQ(value1, 1);
}

TEST(ImageRecord, DescriptorTextAndEquality) {
    EXPECT_STREQ(Image::descriptor, "vendor.tolvek.hardware.aidlbgservice.Image");
    EXPECT_EQ((Image{1, 2, 3}).toString(), "Image{value1: 1, value2: 2, value3: 3}");
    EXPECT_NE((Image{1, 2, 3}), (Image{1, 2, 4}));
    EXPECT_EQ(Image{}, (Image{0, 0, 0}));
}

}  // namespace
