#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>

#include "record_framing.h"

namespace aidl::vendor::tolvek::hardware::aidlbgservice {
namespace {

template <typename R>
auto recordFields(R& r) {
    return std::tie(r.value1, r.value2, r.value3, r.value4, r.longValue, r.text, r.images, r.flag,
                    r.value5);
}
constexpr const char* kRecordFieldNames[] = {"value1",    "value2", "value3",
                                             "value4",    "longValue", "text",
                                             "images",    "flag",   "value5"};

}  // namespace

AIDL_BGSERVICE_DEFINE_RECORD(CallbackData, "vendor.tolvek.hardware.aidlbgservice.CallbackData")

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice
