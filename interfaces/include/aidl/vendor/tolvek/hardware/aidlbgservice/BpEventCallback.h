/*
 * BpEventCallback: the calling side of IEventCallback, a proxy that sends
 * every call as one two-way transaction over the binder it holds, whether the
 * object behind that binder is in another process or in this one (isRemote()
 * tells which). IEventCallback::fromBinder gives this process's own object
 * instead of a proxy when it can; a BpEventCallback made over a local binder
 * still transacts. Any number of threads may call one proxy at once.
 */
#ifndef AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPEVENTCALLBACK_H
#define AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPEVENTCALLBACK_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<aidl/vendor/tolvek/hardware/aidlbgservice/BpEventCallback.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <atomic>
#include <mutex>

namespace aidl::vendor::tolvek::hardware::aidlbgservice {

class AIDL_BGSERVICE_EXPORT BpEventCallback : public ::ndk::BpCInterface<IEventCallback> {
  public:
    explicit BpEventCallback(const ::ndk::SpAIBinder& binder);
    virtual ~BpEventCallback();

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

#endif  // AIDL_VENDOR_TOLVEK_HARDWARE_AIDLBGSERVICE_BPEVENTCALLBACK_H
