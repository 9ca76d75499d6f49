/*
 * ExampleBGService: a small, complete IBGService implementation to start
 * from. It models a background capture service:
 *
 *   setCapabilities(csv)          the client says what it supports
 *   setEventCallback(id, cb)      cb receives capture events
 *   setGalleryEventCallback(id, cb)  cb receives gallery events
 *   setTimestamps(request, ts)    the capture time of a request
 *   setRequstCompleted(request)   the request is done: with a timestamp it
 *                                 produces an image ("req<N>.jpg"), without
 *                                 one the capture has failed
 *   setRequstCompletedImageName(name)  the image is saved to the gallery
 *   getGalleryAvailability(id)    snapshots saved in gallery `id`
 *   getStorageLoadCompletedStatus(id)  1 once storage is ready, else 0
 *
 * and reports back through the registered callbacks (see the .cpp for which
 * event goes where). It knows nothing about where its callers are: the same
 * class serves a client in this process or, behind a runtime that carries
 * transactions between processes, one in another.
 */
#ifndef BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
#define BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>

#include "common/ExampleErrors.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace bgs::examples {

class ExampleBGService : public ::aidl::vendor::tolvek::hardware::aidlbgservice::BnBGService {
  public:
    using IEventCallback = ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;

    // Receives one line per notable service-side happening (registrations,
    // callbacks that failed). May be called from several threads at once,
    // never while the service holds its lock.
    using Logger = std::function<void(const std::string& line)>;

    explicit ExampleBGService(Logger logger = {});

    ::ndk::UniqueAStatus setCapabilities(const std::string& capabilities) override;
    // Registers `callback` for capture events under the client's `value`,
    // replacing an earlier one; a null callback unregisters. Returns the
    // registration's number (1, 2, ...), or 0 for an unregistration.
    ::ndk::UniqueAStatus setEventCallback(int32_t value,
                                          const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) override;
    ::ndk::UniqueAStatus setRequstCompleted(int64_t value) override;
    // As setEventCallback, for gallery events; `value` is the gallery id.
    ::ndk::UniqueAStatus setGalleryEventCallback(int32_t value,
                                                 const std::shared_ptr<IEventCallback>& callback,
                                                 int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getGalleryAvailability(int32_t value, int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus getStorageLoadCompletedStatus(int32_t value,
                                                       int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus setRequstCompletedImageName(const std::string& imageName) override;

  private:
    // One registered client callback and the value it registered with.
    struct Registration {
        int32_t value = 0;
        std::shared_ptr<IEventCallback> callback;
    };
    // A request that completed with an image not yet saved to the gallery.
    struct PendingImage {
        int32_t request = 0;
        int64_t timestamp = 0;
    };
    // One call to make on a client callback once the lock is released.
    // `slot` is the registration the callback came from, so that a client
    // found dead can be forgotten.
    struct Delivery {
        Registration* slot;
        std::shared_ptr<IEventCallback> callback;
        const char* method;
        std::function<::ndk::UniqueAStatus(IEventCallback&, std::string*)> call;
    };

    ::ndk::UniqueAStatus registerCallback(Registration* slot, const char* what,
                                          int32_t value,
                                          const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return);
    void deliver(std::vector<Delivery> deliveries);
    void log(const std::string& line) const;

    const Logger mLogger;

    // Everything below is guarded by mMutex.
    std::mutex mMutex;
    std::string mCapabilities;
    std::map<int32_t, int64_t> mTimestamps;  // request -> capture time
    std::map<std::string, PendingImage> mPendingImages;
    std::set<std::string> mGallery;          // saved image names
    Registration mEvents;
    Registration mGalleryEvents;
    int32_t mRegistrations = 0;
    int32_t mCompletedRequests = 0;
};

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
