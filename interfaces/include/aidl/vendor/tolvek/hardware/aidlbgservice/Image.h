/*
 * Image: one element of CallbackData's image list.
 *
 * Encoded as a size-prefixed body (size word, then value1, value2, value3),
 * which a reader of another version of the record can still read: fields the
 * body lacks keep the reader's values, extra trailing bytes are skipped.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IMAGE_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IMAGE_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/Image.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_parcel_helpers.h>

#include <aidl/vendor/tolvek/hardware/aidlbgservice/export.h>

#include <cstdint>
#include <string>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT Image {
  public:
    int32_t value1 = 0;
    int32_t value2 = 0;
    int32_t value3 = 0;

    // Reads a body at the parcel's position into this object. Returns the
    // first failing read's status, or STATUS_BAD_VALUE for a size word below
    // 4 or one that overflows the position; fields read before a failure keep
    // their new values and the position is not restored.
    binder_status_t readFromParcel(const AParcel* parcel);

    // Appends a body at the parcel's position. On failure the parcel holds a
    // partial body whose size word is 0.
    binder_status_t writeToParcel(AParcel* parcel) const;

    // "vendor.tolvek.hardware.aidlbgservice.Image"; not part of the encoding.
    static const char* descriptor;

    bool operator==(const Image& other) const;
    bool operator!=(const Image& other) const { return !(*this == other); }

    // "Image{value1: 1, value2: 2, value3: 3}"
    std::string toString() const;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

namespace ndk {
// The list-element reader and writer for Image, exported by the library.
extern template AIDL_BGSERVICE_EXPORT binder_status_t
AParcel_readStdVectorParcelableElement<aidl::vendor::tolvek::hardware::aidlbgservice::Image>(
        const AParcel* parcel, void* vectorData, size_t index);
extern template AIDL_BGSERVICE_EXPORT binder_status_t
AParcel_writeStdVectorParcelableElement<aidl::vendor::tolvek::hardware::aidlbgservice::Image>(
        AParcel* parcel, const void* vectorData, size_t index);
}  // namespace ndk

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IMAGE_H
