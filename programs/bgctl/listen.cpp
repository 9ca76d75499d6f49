/*
 * bgctl listen: registers an IEventCallback with the service and prints
 * every event it receives, one flushed line each, until SIGINT or SIGTERM;
 * then it unregisters and leaves.
 *
 * The stop signals are blocked in every thread (the runtime's threads
 * inherit the mask of the thread that starts them, so they are blocked
 * before the first look-up) and read from a signalfd by the main thread,
 * which also watches an eventfd raised when the look-up ends and when the
 * service dies.
 */
#include "commands.h"

#include "methods.h"
#include "output.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BnEventCallback.h>

#include <android/binder_process.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>
#include <utility>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace bgctl {

namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BnEventCallback;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackInfo;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;
using ::ndk::UniqueAStatus;

using Registrar = UniqueAStatus (IBGService::*)(int32_t, const std::shared_ptr<IEventCallback>&, int32_t*);

// Prints each event as "method(arguments)" or, with --json, as
// {"event":"method","args":{"name":value,...}}. Events arrive on the
// runtime's threads, several at once; each line is printed whole.
class EventPrinter : public BnEventCallback {
  public:
    explicit EventPrinter(bool json) : mJson(json) {}

    UniqueAStatus notifyCallback(const CallbackData& data, std::string* _aidl_return) override {
        return report("notifyCallback", {{"data", show(data)}}, _aidl_return);
    }
    UniqueAStatus notifySnapshotAvailability(int32_t value, std::string* _aidl_return) override {
        return report("notifySnapshotAvailability", {{"value", show(value)}}, _aidl_return);
    }
    UniqueAStatus notifyCallbackInfo(const CallbackInfo& info, std::string* _aidl_return) override {
        return report("notifyCallbackInfo", {{"info", show(info)}}, _aidl_return);
    }
    UniqueAStatus onCaptureCompleted(const std::string& first, int32_t value, const std::string& second,
                                     std::string* _aidl_return) override {
        return report("onCaptureCompleted", {{"first", show(first)}, {"value", show(value)}, {"second", show(second)}},
                      _aidl_return);
    }
    UniqueAStatus onCaptureFailed(const std::string& first, int32_t value, const std::string& second,
                                  std::string* _aidl_return) override {
        return report("onCaptureFailed", {{"first", show(first)}, {"value", show(value)}, {"second", show(second)}},
                      _aidl_return);
    }

    int events() const { return mEvents.load(); }

  private:
    UniqueAStatus report(const char* method, const std::vector<std::pair<const char*, Shown>>& args,
                         std::string* answer) {
        const int number = ++mEvents;
        if (mJson) {
            JsonObject fields;
            for (const auto& [name, value] : args) {
                fields.addJson(name, value.json);
            }
            printLine(JsonObject().add("event", method).addJson("args", fields.str()).str());
        } else {
            std::string line = std::string(method) + "(";
            for (size_t i = 0; i < args.size(); ++i) {
                line += (i == 0 ? "" : ", ") + args[i].second.text;
            }
            printLine(line + ")");
        }
        *answer = std::string("bgctl got ") + method + " #" + std::to_string(number);
        return UniqueAStatus::ok();
    }

    const bool mJson;
    std::atomic<int> mEvents{0};
};

// Waits for a stop signal, and returns its number, or for the eventfd to be
// raised, and returns 0.
int waitForSignalOr(int signalFd, int eventFd) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {eventFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                return static_cast<int>(info.ssi_signo);
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!read(eventFd, &count, sizeof count);
            return 0;
        }
    }
}

void wake(int eventFd) {
    const uint64_t one = 1;
    (void)!write(eventFd, &one, sizeof one);
}

// Says why a registration or unregistration failed; the exit status.
int failedRequest(const Options& options, const std::string& what, const UniqueAStatus& status) {
    if (isTimedOut(status)) {
        return timedOut(options, what);
    }
    printError(what + ": " + status.getDescription());
    return kExitFailedStatus;
}

// Runtime threads may still be delivering an event: leave without running
// static destructors under them.
[[noreturn]] void leave(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int stopSignalFd() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

int runListen(const Options& options) {
    if (!options.args.empty()) {
        return usageError("listen takes no arguments", "listen");
    }
    const int signalFd = stopSignalFd();
    const int eventFd = eventfd(0, EFD_CLOEXEC);
    if (signalFd < 0 || eventFd < 0) {
        printError(std::string("listen: ") + std::strerror(errno));
        return kExitFailedStatus;
    }

    // The look-up runs on its own thread so that a stop signal ends a long
    // --wait at once.
    ::ndk::SpAIBinder binder;
    int exitStatus = kExitOk;
    std::thread lookUp([&] {
        binder = lookUpFor(options, "listen", &exitStatus);
        wake(eventFd);
    });
    if (const int signal = waitForSignalOr(signalFd, eventFd); signal != 0) {
        printError(std::string("listen: ") + strsignal(signal) + " before the service was found");
        leave(kExitNoService);
    }
    lookUp.join();
    if (binder.get() == nullptr) {
        return exitStatus;
    }
    const std::shared_ptr<IBGService> service = asBGService(options, binder);
    if (service == nullptr) {
        return kExitNoService;
    }

    // The service's death wakes the main thread like a signal would. The
    // cookie carries the eventfd's number itself.
    ::ndk::ScopedAIBinder_DeathRecipient recipient(AIBinder_DeathRecipient_new(
            [](void* cookie) { wake(static_cast<int>(reinterpret_cast<intptr_t>(cookie))); }));
    AIBinder_linkToDeath(binder.get(), recipient.get(), reinterpret_cast<void*>(static_cast<intptr_t>(eventFd)));

    ABinderProcess_startThreadPool();
    const Registrar registrar = options.gallery ? &IBGService::setGalleryEventCallback : &IBGService::setEventCallback;
    const char* registrarName = options.gallery ? "setGalleryEventCallback" : "setEventCallback";
    const auto printer = ::ndk::SharedRefBase::makeRef<EventPrinter>(options.json);
    int32_t registration = 0;
    // Registration and unregistration are requests like any other: bounded
    // by --timeout. Events arrive on pool threads, which have no deadline.
    const auto deadline = callDeadline(options);
    UniqueAStatus status = ((*service).*registrar)(options.value, printer, &registration);
    if (!status.isOk()) {
        leave(failedRequest(options, registrarName, status));
    }
    const std::string registered = std::string(registrarName) + "(" + std::to_string(options.value) + ")";
    printLine(options.json ? JsonObject()
                                     .add("listening", registrarName)
                                     .add("service", options.service)
                                     .add("value", options.value)
                                     .add("registration", registration)
                                     .str()
                           : "listening: " + registered + " registered as #" + std::to_string(registration) +
                                     " with " + options.service);

    const int signal = waitForSignalOr(signalFd, eventFd);
    const std::string events =
            std::to_string(printer->events()) + (printer->events() == 1 ? " event" : " events");
    if (signal == 0) {
        if (options.json) {
            printLine(JsonObject().add("died", options.service).add("events", printer->events()).str());
        }
        printError("listen: the service died after " + events);
        leave(kExitFailedStatus);
    }
    int32_t unregistered = 0;
    status = ((*service).*registrar)(options.value, nullptr, &unregistered);
    printLine(options.json ? JsonObject()
                                     .add("stopped", strsignal(signal))
                                     .add("events", printer->events())
                                     .add("unregistered", status.isOk())
                                     .str()
                           : "stopped: " + std::string(strsignal(signal)) + " after " + events + "; " +
                                     registrarName + "(" + std::to_string(options.value) +
                                     ", null): " + status.getDescription());
    if (!status.isOk()) {
        leave(failedRequest(options, std::string(registrarName) + "(null)", status));
    }
    leave(kExitOk);
}

}  // namespace bgctl
