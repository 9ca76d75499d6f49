#include <aidl/vendor/tolvek/hardware/aidlbgservice/Image.h>

#include "record_framing.h"

namespace aidl::vendor::tolvek::hardware::aidlbgservice {
namespace {

template <typename R>
auto recordFields(R& r) {
    return std::tie(r.value1, r.value2, r.value3);
}
constexpr const char* kRecordFieldNames[] = {"value1", "value2", "value3"};

}  // namespace

AIDL_BGSERVICE_DEFINE_RECORD(Image, "vendor.tolvek.hardware.aidlbgservice.Image")

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

template AIDL_BGSERVICE_EXPORT binder_status_t
ndk::AParcel_readStdVectorParcelableElement<aidl::vendor::tolvek::hardware::aidlbgservice::Image>(
        const AParcel* parcel, void* vectorData, size_t index);
template AIDL_BGSERVICE_EXPORT binder_status_t
ndk::AParcel_writeStdVectorParcelableElement<aidl::vendor::tolvek::hardware::aidlbgservice::Image>(
        AParcel* parcel, const void* vectorData, size_t index);
