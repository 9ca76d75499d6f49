/*
 * IBGService: the service interface. A service implements it by deriving
 * from BnBGService and publishes the binder that asBinder() returns; clients
 * turn that binder into an IBGService with fromBinder and call it.
 *
 * Every method is one synchronous two-way call; results come back through
 * the last parameter and are written only on success. Implementations are
 * called on the runtime's binder threads, several at once, and must accept
 * concurrent calls.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IBGSERVICE_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IBGSERVICE_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_interface_utils.h>

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/export.h>

#include <cstdint>
#include <memory>
#include <string>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT IBGService : public ::ndk::ICInterface {
  public:
    // "vendor.tolvek.hardware.aidlbgservice.IBGService"
    static const char* descriptor;
    static inline const int32_t version = 1;
    static inline const std::string hash = "47adb550fc6511f9d2e7e89d485edf4b45f48fae";

    static constexpr uint32_t TRANSACTION_setCapabilities = FIRST_CALL_TRANSACTION + 0;
    static constexpr uint32_t TRANSACTION_setEventCallback = FIRST_CALL_TRANSACTION + 1;
    static constexpr uint32_t TRANSACTION_setTimestamps = FIRST_CALL_TRANSACTION + 2;
    static constexpr uint32_t TRANSACTION_setRequstCompleted = FIRST_CALL_TRANSACTION + 3;
    static constexpr uint32_t TRANSACTION_setGalleryEventCallback = FIRST_CALL_TRANSACTION + 4;
    static constexpr uint32_t TRANSACTION_getGalleryAvailability = FIRST_CALL_TRANSACTION + 5;
    static constexpr uint32_t TRANSACTION_getStorageLoadCompletedStatus =
            FIRST_CALL_TRANSACTION + 6;
    static constexpr uint32_t TRANSACTION_setRequstCompletedImageName = FIRST_CALL_TRANSACTION + 7;
    static constexpr uint32_t TRANSACTION_getInterfaceHash = 16777214;
    static constexpr uint32_t TRANSACTION_getInterfaceVersion = 16777215;

    IBGService();
    virtual ~IBGService();

    /*
     * The object behind a binder: the local object itself for a binder of
     * this process's IBGService class, a new BpBGService for a binder that
     * serves this descriptor, empty otherwise (null binder included).
     */
    static std::shared_ptr<IBGService> fromBinder(const ::ndk::SpAIBinder& binder);

    // Writes the reference as one strong binder (null for an empty one, or
    // for an object without a binder); returns the runtime's write status.
    static binder_status_t writeToParcel(AParcel* parcel,
                                         const std::shared_ptr<IBGService>& instance);

    // Reads one strong binder and converts it with fromBinder. On a failed
    // read returns its status and leaves *instance as it was.
    static binder_status_t readFromParcel(const AParcel* parcel,
                                          std::shared_ptr<IBGService>* instance);

    /*
     * Installs the object that proxies fall back to when the other side does
     * not have a method. Refuses (false) an empty reference. Safe to call
     * while other threads make calls that fall back: the proxies read the
     * installed reference with std::atomic_load and keep the object alive
     * for the length of the call, and this stores it with std::atomic_store.
     */
    static bool setDefaultImpl(const std::shared_ptr<IBGService>& impl);

    /*
     * The installed object (empty when none is). The reference names the
     * slot itself, not a copy: copying it, or calling through it, while
     * another thread may call setDefaultImpl is a data race, and the object
     * may be released under the caller. Such a caller takes its own copy
     * with std::atomic_load(&getDefaultImpl()), as the proxies do.
     */
    static const std::shared_ptr<IBGService>& getDefaultImpl();

    virtual ::ndk::UniqueAStatus setCapabilities(const std::string& capabilities) = 0;
    virtual ::ndk::UniqueAStatus setEventCallback(int32_t value,
                                                  const std::shared_ptr<IEventCallback>& callback,
                                                  int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) = 0;
    virtual ::ndk::UniqueAStatus setRequstCompleted(int64_t value) = 0;
    virtual ::ndk::UniqueAStatus setGalleryEventCallback(
            int32_t value, const std::shared_ptr<IEventCallback>& callback,
            int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus getGalleryAvailability(int32_t value, int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus getStorageLoadCompletedStatus(int32_t value,
                                                               int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus setRequstCompletedImageName(const std::string& imageName) = 0;
    virtual ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) = 0;
    virtual ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) = 0;

  private:
    static std::shared_ptr<IBGService> default_impl;
};

/*
 * Fallback with fixed answers: every method of codes 1 to 8 reports
 * STATUS_UNKNOWN_TRANSACTION and leaves its result untouched; the version is
 * 0 and the hash empty, both with an OK status; it has no binder.
 */
class AIDL_BGSERVICE_EXPORT IBGServiceDefault : public IBGService {
  public:
    ::ndk::UniqueAStatus setCapabilities(const std::string& capabilities) override;
    ::ndk::UniqueAStatus setEventCallback(int32_t value,
                                          const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) override;
    ::ndk::UniqueAStatus setRequstCompleted(int64_t value) override;
    ::ndk::UniqueAStatus setGalleryEventCallback(int32_t value,
                                                 const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getGalleryAvailability(int32_t value, int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getStorageLoadCompletedStatus(int32_t value,
                                                       int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setRequstCompletedImageName(const std::string& imageName) override;
    ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) override;
    ::ndk::SpAIBinder asBinder() override;
    bool isRemote() override;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_IBGSERVICE_H
