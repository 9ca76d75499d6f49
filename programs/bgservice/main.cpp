/*
 * bgservice: the example service daemon. Publishes an ExampleBGService under
 * a name in the registry, serves it on the thread pool until SIGTERM or
 * SIGINT, then withdraws the name and leaves with status 0.
 *
 * What the service does for clients of other processes (event queues and
 * deadlines, death watch of their callbacks, dump, shell commands) is
 * ExampleBGService's; this program gives it a name, threads, limits and a
 * log. The log goes to stderr, one line per notable happening, each line
 * "bgservice: LEVEL: text" written whole in one write; stdout stays unused.
 *
 * Under a service manager (systemd's Type=notify, see bgservice.service) it
 * sends READY=1 once the name is published and STOPPING=1 when a stop signal
 * arrives.
 *
 * Exit status: 0 after a clean stop, 1 when the name cannot be published
 * (or withdrawn), 2 for a bad command line.
 */
#include "notify.h"
#include "service/ExampleBGService.h"

#include <android/binder_manager.h>
#include <android/binder_process.h>
#include <bgs/service_manager.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace {

using bgs::examples::LogLevel;

constexpr const char* kDefaultName = "vendor.tolvek.hardware.aidlbgservice.IBGService/default";

// One line to stderr in one write, so that lines of several threads never
// mix; lines below `gThreshold` are not written.
LogLevel gThreshold = LogLevel::kInfo;

void logLine(LogLevel level, const std::string& text) {
    if (static_cast<int>(level) > static_cast<int>(gThreshold)) {
        return;
    }
    const std::string line = std::string("bgservice: ") + bgs::examples::logLevelName(level) + ": " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

std::string usageText() {
    const bgs::examples::ExampleServiceOptions defaults;
    return std::string("usage: bgservice [OPTIONS]\n"
                       "  Serves the example IBGService until SIGTERM or SIGINT.\n"
                       "  --name NAME              the name to serve (default: $BGS_SERVICE, else\n"
                       "                           ") +
           kDefaultName +
           ")\n"
           "  --callback-timeout MS    deadline of each event call to a client (default " +
           std::to_string(defaults.callbackTimeout.count()) +
           ");\n"
           "                           a client that misses it is dropped\n"
           "  --queue-size N           events that may wait for one client (default " +
           std::to_string(defaults.eventQueueCapacity) +
           ");\n"
           "                           a client with more is dropped\n"
           "  --threads N              binder threads serving calls (default 15)\n"
           "  --log-level LEVEL        error, warning or info (default info); log lines go to\n"
           "                           stderr as 'bgservice: LEVEL: text'\n"
           "  --quiet                  the same as --log-level warning\n";
}

int usage(FILE* out, int status) {
    std::fputs(usageText().c_str(), out);
    return status;
}

// A whole number in [1, max], the whole text.
bool parseCount(const char* text, long long max, long long* value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || parsed < 1 || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

bool parseLevel(const char* text, LogLevel* level) {
    for (LogLevel candidate : {LogLevel::kError, LogLevel::kWarning, LogLevel::kInfo}) {
        if (std::strcmp(text, bgs::examples::logLevelName(candidate)) == 0) {
            *level = candidate;
            return true;
        }
    }
    return false;
}

// Why a publish failed, for people: the registry's own account of it.
std::string publishFailure(const BgsRegistryReport& report) {
    switch (report.outcome) {
        case BGS_REGISTRY_NAME_TAKEN:
            return std::string(report.message) + "; stop that process or choose another --name";
        case BGS_REGISTRY_UNUSABLE:
            return std::string("registry unusable: ") + report.message;
        case BGS_REGISTRY_PERMISSION_DENIED:
            return std::string("permission denied: ") + report.message;
        default:
            return report.message;
    }
}

void notify(const std::string& state) {
    const std::string failure = bgservice::notifyServiceManager(state);
    if (!failure.empty()) {
        logLine(LogLevel::kWarning, failure);
    }
}

// Runtime threads may still be serving a call: leave without running static
// destructors under them.
[[noreturn]] void leave(int status) {
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    const char* fromEnvironment = std::getenv("BGS_SERVICE");
    std::string name = fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : kDefaultName;
    bgs::examples::ExampleServiceOptions options;
    long long threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long long number = 0;
        if (option == "--help" || option == "-h") {
            return usage(stdout, 0);
        }
        if (option == "--quiet") {
            gThreshold = LogLevel::kWarning;
            continue;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "bgservice: error: %s\n",
                         option.rfind("--", 0) == 0 ? (option + " needs a value, or is unknown").c_str()
                                                    : ("unknown argument '" + option + "'").c_str());
            return usage(stderr, 2);
        }
        ++i;
        bool ok = true;
        if (option == "--name") {
            name = value;
        } else if (option == "--callback-timeout") {
            ok = parseCount(value, 3600 * 1000, &number);
            options.callbackTimeout = std::chrono::milliseconds(number);
        } else if (option == "--queue-size") {
            ok = parseCount(value, 1 << 20, &number);
            options.eventQueueCapacity = static_cast<size_t>(number);
        } else if (option == "--threads") {
            ok = parseCount(value, 1024, &threads);
        } else if (option == "--log-level") {
            ok = parseLevel(value, &gThreshold);
        } else {
            std::fprintf(stderr, "bgservice: error: unknown option '%s'\n", option.c_str());
            return usage(stderr, 2);
        }
        if (!ok) {
            std::fprintf(stderr, "bgservice: error: bad value '%s' for %s\n", value, option.c_str());
            return usage(stderr, 2);
        }
    }

    // The signals are taken by this thread alone (sigwait), so every thread
    // the runtime and the service start inherits them blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A dump or shell reader that goes away must end that write, not the
    // daemon.
    std::signal(SIGPIPE, SIG_IGN);

    if (threads > 0) {
        ABinderProcess_setThreadPoolMaxThreadCount(static_cast<uint32_t>(threads));
    }
    auto service = ::ndk::SharedRefBase::makeRef<bgs::examples::ExampleBGService>(logLine, options);
    BgsRegistryReport report;
    if (BgsServiceManager_publish(service->asBinder().get(), name.c_str(), &report) != BGS_REGISTRY_OK) {
        logLine(LogLevel::kError, "cannot publish '" + name + "': " + publishFailure(report));
        leave(1);
    }
    ABinderProcess_startThreadPool();
    logLine(LogLevel::kInfo, "serving " + name + " (pid " + std::to_string(getpid()) + ")");
    notify("READY=1\nMAINPID=" + std::to_string(getpid()));

    int signal = 0;
    sigwait(&stop, &signal);
    notify("STOPPING=1");
    const binder_exception_t withdrawn = AServiceManager_removeService(name.c_str());
    if (withdrawn != EX_NONE) {
        logLine(LogLevel::kError, std::string(strsignal(signal)) + ", but could not withdraw " + name + ": " +
                                          AStatus_exceptionName(withdrawn));
        leave(1);
    }
    logLine(LogLevel::kInfo, std::string(strsignal(signal)) + ", withdrew " + name);
    leave(0);
}
