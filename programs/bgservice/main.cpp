/*
 * bgservice: the example service daemon. Publishes an ExampleBGService under
 * a name in the registry, serves it on the thread pool until SIGTERM or
 * SIGINT, then withdraws the name and leaves.
 */
#include "service/ExampleBGService.h"

#include <android/binder_manager.h>
#include <android/binder_process.h>

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

    auto service = ::ndk::SharedRefBase::makeRef<bgs::examples::ExampleBGService>(
            [](const std::string& line) { std::cout << "bgservice: " << line << std::endl; });
    const binder_exception_t published = AServiceManager_addService(service->asBinder().get(), name.c_str());
    if (published != EX_NONE) {
        std::cerr << "bgservice: cannot publish '" << name << "': " << AStatus_exceptionName(published) << '\n';
        return 1;
    }
    ABinderProcess_startThreadPool();
    std::cout << "bgservice: serving " << name << " (pid " << getpid() << ")" << std::endl;

    int signal = 0;
    sigwait(&stop, &signal);
    AServiceManager_removeService(name.c_str());
    std::cout << "bgservice: " << strsignal(signal) << ", withdrew " << name << std::endl;
    // Runtime threads may still be serving a call: leave without running
    // static destructors under them.
    std::fflush(nullptr);
    _exit(0);
}
