// Small helpers for tests that build parcels by hand.
#ifndef BGS_TESTS_SUPPORT_PARCEL_TEST_UTIL_H
#define BGS_TESTS_SUPPORT_PARCEL_TEST_UTIL_H

#include <android/binder_auto_utils.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bgs_test {

inline ndk::UniqueAParcel newParcel() { return ndk::UniqueAParcel(AParcel_create()); }

// Appends values to a parcel in order, failing the test on a write error.
class ParcelWriter {
  public:
    explicit ParcelWriter(AParcel* parcel) : mParcel(parcel) {}
    ParcelWriter& i32(int32_t value) {
        EXPECT_EQ(AParcel_writeInt32(mParcel, value), STATUS_OK);
        return *this;
    }
    ParcelWriter& i64(int64_t value) {
        EXPECT_EQ(AParcel_writeInt64(mParcel, value), STATUS_OK);
        return *this;
    }
    ParcelWriter& boolean(bool value) {
        EXPECT_EQ(AParcel_writeBool(mParcel, value), STATUS_OK);
        return *this;
    }
    ParcelWriter& str(const std::string& value) {
        EXPECT_EQ(AParcel_writeString(mParcel, value.data(), static_cast<int32_t>(value.size())),
                  STATUS_OK);
        return *this;
    }
    ParcelWriter& nullStr() {
        EXPECT_EQ(AParcel_writeString(mParcel, nullptr, -1), STATUS_OK);
        return *this;
    }
    // Starts a size-prefixed body whose size is patched by endBody().
    ParcelWriter& beginBody() {
        mBodyStarts.push_back(AParcel_getDataPosition(mParcel));
        return i32(0);
    }
    ParcelWriter& endBody() {
        const int32_t start = mBodyStarts.back();
        mBodyStarts.pop_back();
        const int32_t end = AParcel_getDataPosition(mParcel);
        AParcel_setDataPosition(mParcel, start);
        i32(end - start);
        AParcel_setDataPosition(mParcel, end);
        return *this;
    }

  private:
    AParcel* mParcel;
    std::vector<int32_t> mBodyStarts;
};

// The parcel's data bytes.
inline std::vector<uint8_t> bytesOf(const AParcel* parcel) {
    std::vector<uint8_t> bytes(static_cast<size_t>(AParcel_getDataSize(parcel)));
    EXPECT_EQ(AParcel_marshal(parcel, bytes.data(), 0, bytes.size()), STATUS_OK);
    return bytes;
}

// A parcel holding `bytes`, positioned at 0.
inline ndk::UniqueAParcel parcelFrom(const std::vector<uint8_t>& bytes) {
    ndk::UniqueAParcel parcel = newParcel();
    EXPECT_EQ(AParcel_unmarshal(parcel.get(), bytes.data(), bytes.size()), STATUS_OK);
    return parcel;
}

inline void rewind(AParcel* parcel) { ASSERT_EQ(AParcel_setDataPosition(parcel, 0), STATUS_OK); }

}  // namespace bgs_test

#endif  // BGS_TESTS_SUPPORT_PARCEL_TEST_UTIL_H
