#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <iterator>

#include "registration.h"
#include "transaction.h"

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

// ---------------------------------------------------------------------------
// Transaction function and registration. Static initialisation of this
// source runs in this order: the class definition, then the registration of
// default_impl's release at unload (its destructor).

namespace {
// Entry i names code FIRST_CALL_TRANSACTION + i; the queries have no entry.
const char* kMethodNames[] = {
        "setCapabilities",         "setEventCallback",       "setTimestamps",
        "setRequstCompleted",      "setGalleryEventCallback", "getGalleryAvailability",
        "getStorageLoadCompletedStatus", "setRequstCompletedImageName",
};
}  // namespace

binder_status_t _aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact(
        AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    // Methods in code order, from code 1.
    return internal::dispatchTransaction<
            IBGService, BnBGService, &IBGService::setCapabilities, &IBGService::setEventCallback,
            &IBGService::setTimestamps, &IBGService::setRequstCompleted,
            &IBGService::setGalleryEventCallback, &IBGService::getGalleryAvailability,
            &IBGService::getStorageLoadCompletedStatus,
            &IBGService::setRequstCompletedImageName>(binder, code, in, out);
}

const char* IBGService::descriptor = "vendor.tolvek.hardware.aidlbgservice.IBGService";

AIBinder_Class* bgServiceClass = ::ndk::ICInterface::defineBinderClass(
        IBGService::descriptor, _aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact,
        kMethodNames, std::size(kMethodNames));

std::shared_ptr<IBGService> IBGService::default_impl = nullptr;

// ---------------------------------------------------------------------------
// IBGService

IBGService::IBGService() {}
IBGService::~IBGService() {}

std::shared_ptr<IBGService> IBGService::fromBinder(const ::ndk::SpAIBinder& binder) {
    return ::ndk::internal::interfaceFromBinder<IBGService, BpBGService>(binder, bgServiceClass,
                                                                         descriptor);
}

binder_status_t IBGService::writeToParcel(AParcel* parcel,
                                          const std::shared_ptr<IBGService>& instance) {
    return ::ndk::internal::writeInterfaceToParcel(parcel, instance);
}

binder_status_t IBGService::readFromParcel(const AParcel* parcel,
                                           std::shared_ptr<IBGService>* instance) {
    return ::ndk::internal::readInterfaceFromParcel(parcel, instance);
}

bool IBGService::setDefaultImpl(const std::shared_ptr<IBGService>& impl) {
    return internal::installDefaultImpl(&default_impl, impl);
}

const std::shared_ptr<IBGService>& IBGService::getDefaultImpl() { return default_impl; }

// ---------------------------------------------------------------------------
// IBGServiceDefault

::ndk::UniqueAStatus IBGServiceDefault::setCapabilities(const std::string&) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::setEventCallback(int32_t,
                                                         const std::shared_ptr<IEventCallback>&,
                                                         int32_t*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::setTimestamps(int32_t, int64_t) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::setRequstCompleted(int64_t) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::setGalleryEventCallback(
        int32_t, const std::shared_ptr<IEventCallback>&, int32_t*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::getGalleryAvailability(int32_t, int32_t*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::getStorageLoadCompletedStatus(int32_t, int32_t*) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::setRequstCompletedImageName(const std::string&) {
    return internal::unknownTransactionStatus();
}
::ndk::UniqueAStatus IBGServiceDefault::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::defaultInterfaceVersion(_aidl_return);
}
::ndk::UniqueAStatus IBGServiceDefault::getInterfaceHash(std::string* _aidl_return) {
    return internal::defaultInterfaceHash(_aidl_return);
}
::ndk::SpAIBinder IBGServiceDefault::asBinder() { return ::ndk::SpAIBinder(); }
bool IBGServiceDefault::isRemote() { return false; }

// ---------------------------------------------------------------------------
// BpBGService: each method is the proxy call sequence with its code.

BpBGService::BpBGService(const ::ndk::SpAIBinder& binder) : BpCInterface(binder) {}
BpBGService::~BpBGService() {}

::ndk::UniqueAStatus BpBGService::setCapabilities(const std::string& capabilities) {
    return internal::proxyCall<&IBGService::setCapabilities>(
            remoteBinder(), TRANSACTION_setCapabilities, nullptr, capabilities);
}
::ndk::UniqueAStatus BpBGService::setEventCallback(int32_t value,
                                                   const std::shared_ptr<IEventCallback>& callback,
                                                   int32_t* _aidl_return) {
    return internal::proxyCall<&IBGService::setEventCallback>(
            remoteBinder(), TRANSACTION_setEventCallback, nullptr, value, callback, _aidl_return);
}
::ndk::UniqueAStatus BpBGService::setTimestamps(int32_t value, int64_t timestamp) {
    return internal::proxyCall<&IBGService::setTimestamps>(
            remoteBinder(), TRANSACTION_setTimestamps, nullptr, value, timestamp);
}
::ndk::UniqueAStatus BpBGService::setRequstCompleted(int64_t value) {
    return internal::proxyCall<&IBGService::setRequstCompleted>(
            remoteBinder(), TRANSACTION_setRequstCompleted, nullptr, value);
}
::ndk::UniqueAStatus BpBGService::setGalleryEventCallback(
        int32_t value, const std::shared_ptr<IEventCallback>& callback, int32_t* _aidl_return) {
    return internal::proxyCall<&IBGService::setGalleryEventCallback>(
            remoteBinder(), TRANSACTION_setGalleryEventCallback, nullptr, value, callback,
            _aidl_return);
}
::ndk::UniqueAStatus BpBGService::getGalleryAvailability(int32_t value, int32_t* _aidl_return) {
    return internal::proxyCall<&IBGService::getGalleryAvailability>(
            remoteBinder(), TRANSACTION_getGalleryAvailability, nullptr, value, _aidl_return);
}
::ndk::UniqueAStatus BpBGService::getStorageLoadCompletedStatus(int32_t value,
                                                                int32_t* _aidl_return) {
    return internal::proxyCall<&IBGService::getStorageLoadCompletedStatus>(
            remoteBinder(), TRANSACTION_getStorageLoadCompletedStatus, nullptr, value,
            _aidl_return);
}
::ndk::UniqueAStatus BpBGService::setRequstCompletedImageName(const std::string& imageName) {
    return internal::proxyCall<&IBGService::setRequstCompletedImageName>(
            remoteBinder(), TRANSACTION_setRequstCompletedImageName, nullptr, imageName);
}
::ndk::UniqueAStatus BpBGService::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::proxyGetInterfaceVersion<&IBGService::getInterfaceVersion>(*this,
                                                                               _aidl_return);
}
::ndk::UniqueAStatus BpBGService::getInterfaceHash(std::string* _aidl_return) {
    return internal::proxyGetInterfaceHash<&IBGService::getInterfaceHash>(*this, _aidl_return);
}

// ---------------------------------------------------------------------------
// BnBGService

BnBGService::BnBGService() {}
BnBGService::~BnBGService() {}

::ndk::UniqueAStatus BnBGService::getInterfaceVersion(int32_t* _aidl_return) {
    return internal::stubInterfaceVersion<IBGService>(_aidl_return);
}
::ndk::UniqueAStatus BnBGService::getInterfaceHash(std::string* _aidl_return) {
    return internal::stubInterfaceHash<IBGService>(_aidl_return);
}
::ndk::SpAIBinder BnBGService::createBinder() {
    return internal::createStubBinder(bgServiceClass, static_cast<::ndk::ICInterface*>(this));
}

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice
