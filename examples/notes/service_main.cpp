/*
 * notes_service_v1, notes_service_v2: the notebook daemon, built against
 * version 1 or version 2 of example.notes. Publishes INotebook under its
 * name, serves until SIGTERM or SIGINT, then withdraws the name and leaves
 * with _exit (pool threads may still be running calls on the notebook).
 *
 * Usage: notes_service_vN [--name NAME]   (default "example.notes/default")
 * Logs on stderr, one line each: "notes: LEVEL: text"; the first is
 * "notes: info: serving NAME (version V)" once clients can find it.
 * Exit status: 0 after a clean stop, 1 when the name cannot be published or
 * withdrawn, 2 for a bad command line.
 */
#include "Notebook.h"

#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace {

[[noreturn]] void leave(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "example.notes/default";
    if (argc == 3 && std::strcmp(argv[1], "--name") == 0) {
        name = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--name NAME]\n", argv[0]);
        return 2;
    }

    // Blocked before the pool starts, so that only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    const auto notebook = ::ndk::SharedRefBase::makeRef<notes::Notebook>();
    const binder_exception_t published = AServiceManager_addService(notebook->asBinder().get(), name.c_str());
    if (published != EX_NONE) {
        notes::log("error", "cannot publish '" + name + "': " + AStatus_exceptionName(published));
        leave(1);
    }
    ABinderProcess_startThreadPool();
    notes::log("info", "serving " + name + " (version " + std::to_string(notes::Notebook::version) + ")");

    int signal = 0;
    sigwait(&stop, &signal);
    if (AServiceManager_removeService(name.c_str()) != EX_NONE) {
        notes::log("error", "cannot withdraw '" + name + "'");
        leave(1);
    }
    notes::log("info", std::string(strsignal(signal)) + ", withdrew " + name);
    leave(0);
}
