#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <iterator>

#include "registration.h"
#include "transaction.h"

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

// ---------------------------------------------------------------------------
// Transaction function and registration. This source initialises after the
// IBGService one (link order); within it: the class definition, then the
// registration of default_impl's release at unload (its destructor).

namespace {
// Entry i names code FIRST_CALL_TRANSACTION + i; the queries have no entry.
const char* kMethodNames[] = {
        "notifyCallback",     "notifySnapshotAvailability", "notifyCallbackInfo",
        "onCaptureCompleted", "onCaptureFailed",
};
}  // namespace

binder_status_t _aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact(
        AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    // Methods in code order, from code 1.
    return internal::dispatchTransaction<
            IEventCallback, BnEventCallback, &IEventCallback::notifyCallback,
            &IEventCallback::notifySnapshotAvailability, &IEventCallback::notifyCallbackInfo,
            &IEventCallback::onCaptureCompleted, &IEventCallback::onCaptureFailed>(binder, code,
                                                                                  in, out);
}

const char* IEventCallback::descriptor = "vendor.tolvek.hardware.aidlbgservice.IEventCallback";

AIBinder_Class* eventCallbackClass = ::ndk::ICInterface::defineBinderClass(
        IEventCallback::descriptor,
        _aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact, kMethodNames,
        std::size(kMethodNames));

std::shared_ptr<IEventCallback> IEventCallback::default_impl = nullptr;

// ---------------------------------------------------------------------------
// IEventCallback

IEventCallback::IEventCallback() {}
IEventCallback::~IEventCallback() {}

std::shared_ptr<IEventCallback> IEventCallback::fromBinder(const ::ndk::SpAIBinder& binder) {
    return ::ndk::internal::interfaceFromBinder<IEventCallback, BpEventCallback>(
            binder, eventCallbackClass, descriptor);
}

binder_status_t IEventCallback::writeToParcel(AParcel* parcel,
                                              const std::shared_ptr<IEventCallback>& instance) {
    return ::ndk::internal::writeInterfaceToParcel(parcel, instance);
}

binder_status_t IEventCallback::readFromParcel(const AParcel* parcel,
                                               std::shared_ptr<IEventCallback>* instance) {
    return ::ndk::internal::readInterfaceFromParcel(parcel, instance);
}

bool IEventCallback::setDefaultImpl(const std::shared_ptr<IEventCallback>& impl) {
    return internal::installDefaultImpl(&default_impl, impl);
}

const std::shared_ptr<IEventCallback>& IEventCallback::getDefaultImpl() { return default_impl; }

// ---------------------------------------------------------------------------
// IEventCallbackDefault

::ndk::UniqueAStatus IEventCallbackDefault::notifyCallback(const CallbackData&, std::string*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IEventCallbackDefault::notifySnapshotAvailability(int32_t, std::string*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IEventCallbackDefault::notifyCallbackInfo(const CallbackInfo&,
                                                               std::string*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IEventCallbackDefault::onCaptureCompleted(const std::string&, int32_t,
                                                               const std::string&, std::string*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IEventCallbackDefault::onCaptureFailed(const std::string&, int32_t,
                                                            const std::string&, std::string*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IEventCallbackDefault::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::defaultInterfaceVersion(_aidl_return);
}
::ndk::UniqueAStatus IEventCallbackDefault::getInterfaceHash(std::string* _aidl_return) {
    return internal::defaultInterfaceHash(_aidl_return);
}
::ndk::SpAIBinder IEventCallbackDefault::asBinder() { return ::ndk::SpAIBinder(); }
bool IEventCallbackDefault::isRemote() { return false; }

// ---------------------------------------------------------------------------
// BpEventCallback: each method is the proxy call sequence with its code.

BpEventCallback::BpEventCallback(const ::ndk::SpAIBinder& binder) : BpCInterface(binder) {}
BpEventCallback::~BpEventCallback() {}

::ndk::UniqueAStatus BpEventCallback::notifyCallback(const CallbackData& data,
                                                     std::string* _aidl_return) {
    return internal::proxyCall<&IEventCallback::notifyCallback>(
            remoteBinder(), TRANSACTION_notifyCallback, nullptr, data, _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::notifySnapshotAvailability(int32_t value,
                                                                 std::string* _aidl_return) {
    return internal::proxyCall<&IEventCallback::notifySnapshotAvailability>(
            remoteBinder(), TRANSACTION_notifySnapshotAvailability, nullptr, value, _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::notifyCallbackInfo(const CallbackInfo& info,
                                                         std::string* _aidl_return) {
    return internal::proxyCall<&IEventCallback::notifyCallbackInfo>(
            remoteBinder(), TRANSACTION_notifyCallbackInfo, nullptr, info, _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::onCaptureCompleted(const std::string& first, int32_t value,
                                                         const std::string& second,
                                                         std::string* _aidl_return) {
    return internal::proxyCall<&IEventCallback::onCaptureCompleted>(
            remoteBinder(), TRANSACTION_onCaptureCompleted, nullptr, first, value, second,
            _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::onCaptureFailed(const std::string& first, int32_t value,
                                                      const std::string& second,
                                                      std::string* _aidl_return) {
    return internal::proxyCall<&IEventCallback::onCaptureFailed>(
            remoteBinder(), TRANSACTION_onCaptureFailed, nullptr, first, value, second,
            _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::proxyGetInterfaceVersion<&IEventCallback::getInterfaceVersion>(*this,
                                                                                   _aidl_return);
}
::ndk::UniqueAStatus BpEventCallback::getInterfaceHash(std::string* _aidl_return) {
    return internal::proxyGetInterfaceHash<&IEventCallback::getInterfaceHash>(*this,
                                                                             _aidl_return);
}

// ---------------------------------------------------------------------------
// BnEventCallback

BnEventCallback::BnEventCallback() {}
BnEventCallback::~BnEventCallback() {}

::ndk::UniqueAStatus BnEventCallback::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::stubInterfaceVersion<IEventCallback>(_aidl_return);
}
::ndk::UniqueAStatus BnEventCallback::getInterfaceHash(std::string* _aidl_return) {
    return internal::stubInterfaceHash<IEventCallback>(_aidl_return);
}
::ndk::SpAIBinder BnEventCallback::createBinder() {
    return internal::createStubBinder(eventCallbackClass, static_cast<::ndk::ICInterface*>(this));
}

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice
