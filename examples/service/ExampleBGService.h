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
 *
 * A callback of another process is watched for death from its registration
 * on: when that process ends, the registration is dropped (and logged), so a
 * long-running service does not keep calling clients that are gone.
 *
 * For people and tools, the service answers a dump (its state: callbacks and
 * the pid of the client that registered each, calls per method, pending
 * images, the gallery) and shell commands: `help`, `state`, and
 * `complete REQUEST [TIMESTAMP]`, which completes a request as
 * setTimestamps + setRequstCompleted would, so that its events reach the
 * registered client without another client calling.
 */
#ifndef BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
#define BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>

#include "common/ExampleErrors.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bgs::examples {

class ExampleBGService : public ::aidl::vendor::tolvek::hardware::aidlbgservice::BnBGService {
  public:
    using IEventCallback = ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;

    // Receives one line per notable service-side happening (registrations,
    // callbacks that failed). May be called from several threads at once,
    // never while the service holds its lock.
    using Logger = std::function<void(const std::string& line)>;

    explicit ExampleBGService(Logger logger = {});
    // Waits for a death notice that is running for one of its registrations.
    ~ExampleBGService() override;

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

    // Writes stateReport() to `fd`; the arguments are ignored.
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) override;
    // Runs one command (see the class comment); its answer goes to `out`,
    // complaints to `err`. STATUS_BAD_VALUE for an unknown or malformed
    // command or a refused request.
    binder_status_t handleShellCommand(int in, int out, int err, const char** argv,
                                       uint32_t argc) override;

    // The state as people read it, several lines. Each callback line reads
    // "<kind> callback: value V, registration #N, client pid P, ..." or
    // "<kind> callback: none".
    std::string stateReport();

  private:
    struct Registration;
    // The cookie of a death link: the registration it watches. The slot may
    // hold a newer registration by the time the notice runs; `number` tells.
    struct DeathWatch {
        ExampleBGService* service;
        Registration* slot;
        int32_t number;
    };
    // One registered client callback, the value it registered with, and who
    // registered it. Members are destroyed recipient first: deleting it
    // unlinks and waits for a notice in progress, which still reads `watch`.
    // So a Registration is only ever destroyed outside mMutex.
    struct Registration {
        int32_t value = 0;
        int32_t number = 0;  // 1, 2, ...; 0 for an empty slot
        pid_t clientPid = 0;
        std::shared_ptr<IEventCallback> callback;
        std::unique_ptr<DeathWatch> watch;                    // set for a remote callback
        ::ndk::ScopedAIBinder_DeathRecipient deathRecipient;  // linked to its binder
    };
    // The methods, for counting calls.
    enum Method : size_t {
        kSetCapabilities,
        kSetEventCallback,
        kSetTimestamps,
        kSetRequstCompleted,
        kSetGalleryEventCallback,
        kGetGalleryAvailability,
        kGetStorageLoadCompletedStatus,
        kSetRequstCompletedImageName,
        kMethodCount
    };
    // What completing a request did, for the shell command's answer.
    struct Completion {
        std::string outcome;  // "image req5.jpg" or "capture failed: <reason>"
        size_t events = 0;    // events sent
        size_t delivered = 0; // events the client answered
    };
    // A request that completed with an image not yet saved to the gallery.
    struct PendingImage {
        int32_t request = 0;
        int64_t timestamp = 0;
    };
    // One call to make on a client callback once the lock is released.
    // `slot` and `number` name the registration the callback came from, so
    // that a client found dead can be forgotten (and a newer one kept).
    struct Delivery {
        Registration* slot;
        int32_t number;
        std::shared_ptr<IEventCallback> callback;
        const char* method;
        std::function<::ndk::UniqueAStatus(IEventCallback&, std::string*)> call;
    };

    ::ndk::UniqueAStatus registerCallback(Registration* slot, int32_t value,
                                          const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return);
    // A request number as setRequstCompleted takes it (64 bits) narrowed to
    // the 32 bits requests have, or the refusal.
    static ::ndk::UniqueAStatus checkRequest(int64_t value, int32_t* request);
    // The bodies of setTimestamps and setRequstCompleted, shared with the
    // shell command; they do not count as calls.
    ::ndk::UniqueAStatus recordTimestamp(int32_t value, int64_t timestamp);
    ::ndk::UniqueAStatus completeRequest(int64_t value, Completion* completion);
    // The events of `deliveries` in order; returns how many were answered.
    size_t deliver(std::vector<Delivery> deliveries);
    // Empties `slot` if it still holds registration `number`, and logs why.
    void drop(Registration* slot, int32_t number, const std::string& why);
    static void onClientDied(void* cookie);
    const char* kindOf(const Registration* slot) const;
    void count(Method method) { mCalls[method].fetch_add(1, std::memory_order_relaxed); }
    void log(const std::string& line) const;

    const Logger mLogger;

    // Everything below but mCalls is guarded by mMutex.
    std::mutex mMutex;
    std::string mCapabilities;
    std::map<int32_t, int64_t> mTimestamps;  // request -> capture time
    std::map<std::string, PendingImage> mPendingImages;
    std::set<std::string> mGallery;          // saved image names
    Registration mEvents;
    Registration mGalleryEvents;
    int32_t mRegistrations = 0;
    int32_t mCompletedRequests = 0;

    std::array<std::atomic<uint64_t>, kMethodCount> mCalls{};  // calls received per method
};

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
