/*
 * IEventCallback: the interface through which the service reports events back
 * to a client. A client implements it by deriving from BnEventCallback and
 * hands the object to the service in IBGService::setEventCallback or
 * setGalleryEventCallback; the service calls it through BpEventCallback.
 *
 * Every method is a synchronous two-way call returning a status and, through
 * its last parameter, a string that is written only on success.
 * Implementations are called on the runtime's binder threads, several at once,
 * and must accept concurrent calls.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IEVENTCALLBACK_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IEVENTCALLBACK_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_interface_utils.h>

#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackData.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/CallbackInfo.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/export.h>

#include <cstdint>
#include <memory>
#include <string>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT IEventCallback : public ::ndk::ICInterface {
  public:
    // "vendor.tolvek.hardware.aidlbgservice.IEventCallback"
    static const char* descriptor;
    static inline const int32_t version = 1;
    static inline const std::string hash = "47adb550fc6511f9d2e7e89d485edf4b45f48fae";

    static constexpr uint32_t TRANSACTION_notifyCallback = FIRST_CALL_TRANSACTION + 0;
    static constexpr uint32_t TRANSACTION_notifySnapshotAvailability = FIRST_CALL_TRANSACTION + 1;
    static constexpr uint32_t TRANSACTION_notifyCallbackInfo = FIRST_CALL_TRANSACTION + 2;
    static constexpr uint32_t TRANSACTION_onCaptureCompleted = FIRST_CALL_TRANSACTION + 3;
    static constexpr uint32_t TRANSACTION_onCaptureFailed = FIRST_CALL_TRANSACTION + 4;
    static constexpr uint32_t TRANSACTION_getInterfaceHash = 16777214;
    static constexpr uint32_t TRANSACTION_getInterfaceVersion = 16777215;

    IEventCallback();
    virtual ~IEventCallback();

    /*
     * The object behind a binder: the local object itself for a binder of
     * this process's IEventCallback class, a new BpEventCallback for a binder
     * that serves this descriptor, empty otherwise (null binder included).
     */
    static std::shared_ptr<IEventCallback> fromBinder(const ::ndk::SpAIBinder& binder);

    // Writes the reference as one strong binder (null for an empty one, or
    // for an object without a binder); returns the runtime's write status.
    static binder_status_t writeToParcel(AParcel* parcel,
                                         const std::shared_ptr<IEventCallback>& instance);

    // Reads one strong binder and converts it with fromBinder. On a failed
    // read returns its status and leaves *instance as it was.
    static binder_status_t readFromParcel(const AParcel* parcel,
                                          std::shared_ptr<IEventCallback>* instance);

    /*
     * Installs the object that proxies fall back to when the other side does
     * not have a method. Refuses (false) an empty reference. Safe to call
     * while other threads make calls that fall back: the proxies read the
     * installed reference with std::atomic_load and keep the object alive
     * for the length of the call, and this stores it with std::atomic_store.
     */
    static bool setDefaultImpl(const std::shared_ptr<IEventCallback>& impl);

    /*
     * The installed object (empty when none is). The reference names the
     * slot itself, not a copy: copying it, or calling through it, while
     * another thread may call setDefaultImpl is a data race, and the object
     * may be released under the caller. Such a caller takes its own copy
     * with std::atomic_load(&getDefaultImpl()), as the proxies do.
     */
    static const std::shared_ptr<IEventCallback>& getDefaultImpl();

    virtual ::ndk::UniqueAStatus notifyCallback(const CallbackData& data,
                                                std::string* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus notifySnapshotAvailability(int32_t value,
                                                            std::string* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus notifyCallbackInfo(const CallbackInfo& info,
                                                    std::string* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value,
                                                    const std::string& second,
                                                    std::string* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus onCaptureFailed(const std::string& first, int32_t value,
                                                 const std::string& second,
                                                 std::string* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) = 0;

  private:
    static std::shared_ptr<IEventCallback> default_impl;
};

/*
 * Fallback with fixed answers: every event method reports
 * STATUS_UNKNOWN_TRANSACTION and leaves its result untouched; the version is
 * 0 and the hash empty, both with an OK status; it has no binder.
 */
class AIDL_BGSERVICE_EXPORT IEventCallbackDefault : public IEventCallback {
  public:
    ::ndk::UniqueAStatus notifyCallback(const CallbackData& data,
                                        std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifySnapshotAvailability(int32_t value,
                                                    std::string* _aidl_return) override;
    ::ndk::UniqueAStatus notifyCallbackInfo(const CallbackInfo& info,
                                            std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value,
                                            const std::string& second,
                                            std::string* _aidl_return) override;
    ::ndk::UniqueAStatus onCaptureFailed(const std::string& first, int32_t value,
                                         const std::string& second,
                                         std::string* _aidl_return) override;
    ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) override;
    ::ndk::SpAIBinder asBinder() override;
    bool isRemote() override;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IEVENTCALLBACK_H
