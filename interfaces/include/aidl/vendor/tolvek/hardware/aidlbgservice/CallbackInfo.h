/*
 * CallbackInfo: the record the service hands to
 * IEventCallback::notifyCallbackInfo.
 *
 * Encoded as a size-prefixed body: value1, text1 and text2 (nullable strings:
 * a null string on the wire makes the field absent), value2.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKINFO_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKINFO_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_parcel_helpers.h>

#include <aidl/vendor/tolvek/hardware/aidlbgservice/export.h>

#include <cstdint>
#include <optional>
#include <string>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT CallbackInfo {
  public:
    int32_t value1 = 0;
    std::optional<std::string> text1;
    std::optional<std::string> text2;
    int32_t value2 = 0;

    // As Image::readFromParcel.
    binder_status_t readFromParcel(const AParcel* parcel);
    binder_status_t writeToParcel(AParcel* parcel) const;

    // "vendor.tolvek.hardware.aidlbgservice.CallbackInfo"
    static const char* descriptor;

    bool operator==(const CallbackInfo& other) const;
    bool operator!=(const CallbackInfo& other) const { return !(*this == other); }
    std::string toString() const;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_CALLBACKINFO_H
