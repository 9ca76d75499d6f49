/*
 * notes_client_v1, notes_client_v2: a client of the notebook, built against
 * version 1 or version 2 of example.notes.
 *
 * Usage: notes_client_vN [--name NAME] [--wait MS] [--fallback] COMMAND
 *   tour          calls every version 1 method, with a watcher of its own
 *                 registered and told of each change (waiting up to 5 s for
 *                 the changes, which come one-way), and checks each answer;
 *                 prints one line per call. Leaves one note, "groceries",
 *                 behind.
 *   version       the service's version and hash, then this client's own
 *   watch         registers a watcher that prints "watching", then a line
 *                 per change ("changed #ID", "removed #ID") until SIGTERM or
 *                 SIGINT, when it unregisters and exits 0
 *   search TEXT   (version 2) the notes whose title or body contains TEXT
 * --name picks the service (default "example.notes/default"); --wait is how
 * long to wait for it to be published (default 5000 ms). --fallback
 * (version 2) installs a default implementation, so that search() against
 * a version 1 service filters listNotes() here instead of failing.
 * Every call has a deadline of 5 s.
 * Exit status: 0 success, 1 a call failed or answered unexpectedly (said on
 * stderr), 2 usage error, 3 the service cannot be found.
 */
#include <aidl/example/notes/BnNoteWatcher.h>
#include <aidl/example/notes/INotebook.h>

#include <android/binder_manager.h>
#include <android/binder_process.h>

#include <bgs/scoped_call_timeout.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

using ::aidl::example::notes::BnNoteWatcher;
using ::aidl::example::notes::INotebook;
using ::aidl::example::notes::Note;
using ::ndk::UniqueAStatus;

// Records every change it is told of, and prints it when `print`; called
// on a pool thread, one change at a time in the order sent.
class RecordingWatcher : public BnNoteWatcher {
  public:
    using Changes = std::vector<std::pair<int64_t, bool>>;

    explicit RecordingWatcher(bool print = false) : mPrint(print) {}
    UniqueAStatus noteChanged(int64_t id, bool removed) override {
        const std::lock_guard<std::mutex> lock(mMutex);
        mChanges.emplace_back(id, removed);
        if (mPrint) {
            std::printf("%s #%lld\n", removed ? "removed" : "changed", static_cast<long long>(id));
            std::fflush(stdout);
        }
        mArrived.notify_all();
        return UniqueAStatus::ok();
    }
    // The changes told so far, once there are at least `count` of them or
    // `patience` has passed, whichever is first. noteChanged is one-way: a
    // change arrives after the call that made it has returned.
    Changes changes(size_t count, std::chrono::milliseconds patience) {
        std::unique_lock<std::mutex> lock(mMutex);
        mArrived.wait_for(lock, patience, [&] { return mChanges.size() >= count; });
        return mChanges;
    }

  private:
    const bool mPrint;
    std::mutex mMutex;
    std::condition_variable mArrived;
    Changes mChanges;
};

// Counts the checks that failed; each is said on stderr as it fails.
class Checks {
  public:
    bool call(const char* what, const UniqueAStatus& status) {
        return expect(status.isOk(), std::string(what) + " failed: " + status.getDescription());
    }
    bool expect(bool ok, const std::string& what) {
        if (!ok) {
            std::fprintf(stderr, "notes_client: UNEXPECTED: %s\n", what.c_str());
            ++mFailed;
        }
        return ok;
    }
    int exitStatus() const { return mFailed == 0 ? 0 : 1; }

  private:
    int mFailed = 0;
};

// How long anything waits for the service: each call, and the watcher for
// the changes it is due.
constexpr std::chrono::milliseconds kPatience{5000};

std::string describe(const Note& note) {
    return "#" + std::to_string(note.id) + " \"" + note.title + "\"" + (note.pinned ? " pinned" : "") +
           " priority " + std::to_string(note.priority) + (note.body ? " body \"" + *note.body + "\"" : " no body");
}

// Every version 1 method, each answer checked against what the calls
// before it did.
int tour(INotebook& notebook) {
    Checks checks;
    const auto watcher = ::ndk::SharedRefBase::makeRef<RecordingWatcher>();
    int32_t count = -1;
    checks.call("watch", notebook.watch(watcher, &count));
    std::printf("watch: %d notes\n", count);

    Note groceries;
    groceries.title = "groceries";
    groceries.body = "tea, bread";
    groceries.priority = 2;
    Note call;  // the defaults go over the wire: not pinned, priority 3
    call.title = "call Alice";
    call.pinned = true;
    int64_t first = 0;
    int64_t second = 0;
    checks.call("add", notebook.add(groceries, &first));
    checks.call("add", notebook.add(call, &second));
    std::printf("add: #%lld, #%lld\n", static_cast<long long>(first), static_cast<long long>(second));
    groceries.id = first;
    call.id = second;

    Note read;
    checks.call("get", notebook.get(second, &read));
    checks.expect(read == call, "get gave " + read.toString());
    std::printf("get: %s\n", describe(read).c_str());

    std::vector<Note> pinned;
    std::vector<Note> all;
    checks.call("listNotes", notebook.listNotes(true, &pinned));
    checks.call("listNotes", notebook.listNotes(false, &all));
    checks.expect(pinned.size() == 1 && pinned[0] == call, "pinned notes are not just #" + std::to_string(second));
    checks.expect(all.size() >= 2 && all[all.size() - 2] == groceries && all.back() == call,
                  "the list does not end with the two notes added");
    std::printf("listNotes: %zu pinned, %zu in all\n", pinned.size(), all.size());

    int32_t pinnedCount = -1;
    int32_t total = -1;
    checks.call("counts", notebook.counts(&pinnedCount, &total));
    checks.expect(total == static_cast<int32_t>(all.size()) && pinnedCount == static_cast<int32_t>(pinned.size()),
                  "counts gave " + std::to_string(total) + " notes, " + std::to_string(pinnedCount) + " pinned");
    std::printf("counts: %d notes, %d pinned\n", total, pinnedCount);

    bool changed = false;
    checks.call("setBody", notebook.setBody(first, std::nullopt, &changed));
    checks.expect(changed, "setBody of an existing note answered false");
    checks.call("get", notebook.get(first, &read));
    checks.expect(!read.body.has_value(), "a null body came back as " + read.toString());
    checks.call("setBody", notebook.setBody(first, std::string("tea"), &changed));
    std::printf("setBody: #%lld body now null, then \"tea\"\n", static_cast<long long>(first));

    bool removed = false;
    checks.call("remove", notebook.remove(second, &removed));
    checks.expect(removed, "remove of an existing note answered false");
    checks.call("remove", notebook.remove(second, &removed));
    checks.expect(!removed, "a second remove answered true");
    checks.call("setBody", notebook.setBody(second, std::string("x"), &changed));
    checks.expect(!changed, "setBody of a removed note answered true");
    const UniqueAStatus missing = notebook.get(second, &read);
    checks.expect(missing.getExceptionCode() == EX_SERVICE_SPECIFIC && missing.getServiceSpecificError() == 1,
                  "get of a removed note: " + missing.getDescription());
    std::printf("remove: #%lld, then get: %s\n", static_cast<long long>(second), missing.getDescription().c_str());

    // The service tells the watcher one-way, in the order of the changes,
    // each after its call returned: wait for the five, then check them.
    const RecordingWatcher::Changes expected{
            {first, false}, {second, false}, {first, false}, {first, false}, {second, true}};
    const RecordingWatcher::Changes told = watcher->changes(expected.size(), kPatience);
    checks.expect(told == expected, "the watcher was not told of exactly the five changes, in order");
    std::printf("watcher: told of %zu changes\n", told.size());
    checks.call("watch", notebook.watch(nullptr, &count));
    std::printf("unwatch: %d notes\n", count);
    return checks.exitStatus();
}

int version(INotebook& notebook) {
    Checks checks;
    int32_t number = 0;
    std::string hash;
    if (!checks.call("getInterfaceVersion", notebook.getInterfaceVersion(&number)) ||
        !checks.call("getInterfaceHash", notebook.getInterfaceHash(&hash))) {
        return 1;
    }
    std::printf("service: version %d hash %s\n", number, hash.c_str());
    std::printf("client: version %d hash %s\n", INotebook::version, INotebook::hash.c_str());
    return 0;
}

// Watches until `stop` is delivered (blocked in every thread).
int watch(INotebook& notebook, const sigset_t& stop) {
    Checks checks;
    int32_t count = 0;
    if (!checks.call("watch", notebook.watch(::ndk::SharedRefBase::makeRef<RecordingWatcher>(true), &count))) {
        return 1;
    }
    std::printf("watching %d notes\n", count);
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return checks.call("watch", notebook.watch(nullptr, &count)) ? 0 : 1;
}

#if NOTES_VERSION >= 2
// What a version 2 client does without search() on the other side: the same
// answer from listNotes(), filtered here.
class LocalSearch : public ::aidl::example::notes::INotebookDefault {
  public:
    explicit LocalSearch(std::shared_ptr<INotebook> remote) : mRemote(std::move(remote)) {}
    UniqueAStatus search(const std::string& text, std::vector<Note>* _aidl_return) override {
        std::vector<Note> all;
        UniqueAStatus status = mRemote->listNotes(false, &all);
        for (Note& note : all) {
            if (note.title.find(text) != std::string::npos ||
                (note.body && note.body->find(text) != std::string::npos)) {
                _aidl_return->push_back(std::move(note));
            }
        }
        return status;
    }

  private:
    const std::shared_ptr<INotebook> mRemote;
};

int search(INotebook& notebook, const std::string& text) {
    std::vector<Note> found;
    const UniqueAStatus status = notebook.search(text, &found);
    if (!status.isOk()) {
        std::fprintf(stderr, "notes_client: search: %s: %s\n", AStatus_codeName(status.getStatus()),
                     status.getDescription().c_str());
        return 1;
    }
    std::printf("search \"%s\": %zu notes\n", text.c_str(), found.size());
    for (const Note& note : found) std::printf("  %s\n", describe(note).c_str());
    return 0;
}
#endif

int usage() {
    std::fprintf(stderr,
                 "usage: notes_client_v%d [--name NAME] [--wait MS] %sCOMMAND\n"
                 "commands: tour, version, watch%s\n",
                 NOTES_VERSION, NOTES_VERSION >= 2 ? "[--fallback] " : "",
                 NOTES_VERSION >= 2 ? ", search TEXT" : "");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "example.notes/default";
    int32_t waitMs = 5000;
    [[maybe_unused]] bool fallback = false;  // read by version 2 only
    int at = 1;
    for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
        if (std::strcmp(argv[at], "--name") == 0 && at + 1 < argc) {
            name = argv[++at];
        } else if (std::strcmp(argv[at], "--wait") == 0 && at + 1 < argc) {
            char* end = nullptr;
            const long value = std::strtol(argv[++at], &end, 10);
            if (*end != '\0' || value < 0 || value > 600000) return usage();
            waitMs = static_cast<int32_t>(value);
        } else if (std::strcmp(argv[at], "--fallback") == 0 && NOTES_VERSION >= 2) {
            fallback = true;
        } else {
            return usage();
        }
    }
    const std::string command = at < argc ? argv[at] : "";
    const int operands = argc - at - 1;
    const bool known = (operands == 0 && (command == "tour" || command == "version" || command == "watch")) ||
                       (NOTES_VERSION >= 2 && operands == 1 && command == "search");
    if (!known) return usage();

    // Blocked before the pool starts, so that only watch's sigwait takes
    // them; the other commands end by themselves.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (command == "watch") pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // Watchers are called back on the pool.
    ABinderProcess_startThreadPool();
    const ::bgs::ScopedCallTimeout deadline(kPatience);
    const std::shared_ptr<INotebook> notebook =
            INotebook::fromBinder(::ndk::SpAIBinder(AServiceManager_waitForServiceTimeout(name.c_str(), waitMs)));
    if (notebook == nullptr) {
        std::fprintf(stderr, "notes_client: no notebook is published as '%s'\n", name.c_str());
        return 3;
    }
    int status = 0;
    if (command == "tour") {
        status = tour(*notebook);
    } else if (command == "version") {
        status = version(*notebook);
    } else if (command == "watch") {
        status = watch(*notebook, stop);
    }
#if NOTES_VERSION >= 2
    if (command == "search") {
        if (fallback) INotebook::setDefaultImpl(::ndk::SharedRefBase::makeRef<LocalSearch>(notebook));
        status = search(*notebook, argv[at + 1]);
    }
#endif
    std::fflush(nullptr);
    // Pool threads may still be running: leave without static destructors.
    ::_exit(status);
}
