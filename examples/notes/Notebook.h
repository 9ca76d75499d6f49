/*
 * The notebook service: INotebook served from memory. One source for both
 * versions of the package: built against version 1 it serves the version 1
 * methods; built against version 2 (NOTES_VERSION >= 2) it also serves
 * search(). Which bindings a program links decides what it serves.
 *
 * Thread use: every method runs on a pool thread, any number at once; one
 * mutex guards the notes and the watchers. Watchers are told outside the
 * lock, by a one-way call that returns once it is sent or queued: a
 * stopped client neither delays a change nor holds the lock (the runtime
 * cuts off a peer that stops reading what is due to it).
 */
#ifndef EXAMPLES_NOTES_NOTEBOOK_H
#define EXAMPLES_NOTES_NOTEBOOK_H

#include <aidl/example/notes/BnNotebook.h>
#include <aidl/example/notes/INoteWatcher.h>

#include <bgs/scoped_death_link.h>

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace notes {

using ::aidl::example::notes::INoteWatcher;
using ::aidl::example::notes::Note;

// One line to stderr in one write, so that lines of several threads never
// mix: "notes: LEVEL: text".
void log(const char* level, const std::string& text);

class Notebook : public ::aidl::example::notes::BnNotebook {
  public:
    ::ndk::UniqueAStatus add(const Note& note, int64_t* _aidl_return) override;
    ::ndk::UniqueAStatus get(int64_t id, Note* _aidl_return) override;
    ::ndk::UniqueAStatus listNotes(bool pinnedOnly, std::vector<Note>* _aidl_return) override;
    ::ndk::UniqueAStatus setBody(int64_t id, const std::optional<std::string>& body,
                                 bool* _aidl_return) override;
    ::ndk::UniqueAStatus remove(int64_t id, bool* _aidl_return) override;
    ::ndk::UniqueAStatus watch(const std::shared_ptr<INoteWatcher>& watcher,
                               int32_t* _aidl_return) override;
    ::ndk::UniqueAStatus counts(int32_t* pinned, int32_t* _aidl_return) override;
#if NOTES_VERSION >= 2
    ::ndk::UniqueAStatus search(const std::string& text, std::vector<Note>* _aidl_return) override;
#endif

  private:
    // One client's watcher and the watch on its process.
    struct Watcher {
        std::shared_ptr<INoteWatcher> watcher;
        ::bgs::ScopedDeathLink link;
    };

    // Tells every watcher of the change, outside the lock.
    void notify(int64_t id, bool removed);
    // Drops the watcher of `pid` if it is still `binder` (its process died).
    void forget(pid_t pid, AIBinder* binder);

    std::mutex mMutex;
    int64_t mNextId = 1;
    std::map<int64_t, Note> mNotes;
    std::map<pid_t, Watcher> mWatchers;  // by the client's process
};

}  // namespace notes

#endif  // EXAMPLES_NOTES_NOTEBOOK_H
