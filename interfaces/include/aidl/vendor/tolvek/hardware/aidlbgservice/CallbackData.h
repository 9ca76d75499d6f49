/*
 * CallbackData: the record the service hands to IEventCallback::notifyCallback.
 *
 * Encoded as a size-prefixed body: value1..value4, longValue, text (a
 * required string), images (a required list of Image record values), flag,
 * value5. A null text or a null list on the wire is refused.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKDATA_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKDATA_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <aidl/vendor/tolvek/hardware/aidlbgservice/Image.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT CallbackData {
  public:
    int32_t value1 = 0;
    int32_t value2 = 0;
    int32_t value3 = 0;
    int32_t value4 = 0;
    int64_t longValue = 0;
    std::string text;
    std::vector<Image> images;
    bool flag = false;
    int32_t value5 = 0;

    // As Image::readFromParcel. A list read cuts `images` to the count on the
    // wire when that is shorter, reads each element in place and appends
    // elements as they decode, so a count that the data does not back never
    // sizes the list (ndk::AParcel_readData for a std::vector).
    binder_status_t readFromParcel(const AParcel* parcel);
    binder_status_t writeToParcel(AParcel* parcel) const;

    // "vendor.tolvek.hardware.aidlbgservice.CallbackData"
    static const char* descriptor;

    bool operator==(const CallbackData& other) const;
    bool operator!=(const CallbackData& other) const { return !(*this == other); }
    std::string toString() const;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKDATA_H
