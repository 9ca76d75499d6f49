// String and list helpers: the allocator contracts, the presence marker of a
// record value, and lists of records read in place.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/Image.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using bgs_test::newParcel;
using bgs_test::ParcelWriter;

TEST(StringAllocators, RequiredStringRefusesNullAndEmptyLengths) {
    for (int32_t length : {0, -1, -100}) {
        std::string text = "keep";
        char* buffer = reinterpret_cast<char*>(0x1);
        EXPECT_FALSE(ndk::AParcel_stdStringAllocator(&text, length, &buffer)) << length;
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(buffer, reinterpret_cast<char*>(0x1));
    }
}

TEST(StringAllocators, RequiredStringIsResizedInPlace) {
    std::string text = "longer text";
    char* buffer = nullptr;
    ASSERT_TRUE(ndk::AParcel_stdStringAllocator(&text, 4, &buffer));
    EXPECT_EQ(text.size(), 3u);
    EXPECT_EQ(buffer, text.data());
    ASSERT_TRUE(ndk::AParcel_stdStringAllocator(&text, 1, &buffer));
    EXPECT_TRUE(text.empty());
}

TEST(StringAllocators, NullableStringBecomesAbsentPresentOrIsRefused) {
    std::optional<std::string> text = "old";
    char* buffer = nullptr;
    EXPECT_FALSE(ndk::AParcel_nullableStdStringAllocator(&text, 0, &buffer));
    EXPECT_EQ(text, "old");

    ASSERT_TRUE(ndk::AParcel_nullableStdStringAllocator(&text, -1, &buffer));
    EXPECT_FALSE(text.has_value());
    EXPECT_EQ(buffer, nullptr);

    ASSERT_TRUE(ndk::AParcel_nullableStdStringAllocator(&text, 3, &buffer));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, std::string(2, '\0'));
    EXPECT_EQ(buffer, text->data());
}

TEST(Strings, NullVersusEmptyThroughTheParcel) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).nullStr().str("").nullStr().str("").str(std::string("a\0b", 3));
    bgs_test::rewind(parcel.get());

    std::string required = "unchanged";
    EXPECT_NE(ndk::AParcel_readData(parcel.get(), &required), STATUS_OK);  // null refused
    EXPECT_EQ(required, "unchanged");
    AParcel_setDataPosition(parcel.get(), 4);  // past the null string
    EXPECT_EQ(ndk::AParcel_readData(parcel.get(), &required), STATUS_OK);
    EXPECT_EQ(required, "");

    std::optional<std::string> nullable = "x";
    EXPECT_EQ(ndk::AParcel_readData(parcel.get(), &nullable), STATUS_OK);
    EXPECT_FALSE(nullable.has_value());
    EXPECT_EQ(ndk::AParcel_readData(parcel.get(), &nullable), STATUS_OK);
    EXPECT_EQ(nullable, std::string());

    EXPECT_EQ(ndk::AParcel_readData(parcel.get(), &required), STATUS_OK);
    EXPECT_EQ(required, std::string("a\0b", 3));  // byte length, not C-string length
}

TEST(Strings, AbsentNullableIsWrittenAsANullString) {
    auto parcel = newParcel();
    ASSERT_EQ(ndk::AParcel_writeData(parcel.get(), std::optional<std::string>()), STATUS_OK);
    bgs_test::rewind(parcel.get());
    int32_t length = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &length), STATUS_OK);
    EXPECT_EQ(length, -1);
}

TEST(RecordValue, WrittenWithMarkerOneThenTheBody) {
    auto parcel = newParcel();
    ASSERT_EQ(ndk::AParcel_writeRequiredParcelable(parcel.get(), Image{1, 2, 3}), STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 20);
    bgs_test::rewind(parcel.get());
    int32_t marker = 0;
    ASSERT_EQ(AParcel_readInt32(parcel.get(), &marker), STATUS_OK);
    EXPECT_EQ(marker, 1);
}

TEST(RecordValue, MarkerZeroIsRefusedAndAnyOtherMeansPresent) {
    struct Case {
        int32_t marker;
        binder_status_t status;
        Image expected;
    };
    for (const Case& c : {Case{0, STATUS_UNEXPECTED_NULL, {7, 8, 9}},
                          Case{1, STATUS_OK, {1, 2, 3}}, Case{7, STATUS_OK, {1, 2, 3}},
                          Case{-1, STATUS_OK, {1, 2, 3}}}) {
        auto parcel = newParcel();
        ParcelWriter(parcel.get()).i32(c.marker);
        ASSERT_EQ((Image{1, 2, 3}).writeToParcel(parcel.get()), STATUS_OK);
        bgs_test::rewind(parcel.get());
        Image image{7, 8, 9};
        EXPECT_EQ(ndk::AParcel_readRequiredParcelable(parcel.get(), &image), c.status) << c.marker;
        EXPECT_EQ(image, c.expected) << c.marker;
    }
}

TEST(ImageList, EmptyListReadsBackEmptyNotNull) {
    auto parcel = newParcel();
    ASSERT_EQ(ndk::AParcel_writeData(parcel.get(), std::vector<Image>()), STATUS_OK);
    bgs_test::rewind(parcel.get());
    std::vector<Image> list{Image{1, 1, 1}};
    ASSERT_EQ(ndk::AParcel_readData(parcel.get(), &list), STATUS_OK);
    EXPECT_TRUE(list.empty());
}

TEST(ImageList, NullListIsRefusedAndLeavesTheListUntouched) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(-1);
    bgs_test::rewind(parcel.get());
    std::vector<Image> list{Image{1, 1, 1}};
    EXPECT_NE(ndk::AParcel_readData(parcel.get(), &list), STATUS_OK);
    EXPECT_EQ(list, std::vector<Image>{(Image{1, 1, 1})});
}

TEST(ImageList, ShorterListDropsTheTailAndUpdatesInPlace) {
    auto parcel = newParcel();
    ASSERT_EQ(ndk::AParcel_writeData(parcel.get(),
                                     std::vector<Image>{Image{1, 2, 3}, Image{4, 5, 6}}),
              STATUS_OK);
    bgs_test::rewind(parcel.get());
    std::vector<Image> list{Image{9, 9, 9}, Image{8, 8, 8}, Image{7, 7, 7}};
    ASSERT_EQ(ndk::AParcel_readData(parcel.get(), &list), STATUS_OK);
    EXPECT_EQ(list, (std::vector<Image>{Image{1, 2, 3}, Image{4, 5, 6}}));
}

TEST(ImageList, ShortElementBodyKeepsTheElementsEarlierValues) {
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    writer.i32(2);                                      // count
    writer.i32(1).beginBody().i32(10).endBody();        // element 0: value1 only
    writer.i32(1).beginBody().i32(20).i32(21).endBody();  // element 1: value1, value2
    bgs_test::rewind(parcel.get());
    std::vector<Image> list{Image{1, 2, 3}};  // grows: element 1 starts as default
    ASSERT_EQ(ndk::AParcel_readData(parcel.get(), &list), STATUS_OK);
    EXPECT_EQ(list, (std::vector<Image>{Image{10, 2, 3}, Image{20, 21, 0}}));
}

TEST(ImageList, ElementWithMarkerZeroEndsTheRead) {
    auto parcel = newParcel();
    ParcelWriter(parcel.get()).i32(2).i32(0).i32(0).i32(0).i32(0).i32(0);
    bgs_test::rewind(parcel.get());
    std::vector<Image> list;
    EXPECT_EQ(ndk::AParcel_readData(parcel.get(), &list), STATUS_UNEXPECTED_NULL);
}

TEST(ImageListDeathTest, ElementIndexBeyondTheListStopsTheProcess) {
    std::vector<Image> list(1);
    auto parcel = newParcel();
    EXPECT_DEATH(
            ndk::AParcel_writeStdVectorParcelableElement<Image>(parcel.get(), &list, 1),
            "list element index out of range");
    EXPECT_DEATH(ndk::AParcel_readStdVectorParcelableElement<Image>(parcel.get(), &list, 5),
                 "list element index out of range");
}

}  // namespace
