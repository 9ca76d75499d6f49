/*
 * skeleton_service: the smallest complete IBGService daemon, the one
 * docs/service-guide.md walks through. Copy this file to start your own.
 *
 * What every daemon of this runtime needs, and this one does:
 *   - stop signals blocked before the first thread starts, and taken by the
 *     main thread alone (sigwait);
 *   - the name published, then the thread pool started, then READY=1 to the
 *     service manager (Type=notify) when it asked for it;
 *   - callbacks of clients watched with bgs::ScopedDeathLink and dropped
 *     when their process dies;
 *   - every call to a client bounded by a deadline (bgs::ScopedCallTimeout),
 *     so that a stopped client cannot hold a pool thread;
 *   - on SIGTERM or SIGINT: the name withdrawn, then _exit, because pool
 *     threads may still be running calls on the objects that static and
 *     global destructors would destroy;
 *   - logs on stderr, one line each, "skeleton: LEVEL: text"; stdout unused.
 *
 * Usage: skeleton_service [--name NAME]   (default "bgs.skeleton/default")
 * Exit status: 0 after a clean stop, 1 when the name cannot be published or
 * withdrawn, 2 for a bad command line.
 */
#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnBGService.h>
#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <bgs/scoped_call_timeout.h>
#include <bgs/scoped_death_link.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BnBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
using ::ndk::UniqueAStatus;

// ---- Logging ----

// One line to stderr in one write, so that lines of several threads never
// mix: "skeleton: info: text".
void log(const char* level, const std::string& text) {
    const std::string line = std::string("skeleton: ") + level + ": " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

// ---- The service manager ----

// Sends `state` ("READY=1", "STOPPING=1") to the service manager when it
// started this process with Type=notify (NOTIFY_SOCKET set); else nothing.
void notifyServiceManager(const char* state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path) {
        log("warning", std::string("NOTIFY_SOCKET is not a socket path: ") + path);
        return;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract socket
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (fd < 0 || ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                           size) < 0) {
        log("warning", std::string("cannot tell the service manager ") + state + ": " + std::strerror(errno));
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

// ---- The service ----

// A client's call into this service runs on a pool thread; so does every
// death notice. Calls to a client leave this process's lock first: the
// client may call back in, and a slow client must not stall the others.
class SkeletonService : public BnBGService {
  public:
    // How long a client's callback may take before the service gives up.
    static constexpr std::chrono::milliseconds kCallbackTimeout{1000};

    UniqueAStatus setCapabilities(const std::string& capabilities) override {
        const std::lock_guard<std::mutex> lock(mMutex);
        mCapabilities = capabilities;
        log("info", "capabilities: " + capabilities);
        return UniqueAStatus::ok();
    }

    UniqueAStatus setEventCallback(int32_t /*value*/, const std::shared_ptr<IEventCallback>& callback,
                                   int32_t* _aidl_return) override {
        return replace(mEvents, callback, _aidl_return);
    }

    UniqueAStatus setGalleryEventCallback(int32_t /*value*/, const std::shared_ptr<IEventCallback>& callback,
                                          int32_t* _aidl_return) override {
        return replace(mGallery, callback, _aidl_return);
    }

    UniqueAStatus setTimestamps(int32_t value, int64_t timestamp) override {
        if (timestamp < 0) {
            return UniqueAStatus::fromExceptionCodeWithMessage(EX_ILLEGAL_ARGUMENT, "timestamp must not be negative");
        }
        const std::lock_guard<std::mutex> lock(mMutex);
        mTimestamps[value] = timestamp;
        return UniqueAStatus::ok();
    }

    // Tells the event callback, if any, that a snapshot of request `value`
    // is available.
    UniqueAStatus setRequstCompleted(int64_t value) override {
        std::shared_ptr<IEventCallback> callback;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            callback = mEvents.callback;
        }
        if (callback == nullptr) {
            return UniqueAStatus::ok();
        }
        std::string answer;
        UniqueAStatus status = [&] {
            const bgs::ScopedCallTimeout deadline(kCallbackTimeout);
            return callback->notifySnapshotAvailability(static_cast<int32_t>(value), &answer);
        }();
        if (!status.isOk()) {
            // The request itself succeeded; the client's trouble is logged.
            log("warning", "event callback: " + status.getDescription());
        }
        return UniqueAStatus::ok();
    }

    UniqueAStatus getGalleryAvailability(int32_t /*value*/, int32_t* _aidl_return) override {
        *_aidl_return = 0;
        return UniqueAStatus::ok();
    }

    UniqueAStatus getStorageLoadCompletedStatus(int32_t /*value*/, int32_t* _aidl_return) override {
        const std::lock_guard<std::mutex> lock(mMutex);
        *_aidl_return = mCapabilities.empty() ? 0 : 1;
        return UniqueAStatus::ok();
    }

    UniqueAStatus setRequstCompletedImageName(const std::string& imageName) override {
        // A refusal the interface leaves to the service: a code of its own
        // and a message, which reach the client as they are.
        return UniqueAStatus::fromServiceSpecificErrorWithMessage(
                1, ("the skeleton keeps no images: '" + imageName + "'").c_str());
    }

  private:
    // One registered callback and the watch on its process.
    struct Slot {
        std::shared_ptr<IEventCallback> callback;
        bgs::ScopedDeathLink link;
    };

    UniqueAStatus replace(Slot& slot, const std::shared_ptr<IEventCallback>& callback, int32_t* _aidl_return) {
        Slot fresh;
        if (callback != nullptr) {
            AIBinder* binder = callback->asBinder().get();
            // Runs on a runtime thread when the client's process dies.
            fresh.link = bgs::ScopedDeathLink(binder, [this, &slot, binder] { forget(slot, binder); });
            if (fresh.link.status() == STATUS_DEAD_OBJECT) {
                return UniqueAStatus::fromStatus(STATUS_DEAD_OBJECT);
            }
            fresh.callback = callback;  // a callback of this process cannot die apart from it
        }
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            std::swap(slot, fresh);
        }
        // The replaced link ends here, outside the lock: ending a link waits
        // for its notice if one is running, and the notice takes the lock.
        *_aidl_return = 0;
        return UniqueAStatus::ok();
    }

    void forget(Slot& slot, AIBinder* binder) {
        Slot gone;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            if (slot.callback == nullptr || slot.callback->asBinder().get() != binder) {
                return;  // replaced meanwhile
            }
            std::swap(slot, gone);
        }
        log("info", "a client's callback died; dropped");
    }  // `gone` ends its own link here, outside the lock: allowed from its notice

    std::mutex mMutex;
    std::string mCapabilities;
    std::map<int32_t, int64_t> mTimestamps;
    Slot mEvents;
    Slot mGallery;
};

// Pool threads may still be running calls: leave without running static
// destructors under them.
[[noreturn]] void leave(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "bgs.skeleton/default";
    if (argc == 3 && std::strcmp(argv[1], "--name") == 0) {
        name = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: skeleton_service [--name NAME]\n");
        return 2;
    }

    // Blocked before any thread exists, so every thread the runtime starts
    // inherits the mask, and only sigwait below takes these signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a dump reader that leaves must not end the daemon

    const auto service = ::ndk::SharedRefBase::makeRef<SkeletonService>();
    const binder_exception_t published = AServiceManager_addService(service->asBinder().get(), name.c_str());
    if (published != EX_NONE) {
        log("error", "cannot publish '" + name + "': " + AStatus_exceptionName(published));
        leave(1);
    }
    ABinderProcess_startThreadPool();
    log("info", "serving " + name);
    notifyServiceManager("READY=1");

    int signal = 0;
    sigwait(&stop, &signal);
    notifyServiceManager("STOPPING=1");
    // New clients cannot find the name any more; calls under way finish or
    // end with the process.
    if (AServiceManager_removeService(name.c_str()) != EX_NONE) {
        log("error", "cannot withdraw '" + name + "'");
        leave(1);
    }
    log("info", std::string(strsignal(signal)) + ", withdrew " + name);
    leave(0);
}
