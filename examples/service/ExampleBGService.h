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
 * event goes where; examples/service/README.md for the whole behaviour). It
 * knows nothing about where its callers are: the same class serves a client
 * in this process or, behind a runtime that carries transactions between
 * processes, one in another.
 *
 * No client can stall the service or another client. Each registration has
 * its own bounded event queue and a worker thread that makes its calls in
 * order, each under a deadline (ClientQueue.h); a method that causes events
 * only queues them and returns. A client that misses a deadline, answers
 * that it is unreachable, or lets its queue fill up is dropped: its
 * registration is emptied, with one warning in the log. A callback of
 * another process is also watched for death from its registration on: when
 * that process ends, the registration is dropped at once.
 *
 * For people and tools, the service answers a dump (its state: callbacks and
 * the pid of the client that registered each, calls per method, pending
 * images, the gallery) and shell commands: `help`, `state`, and
 * `complete REQUEST [TIMESTAMP]`, which completes a request as
 * setTimestamps + setRequstCompleted would, so that its events reach the
 * registered client without another client calling. Their output goes to
 * the descriptors the caller passed, within a deadline (DeadlineWrite.h).
 */
#ifndef BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
#define BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>

#include "common/ExampleErrors.h"
#include "service/ClientQueue.h"

#include <chrono>

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

enum class LogLevel { kError, kWarning, kInfo };

// "error", "warning", "info".
const char* logLevelName(LogLevel level);

struct ExampleServiceOptions {
    // Events waiting for one client, the one in flight not counted; one more
    // drops the client.
    size_t eventQueueCapacity = 64;
    // The deadline of each event call to a client of another process.
    std::chrono::milliseconds callbackTimeout{2000};
    // The time a dump or shell command has to write all its output.
    std::chrono::milliseconds outputTimeout{2000};
};

class ExampleBGService : public ::aidl::vendor::tolvek::hardware::aidlbgservice::BnBGService {
  public:
    using IEventCallback = ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;

    // Receives one line (no newline) per notable service-side happening:
    // info for registrations and deaths, warning for dropped clients, failed
    // events and cut-off output. May be called from several threads at
    // once, never while the service holds its lock.
    using Logger = std::function<void(LogLevel level, const std::string& line)>;

    explicit ExampleBGService(Logger logger = {}, ExampleServiceOptions options = {});
    // Ends every worker (waiting at most for the call each has in flight)
    // and a death notice that is running for one of its registrations.
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

    // Writes stateReport() to `fd`; the arguments are ignored. STATUS_OK
    // when it was written or its reader went away; STATUS_TIMED_OUT when
    // the reader took not all of it within the output deadline (logged).
    // Never holds the service's lock while writing.
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) override;
    // Runs one command (see the class comment); its answer goes to `out`,
    // complaints to `err`. STATUS_BAD_VALUE for an unknown or malformed
    // command or a refused request; STATUS_TIMED_OUT when its output was
    // cut off at the deadline (the command itself has taken effect).
    binder_status_t handleShellCommand(int in, int out, int err, const char** argv,
                                       uint32_t argc) override;

    // Waits until every event queued so far to the current registrations
    // has been called (or its client dropped); false when `timeout` passed
    // first. For tests and orderly shutdowns; callers of the interface never
    // wait for events.
    bool waitForDeliveries(std::chrono::milliseconds timeout);

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
    // One registered client callback, the value it registered with, who
    // registered it, and the queue its events go through. Members are
    // destroyed recipient first: deleting it unlinks and waits for a notice
    // in progress, which still reads `watch`. So a Registration is only ever
    // destroyed outside mMutex, and only after vacate() took its queue.
    struct Registration {
        int32_t value = 0;
        int32_t number = 0;  // 1, 2, ...; 0 for an empty slot
        pid_t clientPid = 0;
        std::shared_ptr<IEventCallback> callback;
        std::shared_ptr<ClientQueue> queue;                   // set with the callback
        std::unique_ptr<DeathWatch> watch;                    // set for a remote callback
        ::ndk::ScopedAIBinder_DeathRecipient deathRecipient;  // linked to its binder
    };
    // A registration emptied under the lock, to log and end after it.
    struct Dropped {
        Registration registration;
        const char* kind;
        std::string why;
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
        bool registered = false;  // an event callback was registered
        size_t queued = 0;        // events queued for it
        bool dropped = false;     // its queue was full: it was dropped
    };
    // A request that completed with an image not yet saved to the gallery.
    struct PendingImage {
        int32_t request = 0;
        int64_t timestamp = 0;
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
    // Queues `event` for the client in `slot`, if any; a full queue drops
    // the client into `dropped`. Requires mMutex. True when queued.
    bool enqueue(Registration* slot, ClientQueue::Event event, std::vector<Dropped>* dropped);
    // Empties `slot` and returns what it held; its queue is closed and kept
    // in mRetired until its worker has left. Requires mMutex.
    Registration vacate(Registration* slot);
    // Logs and ends registrations dropped under the lock, then frees the
    // queues whose workers have left. Must not hold mMutex.
    void finishDrops(std::vector<Dropped> dropped, LogLevel level);
    void reapWorkers();
    // Empties `slot` if it still holds registration `number`, and logs why.
    void drop(Registration* slot, int32_t number, const std::string& why, LogLevel level);
    // A worker's report of a failed event call.
    void onEventFailed(Registration* slot, int32_t number, const char* method, const ::ndk::UniqueAStatus& status);
    static void onClientDied(void* cookie);
    const char* kindOf(const Registration* slot) const;
    void count(Method method) { mCalls[method].fetch_add(1, std::memory_order_relaxed); }
    void log(LogLevel level, const std::string& line) const;
    // Writes `text` within the output deadline; a cut is logged, naming `what`.
    bool writeOutput(int fd, const std::string& text, const char* what);

    const Logger mLogger;
    const ExampleServiceOptions mOptions;

    // Everything below but mCalls is guarded by mMutex.
    std::mutex mMutex;
    std::string mCapabilities;
    std::map<int32_t, int64_t> mTimestamps;  // request -> capture time
    std::map<std::string, PendingImage> mPendingImages;
    std::set<std::string> mGallery;          // saved image names
    Registration mEvents;
    Registration mGalleryEvents;
    // Queues of emptied registrations whose worker may still be in a call.
    std::vector<std::shared_ptr<ClientQueue>> mRetired;
    int32_t mRegistrations = 0;
    int32_t mCompletedRequests = 0;

    std::array<std::atomic<uint64_t>, kMethodCount> mCalls{};  // calls received per method
};

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_SERVICE_EXAMPLEBGSERVICE_H
