#include "service_probe.h"

#include <android/binder_ibinder.h>
#include <android/binder_parcel.h>
#include <android/binder_parcel_helpers.h>
#include <bgs/scoped_call_timeout.h>
#include <bgs/service_manager.h>

#include <map>
#include <mutex>

namespace bgctl {

namespace {

// The interface queries' codes, the same for every interface.
constexpr transaction_code_t kVersionCode = 16777215;
constexpr transaction_code_t kHashCode = 16777214;

}  // namespace

AIBinder_Class* classFor(const std::string& descriptor) {
    static std::mutex mutex;
    static std::map<std::string, AIBinder_Class*> classes;
    const std::lock_guard<std::mutex> lock(mutex);
    AIBinder_Class*& clazz = classes[descriptor];
    if (clazz == nullptr) {
        clazz = AIBinder_Class_define(descriptor.c_str(), nullptr, nullptr,
                                      [](AIBinder*, transaction_code_t, const AParcel*, AParcel*) {
                                          return static_cast<binder_status_t>(STATUS_UNKNOWN_TRANSACTION);
                                      });
    }
    return clazz;
}

namespace {

// Sends the query `code` (a request of the interface header alone) and reads
// its OK status header and one value into *value.
template <typename T>
bool query(AIBinder* binder, transaction_code_t code, Deadline deadline, T* value) {
    const bgs::ScopedCallTimeout timeout{std::chrono::milliseconds(millisecondsLeft(deadline))};
    ::ndk::UniqueAParcel request;
    ::ndk::UniqueAParcel reply;
    ::ndk::UniqueAStatus status;
    return AIBinder_prepareTransaction(binder, request.outPtr()) == STATUS_OK &&
           AIBinder_transact(binder, code, request.outPtr(), reply.outPtr(), 0) == STATUS_OK &&
           AParcel_readStatusHeader(reply.get(), status.outPtr()) == STATUS_OK && status.isOk() &&
           ::ndk::AParcel_readData(reply.get(), value) == STATUS_OK;
}

}  // namespace

int32_t millisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 1 ? 1 : left.count() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left.count());
}

ServiceFacts examine(const ::ndk::SpAIBinder& binder, Deadline deadline, bool withHash) {
    ServiceFacts facts;
    if (binder.get() == nullptr) {
        return facts;
    }
    if (const char* descriptor = BgsBinder_getDescriptor(binder.get())) {
        facts.descriptor = descriptor;
    }
    {
        const bgs::ScopedCallTimeout timeout{std::chrono::milliseconds(millisecondsLeft(deadline))};
        facts.answers = AIBinder_ping(binder.get()) == STATUS_OK;
    }
    AIBinder_Class* clazz = facts.descriptor.empty() ? nullptr : classFor(facts.descriptor);
    if (!facts.answers || clazz == nullptr || !AIBinder_associateClass(binder.get(), clazz)) {
        return facts;
    }
    int32_t version = 0;
    if (query(binder.get(), kVersionCode, deadline, &version)) {
        facts.version = version;
    }
    std::string hash;
    if (withHash && query(binder.get(), kHashCode, deadline, &hash)) {
        facts.hash = hash;
    }
    return facts;
}

}  // namespace bgctl
