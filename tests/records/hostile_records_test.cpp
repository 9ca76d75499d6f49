// Record readers fed bytes from a hostile peer: every truncation of a valid
// body, single-byte corruptions of it, and random buffers. None may crash,
// and nothing may grow beyond what the bytes present could describe.

#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h>

#include <gtest/gtest.h>

#include <random>

#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using aidl::vendor::tolvek::hardware::aidlbgservice::Image;

std::vector<uint8_t> validCallbackData() {
    CallbackData data;
    data.value1 = 1;
    data.longValue = -2;
    data.text = "hello";
    data.images = {Image{1, 2, 3}, Image{4, 5, 6}, Image{7, 8, 9}};
    data.flag = true;
    data.value5 = 5;
    auto parcel = bgs_test::newParcel();
    EXPECT_EQ(ndk::AParcel_writeRequiredParcelable(parcel.get(), data), STATUS_OK);
    return bgs_test::bytesOf(parcel.get());
}

std::vector<uint8_t> validCallbackInfo() {
    CallbackInfo info;
    info.value1 = 3;
    info.text1 = "some text";
    info.value2 = 4;
    auto parcel = bgs_test::newParcel();
    EXPECT_EQ(ndk::AParcel_writeRequiredParcelable(parcel.get(), info), STATUS_OK);
    return bgs_test::bytesOf(parcel.get());
}

// Reads both records from `bytes` and checks that what was built is bounded by
// the input: a string cannot hold more bytes than arrived, and every list
// element takes at least 4 bytes on the wire.
void readHostile(const std::vector<uint8_t>& bytes) {
    const size_t budget = bytes.size();
    {
        auto parcel = bgs_test::parcelFrom(bytes);
        CallbackData data;
        const binder_status_t status = ndk::AParcel_readRequiredParcelable(parcel.get(), &data);
        (void)status;
        EXPECT_LE(data.text.size(), budget);
        EXPECT_LE(data.images.size(), budget / 4);
        const int32_t position = AParcel_getDataPosition(parcel.get());
        EXPECT_GE(position, 0);
    }
    {
        auto parcel = bgs_test::parcelFrom(bytes);
        CallbackInfo info;
        (void)ndk::AParcel_readRequiredParcelable(parcel.get(), &info);
        EXPECT_LE(info.text1.value_or("").size(), budget);
        EXPECT_LE(info.text2.value_or("").size(), budget);
    }
}

TEST(HostileRecords, EveryTruncationOfAValidBodyFailsCleanly) {
    for (const auto& valid : {validCallbackData(), validCallbackInfo()}) {
        for (size_t length = 0; length < valid.size(); ++length) {
            std::vector<uint8_t> truncated(valid.begin(), valid.begin() + length);
            SCOPED_TRACE(length);
            readHostile(truncated);
        }
    }
}

TEST(HostileRecords, TruncatedCallbackDataNeverReportsSuccess) {
    const std::vector<uint8_t> valid = validCallbackData();
    // Every field is needed up to the declared size, so every strict prefix
    // that cuts into the fields must fail.
    for (size_t length = 0; length < valid.size(); ++length) {
        auto parcel = bgs_test::parcelFrom({valid.begin(), valid.begin() + length});
        CallbackData data;
        EXPECT_NE(ndk::AParcel_readRequiredParcelable(parcel.get(), &data), STATUS_OK) << length;
    }
}

TEST(HostileRecords, CorruptedBytesNeverCrashOrOverAllocate) {
    std::mt19937 random(20261207);
    for (const auto& valid : {validCallbackData(), validCallbackInfo()}) {
        for (size_t index = 0; index < valid.size(); ++index) {
            for (uint8_t value : {uint8_t{0x00}, uint8_t{0xff}, uint8_t{0x7f}, uint8_t{0x80},
                                  static_cast<uint8_t>(random())}) {
                std::vector<uint8_t> corrupted = valid;
                corrupted[index] = value;
                readHostile(corrupted);
            }
        }
    }
}

TEST(HostileRecords, RandomBuffersNeverCrashOrOverAllocate) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(random() % 96);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
        // Plausible small words make the readers go deeper than pure noise would.
        if (bytes.size() >= 8 && round % 2 == 0) {
            bytes[0] = 1;
            bytes[4] = static_cast<uint8_t>(bytes.size());
            bytes[5] = bytes[6] = bytes[7] = 0;
        }
        readHostile(bytes);
    }
}

}  // namespace
