/*
 * BpBGService: the client side of IBGService over a remote binder. Every
 * method is one two-way transaction; any number of threads may call one
 * proxy at once.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPBGSERVICE_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPBGSERVICE_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <atomic>
#include <mutex>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT BpBGService : public ::ndk::BpCInterface<IBGService> {
  public:
    explicit BpBGService(const ::ndk::SpAIBinder& binder);
    virtual ~BpBGService();

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
    // Answered from the caches once a query to the remote side has succeeded.
    ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) override;

    // The remote side's version, -1 until known.
    std::atomic<int32_t> cachedVersion = -1;
    // The remote side's hash, "-1" until known; guarded by cachedHashMutex.
    std::string cachedHash = "-1";
    std::mutex cachedHashMutex;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPBGSERVICE_H
