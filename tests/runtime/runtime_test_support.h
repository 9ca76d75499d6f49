// Fakes and helpers shared by the runtime tests.
#ifndef BGS_TESTS_RUNTIME_TEST_SUPPORT_H
#define BGS_TESTS_RUNTIME_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <android/binder_ibinder.h>
#include <android/binder_parcel.h>
#include <android/binder_status.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"

namespace bgs_test {

struct ParcelDeleter {
    void operator()(AParcel* parcel) const { AParcel_delete(parcel); }
};
using ParcelPtr = std::unique_ptr<AParcel, ParcelDeleter>;

inline ParcelPtr newParcel() { return ParcelPtr(AParcel_create()); }

inline std::vector<uint8_t> bytesOf(const AParcel* parcel) {
    std::vector<uint8_t> bytes(static_cast<size_t>(AParcel_getDataSize(parcel)));
    if (AParcel_marshal(parcel, bytes.data(), 0, bytes.size()) != STATUS_OK) bytes.clear();
    return bytes;
}

inline ParcelPtr parcelOf(const std::vector<uint8_t>& bytes) {
    ParcelPtr parcel = newParcel();
    AParcel_unmarshal(parcel.get(), bytes.data(), bytes.size());
    return parcel;
}

// The user data of a fake binder: counts what the runtime did to it and lets
// a test decide how transactions are served. Outlives its binder.
struct FakeObject {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> transactions{0};
    std::function<binder_status_t(AIBinder*, transaction_code_t, const AParcel*, AParcel*)> onTransact;
};

inline void* fakeCreate(void* args) {
    static_cast<FakeObject*>(args)->created++;
    return args;
}
inline void fakeDestroy(void* userData) { static_cast<FakeObject*>(userData)->destroyed++; }
inline binder_status_t fakeTransact(AIBinder* binder, transaction_code_t code, const AParcel* in,
                                    AParcel* out) {
    FakeObject* object = static_cast<FakeObject*>(AIBinder_getUserData(binder));
    object->transactions++;
    return object->onTransact ? object->onTransact(binder, code, in, out) : STATUS_OK;
}

inline constexpr const char* kFakeDescriptor = "bgs.test.IFake";

// One class per process, as an interface library would define it.
inline AIBinder_Class* fakeClass() {
    static AIBinder_Class* clazz = AIBinder_Class_define(kFakeDescriptor, fakeCreate, fakeDestroy, fakeTransact);
    return clazz;
}

// A second class with the same descriptor (another library's definition).
inline AIBinder_Class* twinClass() {
    static AIBinder_Class* clazz = AIBinder_Class_define(kFakeDescriptor, fakeCreate, fakeDestroy, fakeTransact);
    return clazz;
}

// Collects what AParcel_readString hands to its allocator.
struct StringSink {
    bool accept = true;
    bool giveNullBuffer = false;
    std::vector<int32_t> requests;
    std::string value;
    bool isNull = false;

    static bool allocate(void* data, int32_t length, char** buffer) {
        StringSink* sink = static_cast<StringSink*>(data);
        sink->requests.push_back(length);
        if (!sink->accept) return false;
        sink->isNull = length < 0;
        sink->value.assign(length > 0 ? static_cast<size_t>(length) : 0, '#');
        if (length > 0 && !sink->giveNullBuffer) *buffer = sink->value.data();
        return true;
    }
    // The text without the terminating zero the runtime stores.
    std::string text() const { return value.empty() ? value : value.substr(0, value.size() - 1); }
};

}  // namespace bgs_test

#endif  // BGS_TESTS_RUNTIME_TEST_SUPPORT_H
