/*
 * BpBGService: the client side of IBGService, a proxy that sends every call
 * as one two-way transaction over the binder it holds, whether the object
 * behind that binder is in another process or in this one (isRemote() tells
 * which). IBGService::fromBinder gives this process's own object instead of
 * a proxy when it can; a BpBGService made over a local binder still
 * transacts. Any number of threads may call one proxy at once.
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
    // Answered from the caches once a query to the serving object has succeeded.
    ::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return) override;

    // The serving object's version, -1 until known.
    std::atomic<int32_t> cachedVersion = -1;
    // The serving object's hash, "-1" until known; guarded by cachedHashMutex.
    std::string cachedHash = "-1";
    std::mutex cachedHashMutex;
};

}  // namespace aidl::vendor::tolvek::hardware::aidlbgservice

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPBGSERVICE_H
