// What reading a list allocates: in proportion to the elements that decode,
// never to the count the wire announces. This binary interposes malloc
// (allocation_counter.cpp), so it holds these tests alone.
#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>

#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "parcel_test_util.h"

namespace {

using aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using aidl::vendor::tolvek::hardware::aidlbgservice::Image;
using bgs::testing::bytesRequestedOnThisThread;
using bgs::testing::countingAllocations;
using bgs_test::newParcel;
using bgs_test::ParcelWriter;

// A parcel of the largest size holding one CallbackData whose image list
// announces as many elements as the runtime lets the remaining bytes claim
// (about 16.7 million), of which the first `decoded` are valid and the next
// is an absent record (the zero bytes that fill the rest).
TEST(ListAllocation, HostileCountInAFullParcelAllocatesOnlyForWhatDecodes) {
    if (!countingAllocations()) GTEST_SKIP() << "a sanitizer's runtime owns malloc here";
    constexpr int32_t kDecoded = 10000;
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    writer.i32(1);  // present
    const int32_t bodyStart = AParcel_getDataPosition(parcel.get());
    writer.i32(0).i32(1).i32(2).i32(3).i32(4).i64(5).str("t");
    const int32_t countAt = AParcel_getDataPosition(parcel.get());
    writer.i32(0);
    for (int32_t i = 0; i < kDecoded; ++i) {
        writer.i32(1).i32(16).i32(i).i32(-i).i32(7);
    }
    // Fill to the size limit with zeros: every word from here on reads as
    // an absent record.
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), APARCEL_MAX_DATA_SIZE - 4), STATUS_OK);
    writer.i32(0);
    const int32_t size = AParcel_getDataSize(parcel.get());
    const int32_t count = (size - countAt - 4) / 4;
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), bodyStart), STATUS_OK);
    writer.i32(size - bodyStart);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), countAt), STATUS_OK);
    writer.i32(count);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);

    CallbackData data;
    const uint64_t before = bytesRequestedOnThisThread();
    EXPECT_EQ(ndk::AParcel_readRequiredParcelable(parcel.get(), &data), STATUS_UNEXPECTED_NULL);
    const uint64_t requested = bytesRequestedOnThisThread() - before;

    // Sizing the list by the count would ask for count * 12 bytes (192 MiB).
    // Growing as elements decode asks for a small multiple of what decoded,
    // plus at most the 64 KiB reserved before the first element.
    EXPECT_LT(requested, 64 * 1024 + 4 * kDecoded * sizeof(Image))
            << "count " << count << ", " << kDecoded << " elements decoded";
    ASSERT_EQ(data.images.size(), static_cast<size_t>(kDecoded) + 1);
    EXPECT_EQ(data.images[kDecoded - 1], (Image{kDecoded - 1, 1 - kDecoded, 7}));
}

}  // namespace
