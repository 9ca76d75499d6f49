/*
 * bgservice_demo: runs the example client session against ExampleBGService in
 * one process and prints the transcript. The client talks to a BpBGService
 * proxy over the service's binder, so every call takes the whole wire path:
 * proxy -> parcel -> runtime -> stub transaction function -> ExampleBGService.
 *
 * Exit status 0 exactly when every call and event came out as expected, so
 * the demo doubles as a smoke test.
 */
#include "client/ClientSession.h"
#include "service/ExampleBGService.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/BpBGService.h>

#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::BpBGService;
using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;
using bgs::examples::TranscriptEntry;

int usage(std::ostream& out, int status) {
    out << "usage: bgservice_demo [--quiet]\n"
           "  Runs an example client session against the example service in one process\n"
           "  and prints a line per call and per event.\n"
           "  --quiet  print only the summary line\n";
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return usage(std::cout, 0);
        } else {
            std::cerr << "bgservice_demo: unknown option '" << argv[i] << "'\n";
            return usage(std::cerr, 2);
        }
    }
    auto print = [quiet](const std::string& line) {
        if (!quiet) {
            std::cout << line << '\n';
        }
    };

    // The service logs what it does during a call; those lines are shown
    // right under the line of the call that caused them. Its event threads
    // may log too, hence the lock.
    std::mutex notesMutex;
    std::vector<std::string> serviceNotes;
    auto service = ::ndk::SharedRefBase::makeRef<bgs::examples::ExampleBGService>(
            [&](bgs::examples::LogLevel level, const std::string& line) {
                std::lock_guard<std::mutex> lock(notesMutex);
                serviceNotes.push_back(std::string(bgs::examples::logLevelName(level)) + ": " + line);
            });

    ::ndk::SpAIBinder binder = service->asBinder();
    std::shared_ptr<IBGService> proxy = ::ndk::SharedRefBase::makeRef<BpBGService>(binder);
    const bool fromBinderIsLocal = IBGService::fromBinder(binder) == service;

    print("bgservice_demo: one client session against ExampleBGService, in one process.");
    print("The client calls through a BpBGService proxy over the service's binder: each call");
    print("is parceled, carried by the runtime, decoded by the stub and run by the service.");
    print(std::string("(IBGService::fromBinder on that binder gives ") +
          (fromBinderIsLocal ? "the service object itself, which would skip the wire.)"
                             : "a proxy as well.)"));
    print("Lines: call number, method(arguments), returned status -> results; under a call");
    print("the events it caused (callback <- method, data, the callback's answer) and notes");
    print("the service logged. The service queues events and calls them from a thread of");
    print("its own per callback; the client waits for those it expects after each call.");
    print("");

    auto sink = [&](const TranscriptEntry& entry) {
        print(bgs::examples::formatTranscriptLine(entry));
        if (entry.kind == TranscriptEntry::Kind::kCall) {
            std::vector<std::string> notes;
            {
                std::lock_guard<std::mutex> lock(notesMutex);
                notes.swap(serviceNotes);
            }
            for (const std::string& note : notes) {
                print(bgs::examples::formatTranscriptLine(TranscriptEntry::note(note)));
            }
        }
    };
    const bgs::examples::SessionSummary summary = bgs::examples::runClientSession(proxy, sink);

    print("");
    std::cout << bgs::examples::formatSummary("demo", summary) << '\n';
    for (const std::string& problem : summary.problems) {
        std::cerr << "demo: unexpected: " << problem << '\n';
    }
    return summary.allAsExpected() ? 0 : 1;
}
