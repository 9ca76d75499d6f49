#include "Notebook.h"

#include <android/binder_ibinder.h>

#include <unistd.h>

#include <utility>

namespace notes {

using ::ndk::UniqueAStatus;

void log(const char* level, const std::string& text) {
    const std::string line = std::string("notes: ") + level + ": " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

UniqueAStatus Notebook::add(const Note& note, int64_t* _aidl_return) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        Note stored = note;
        stored.id = mNextId++;
        *_aidl_return = stored.id;
        mNotes.emplace(stored.id, std::move(stored));
    }
    notify(*_aidl_return, false);
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::get(int64_t id, Note* _aidl_return) {
    const std::lock_guard<std::mutex> lock(mMutex);
    const auto found = mNotes.find(id);
    if (found == mNotes.end()) {
        return UniqueAStatus::fromServiceSpecificErrorWithMessage(
                1, ("no note " + std::to_string(id)).c_str());
    }
    *_aidl_return = found->second;
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::listNotes(bool pinnedOnly, std::vector<Note>* _aidl_return) {
    const std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [id, note] : mNotes) {
        if (!pinnedOnly || note.pinned) _aidl_return->push_back(note);
    }
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::setBody(int64_t id, const std::optional<std::string>& body, bool* _aidl_return) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        const auto found = mNotes.find(id);
        *_aidl_return = found != mNotes.end();
        if (found != mNotes.end()) found->second.body = body;
    }
    if (*_aidl_return) notify(id, false);
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::remove(int64_t id, bool* _aidl_return) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        *_aidl_return = mNotes.erase(id) == 1;
    }
    if (*_aidl_return) notify(id, true);
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::watch(const std::shared_ptr<INoteWatcher>& watcher, int32_t* _aidl_return) {
    const pid_t client = AIBinder_getCallingPid();
    Watcher fresh;
    if (watcher != nullptr) {
        AIBinder* binder = watcher->asBinder().get();
        // Runs on a runtime thread when the client's process dies. A watcher
        // of this process cannot die apart from it and is not linked.
        fresh.link = ::bgs::ScopedDeathLink(binder, [this, client, binder] { forget(client, binder); });
        if (fresh.link.status() == STATUS_DEAD_OBJECT) {
            return UniqueAStatus::fromStatus(STATUS_DEAD_OBJECT);
        }
        fresh.watcher = watcher;
    }
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (fresh.watcher != nullptr) {
            std::swap(mWatchers[client], fresh);
        } else if (const auto found = mWatchers.find(client); found != mWatchers.end()) {
            std::swap(found->second, fresh);
            mWatchers.erase(found);
        }
        *_aidl_return = static_cast<int32_t>(mNotes.size());
    }
    // The replaced link ends here, outside the lock: ending a link waits for
    // its notice if one is running, and the notice takes the lock.
    return UniqueAStatus::ok();
}

UniqueAStatus Notebook::counts(int32_t* pinned, int32_t* _aidl_return) {
    const std::lock_guard<std::mutex> lock(mMutex);
    int32_t pinnedNotes = 0;
    for (const auto& [id, note] : mNotes) pinnedNotes += note.pinned ? 1 : 0;
    *pinned = pinnedNotes;
    *_aidl_return = static_cast<int32_t>(mNotes.size());
    return UniqueAStatus::ok();
}

#if NOTES_VERSION >= 2
UniqueAStatus Notebook::search(const std::string& text, std::vector<Note>* _aidl_return) {
    const std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [id, note] : mNotes) {
        if (note.title.find(text) != std::string::npos ||
            (note.body && note.body->find(text) != std::string::npos)) {
            _aidl_return->push_back(note);
        }
    }
    return UniqueAStatus::ok();
}
#endif

void Notebook::notify(int64_t id, bool removed) {
    std::vector<std::shared_ptr<INoteWatcher>> watchers;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [pid, entry] : mWatchers) watchers.push_back(entry.watcher);
    }
    for (const auto& watcher : watchers) {
        const UniqueAStatus status = watcher->noteChanged(id, removed);
        if (!status.isOk()) {
            // The change itself stands; a watcher that cannot be sent to (its
            // process is gone) is only logged.
            log("warning", "a watcher failed: " + status.getDescription());
        }
    }
}

void Notebook::forget(pid_t pid, AIBinder* binder) {
    Watcher gone;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        const auto found = mWatchers.find(pid);
        if (found == mWatchers.end() || found->second.watcher->asBinder().get() != binder) {
            return;  // replaced meanwhile
        }
        std::swap(found->second, gone);
        mWatchers.erase(found);
    }
    log("info", "the watcher of process " + std::to_string(pid) + " died; dropped");
}  // `gone` ends its own link here, outside the lock: allowed from its notice

}  // namespace notes
