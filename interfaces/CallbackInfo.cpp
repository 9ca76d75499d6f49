#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h>

#include "record_framing.h"

namespace aidl::vendor::tolvek::hardware::aidlbgservice {
namespace {

template <typename R>
auto recordFields(R& r) {
    return std::tie(r.value1, r.text1, r.text2, r.value2);
}
constexpr const char* kRecordFieldNames[] = {"value1", "text1", "text2", "value2"};

}  // namespace

AIDL_BGSERVICE_DEFINE_RECORD(CallbackInfo, "vendor.tolvek.hardware.aidlbgservice.CallbackInfo")

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice
