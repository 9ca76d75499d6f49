/*
 * bgservice: the example service daemon. Publishes an ExampleBGService under
 * a name in the registry, serves it on the thread pool until SIGTERM or
 * SIGINT, then withdraws the name and leaves with status 0.
 *
 * What the service does for clients of other processes (death watch of their
 * callbacks, dump, shell commands) is ExampleBGService's; this program gives
 * it a name, threads and a log: one line per notable happening on stdout.
 *
 * Exit status: 0 after a clean stop, 1 when the name cannot be published
 * (or withdrawn), 2 for a bad command line.
 */
#include "service/ExampleBGService.h"

#include <android/binder_manager.h>
#include <android/binder_process.h>
#include <bgs/service_manager.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultName = "vendor.tolvek.hardware.aidlbgservice.IBGService/default";

int usage(std::ostream& out, int status) {
    out << "usage: bgservice [--name NAME]\n"
           "  Serves the example IBGService under NAME (default " << kDefaultName << ")\n"
           "  until SIGTERM or SIGINT.\n";
    return status;
}

// One line to `fd` in one write, so lines from several threads never mix.
void writeLine(int fd, const std::string& text) {
    const std::string line = "bgservice: " + text + "\n";
    (void)!::write(fd, line.data(), line.size());
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

// Runtime threads may still be serving a call: leave without running static
// destructors under them.
[[noreturn]] void leave(int status) {
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = kDefaultName;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return usage(std::cout, 0);
        } else {
            std::cerr << "bgservice: unknown option '" << argv[i] << "'\n";
            return usage(std::cerr, 2);
        }
    }

    // The signals are taken by this thread alone (sigwait), so every thread
    // the runtime starts inherits them blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A dump or shell reader that goes away must end that write, not the
    // daemon.
    std::signal(SIGPIPE, SIG_IGN);

    auto service = ::ndk::SharedRefBase::makeRef<bgs::examples::ExampleBGService>(
            [](const std::string& line) { writeLine(STDOUT_FILENO, line); });
    BgsRegistryReport report;
    if (BgsServiceManager_publish(service->asBinder().get(), name.c_str(), &report) != BGS_REGISTRY_OK) {
        writeLine(STDERR_FILENO, "cannot publish '" + name + "': " + publishFailure(report));
        leave(1);
    }
    ABinderProcess_startThreadPool();
    writeLine(STDOUT_FILENO, "serving " + name + " (pid " + std::to_string(getpid()) + ")");

    int signal = 0;
    sigwait(&stop, &signal);
    const binder_exception_t withdrawn = AServiceManager_removeService(name.c_str());
    if (withdrawn != EX_NONE) {
        writeLine(STDERR_FILENO, std::string(strsignal(signal)) + ", but could not withdraw " + name +
                                         ": " + AStatus_exceptionName(withdrawn));
        leave(1);
    }
    writeLine(STDOUT_FILENO, std::string(strsignal(signal)) + ", withdrew " + name);
    leave(0);
}
