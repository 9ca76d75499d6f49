// The embedded service registry: one file per served name in a directory
// shared by the user's processes.
//
// Layout. The entry of a name is the file "s-" + 16 lowercase hex digits of
// the 64-bit FNV-1a hash of the name (names may hold '/' and be 255 bytes
// long, so they cannot be file names themselves). Its text is four lines:
//     bgs-registry 1
//     <pid, decimal>
//     <address>
//     <the full name>
// A reader bounds what it reads and treats anything else as no entry; an
// entry whose name line differs from the name looked up (a hash collision)
// is not that name's entry.
//
// Liveness. The publishing process keeps the entry open, with an exclusive
// flock, for the rest of its life. A reader's non-blocking shared flock fails
// exactly while that lock is held; when it succeeds the owner has ended and
// the entry is stale, which counts as absent.
//
// Changes. Publishing and the removal of stale entries happen under an
// exclusive flock on ".lock" in the directory, so the file behind an entry
// name only changes under that lock. A new entry is written to a temporary
// file, locked, and renamed over the entry name, so readers never see a
// partly written or an unlocked live entry.
//
// All file operations are relative to a descriptor of the directory, so the
// length of its path does not matter.
#include "registry.h"

#include "../base/clock.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace binder_ndk::internal {
namespace {

constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxAddressBytes = 100;
// Well-formed entries take under 400 bytes; anything over this is damaged.
constexpr size_t kMaxEntryBytes = 1024;
constexpr char kEntryHeader[] = "bgs-registry 1";
constexpr char kEntryPrefix[] = "s-";
constexpr char kLockFileName[] = ".lock";
// How often a wait re-checks when no change notifications can be had.
constexpr int kRecheckWithoutNotificationsMs = 100;

bool isPrintable(std::string_view text, bool spaceAllowed) noexcept {
    for (const char c : text) {
        if (c < (spaceAllowed ? ' ' : '!') || c > '~') return false;
    }
    return true;
}

bool isValidName(std::string_view name) noexcept {
    return !name.empty() && name.size() <= kMaxNameBytes && isPrintable(name, false);
}

bool isValidAddress(std::string_view address) noexcept {
    return !address.empty() && address.size() <= kMaxAddressBytes && isPrintable(address, true);
}

struct EntryFileName {
    char text[sizeof(kEntryPrefix) + 16];
};

EntryFileName entryFileName(std::string_view name) noexcept {
    uint64_t hash = 14695981039346656037ull;  // 64-bit FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    EntryFileName file;
    std::snprintf(file.text, sizeof file.text, "%s%016llx", kEntryPrefix, static_cast<unsigned long long>(hash));
    return file;
}

// ---- The directory ---------------------------------------------------------

struct Directory {
    std::string path;  // empty when the directory cannot be used
    int fd = -1;
};

std::string chooseDirectoryPath() {
    const char* chosen = std::getenv("BGS_SERVICE_DIR");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && *runtimeDir != '\0') return std::string(runtimeDir) + "/bgservice";
    const char* tmpDir = std::getenv("TMPDIR");
    const std::string base = (tmpDir != nullptr && *tmpDir != '\0') ? tmpDir : "/tmp";
    return base + "/bgservice-" + std::to_string(geteuid());
}

// Only the last path component is created; a missing parent is a failure.
// A directory that another user owns is refused: its entries could send this
// user's clients to that user's processes.
Directory openDirectory() noexcept {
    Directory directory;
    try {
        std::string path = chooseDirectoryPath();
        const bool created = mkdir(path.c_str(), 0700) == 0;
        if (!created && errno != EEXIST) return directory;
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // only a directory opens
        if (fd < 0) return directory;
        struct stat status;
        const bool usable = fstat(fd, &status) == 0 && status.st_uid == geteuid() &&
                            (!created || fchmod(fd, 0700) == 0);  // mkdir's mode is narrowed by the umask
        if (!usable) {
            close(fd);
            return directory;
        }
        directory.path = std::move(path);
        directory.fd = fd;
    } catch (const std::bad_alloc&) {
    }
    return directory;
}

// Resolved once; a forked child keeps using its parent's directory.
const Directory& directory() noexcept {
    static const Directory resolved = openDirectory();
    return resolved;
}

// Holds the exclusive lock that serialises changes of entry names among all
// processes, or nothing (held() false) when it cannot be had.
class DirectoryLock {
  public:
    explicit DirectoryLock(int dirfd) noexcept
        // Opened read-only, so that closing it does not notify waiters.
        : fd_(openat(dirfd, kLockFileName, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) release();
        }
    }
    ~DirectoryLock() { release(); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool held() const noexcept { return fd_ >= 0; }

  private:
    void release() noexcept {
        if (fd_ < 0) return;
        // An explicit unlock: a child forked meanwhile shares the open file
        // and would otherwise keep the lock after this descriptor is closed.
        flock(fd_, LOCK_UN);
        close(fd_);
        fd_ = -1;
    }

    int fd_;
};

// ---- Entries ---------------------------------------------------------------

enum class Liveness {
    kAbsent,   // no such file
    kStale,    // no live process holds it (or it is not a regular file)
    kAlive,    // a live process holds it
    kUnknown,  // it could not be examined
};

struct EntryText {
    char bytes[kMaxEntryBytes + 1];  // one more than allowed, to see oversized entries
    size_t size = 0;
    bool complete = false;  // read without error

    std::string_view view() const noexcept { return std::string_view(bytes, size); }
};

void readBounded(int fd, EntryText* text) noexcept {
    text->size = 0;
    while (text->size < sizeof text->bytes) {
        const ssize_t n = read(fd, text->bytes + text->size, sizeof text->bytes - text->size);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text->size += static_cast<size_t>(n);
    }
    text->complete = true;
}

// Examines the entry file `fileName`; when it is alive and `text` is not
// null, reads it into *text.
Liveness probeEntry(int dirfd, const char* fileName, EntryText* text) noexcept {
    // Non-blocking, so that a FIFO planted under an entry name cannot stall the open.
    const int fd = openat(dirfd, fileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return Liveness::kAbsent;
        return errno == ELOOP ? Liveness::kStale : Liveness::kUnknown;  // ELOOP: a symbolic link
    }
    Liveness liveness = Liveness::kUnknown;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        liveness = Liveness::kUnknown;
    } else if (!S_ISREG(status.st_mode)) {
        liveness = Liveness::kStale;
    } else if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        liveness = Liveness::kStale;
    } else if (errno == EWOULDBLOCK) {
        liveness = Liveness::kAlive;
        if (text != nullptr) readBounded(fd, text);
    }
    close(fd);
    return liveness;
}

// Removes the entry file `fileName` if it is stale. Under the directory lock
// no entry name changes, and a stale file never becomes alive again, so the
// file judged stale is the file removed.
void removeIfStale(int dirfd, const char* fileName) noexcept {
    const DirectoryLock lock(dirfd);
    if (lock.held() && probeEntry(dirfd, fileName, nullptr) == Liveness::kStale) unlinkat(dirfd, fileName, 0);
}

struct ParsedEntry {
    pid_t pid = 0;
    std::string_view address;
    std::string_view name;
};

// Moves the line at the front of *rest (without its newline) to *line; false
// when no newline ends it.
bool takeLine(std::string_view* rest, std::string_view* line) noexcept {
    const size_t end = rest->find('\n');
    if (end == std::string_view::npos) return false;
    *line = rest->substr(0, end);
    rest->remove_prefix(end + 1);
    return true;
}

bool parsePid(std::string_view text, pid_t* pid) noexcept {
    if (text.empty() || text.size() > 10) return false;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value <= 0 || value > std::numeric_limits<pid_t>::max()) return false;
    *pid = static_cast<pid_t>(value);
    return true;
}

bool parseEntry(const EntryText& text, ParsedEntry* entry) noexcept {
    if (!text.complete || text.size > kMaxEntryBytes) return false;
    std::string_view rest = text.view();
    std::string_view header, pid;
    return takeLine(&rest, &header) && header == kEntryHeader && takeLine(&rest, &pid) &&
           parsePid(pid, &entry->pid) && takeLine(&rest, &entry->address) && isValidAddress(entry->address) &&
           takeLine(&rest, &entry->name) && isValidName(entry->name) && rest.empty();
}

// The live, well-formed entry of the valid name `name`, into *endpoint when
// not null. A stale entry found on the way is removed.
bool findEntry(int dirfd, std::string_view name, ServiceEndpoint* endpoint) {
    const EntryFileName file = entryFileName(name);
    EntryText text;
    const Liveness liveness = probeEntry(dirfd, file.text, &text);
    if (liveness == Liveness::kStale) removeIfStale(dirfd, file.text);
    ParsedEntry entry;
    if (liveness != Liveness::kAlive || !parseEntry(text, &entry) || entry.name != name) return false;
    if (endpoint != nullptr) {
        endpoint->address.assign(entry.address.data(), entry.address.size());
        endpoint->pid = entry.pid;
    }
    return true;
}

// ---- Entries held by this process ------------------------------------------

// The descriptors (plus one; zero is a free slot) of the entries this process
// publishes, and of entries being published. Plain atomics, so that the
// handler run in a forked child needs no lock to empty them.
constexpr size_t kHeldSlots = 256;
std::atomic<int> gHeldEntries[kHeldSlots];

// Held from creating a new entry's descriptor to entering it in
// gHeldEntries, and across fork() (taken by the prepare handler, released by
// the parent and child handlers in the forking thread), so that no child
// gets a copy of an entry descriptor that is not in gHeldEntries yet.
pthread_mutex_t gForkMutex = PTHREAD_MUTEX_INITIALIZER;

std::atomic<unsigned> gTempCounter{0};

void lockBeforeFork() noexcept { pthread_mutex_lock(&gForkMutex); }

void unlockInForkParent() noexcept { pthread_mutex_unlock(&gForkMutex); }

// A flock belongs to the open file, which the child's inherited descriptor
// shares: left open, it would keep the parent's entries alive after the
// parent ends. Closing (not unlocking, which would release the parent's lock
// as well) is what lets go of them.
void closeHeldEntriesInForkChild() noexcept {
    for (std::atomic<int>& slot : gHeldEntries) {
        const int held = slot.exchange(0);
        if (held > 0) close(held - 1);
    }
    pthread_mutex_unlock(&gForkMutex);
}

bool forkHandlersInstalled() noexcept {
    static const bool installed =
            pthread_atfork(lockBeforeFork, unlockInForkParent, closeHeldEntriesInForkChild) == 0;
    return installed;
}

// The slot now holding `fd`, or null when every slot is taken.
std::atomic<int>* holdDescriptor(int fd) noexcept {
    for (std::atomic<int>& slot : gHeldEntries) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1)) return &slot;
    }
    return nullptr;
}

// A new file for the next entry, named into `name`; -1 on failure. The name
// carries the pid and a counter; O_EXCL guards against a leftover of an
// earlier process with the same pid (then the next counter value is tried).
int createTempFile(int dirfd, char (&name)[48]) noexcept {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::snprintf(name, sizeof name, "t-%ld-%u", static_cast<long>(getpid()), gTempCounter++);
        const int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, const char* bytes, size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

binder_exception_t publishEntry(int dirfd, std::string_view name, const ServiceEndpoint& self) noexcept {
    char content[kMaxEntryBytes];
    const int length = std::snprintf(content, sizeof content, "%s\n%ld\n%s\n%.*s\n", kEntryHeader,
                                     static_cast<long>(self.pid), self.address.c_str(),
                                     static_cast<int>(name.size()), name.data());
    if (length <= 0 || static_cast<size_t>(length) >= sizeof content) return EX_ILLEGAL_STATE;
    if (!forkHandlersInstalled()) return EX_ILLEGAL_STATE;

    char tempName[48];
    std::atomic<int>* slot = nullptr;
    pthread_mutex_lock(&gForkMutex);
    const int fd = createTempFile(dirfd, tempName);
    if (fd >= 0) slot = holdDescriptor(fd);
    pthread_mutex_unlock(&gForkMutex);
    if (fd < 0) return EX_ILLEGAL_STATE;

    bool published = false;
    if (slot != nullptr && writeAll(fd, content, static_cast<size_t>(length)) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        const EntryFileName file = entryFileName(name);
        const DirectoryLock lock(dirfd);
        const Liveness current = lock.held() ? probeEntry(dirfd, file.text, nullptr) : Liveness::kUnknown;
        // A live entry is never replaced, whatever it says: its owner serves
        // this name, or another name of the same hash (a collision, which
        // makes this name unpublishable while that owner lives), or holds a
        // file this version cannot read.
        published = (current == Liveness::kAbsent || current == Liveness::kStale) &&
                    renameat(dirfd, tempName, dirfd, file.text) == 0;
    }
    if (published) return EX_NONE;  // the descriptor stays held for the life of the process
    unlinkat(dirfd, tempName, 0);
    if (slot != nullptr) slot->store(0);
    close(fd);
    return EX_ILLEGAL_STATE;
}

// Removes the entry of `name` if this process holds it, then lets go of its
// lock. The entry is matched by file identity, so an entry someone else
// published after this process's ended is never touched.
bool withdrawEntry(int dirfd, std::string_view name) noexcept {
    const EntryFileName file = entryFileName(name);
    const DirectoryLock lock(dirfd);
    if (!lock.held()) return false;
    struct stat entry;
    if (fstatat(dirfd, file.text, &entry, AT_SYMLINK_NOFOLLOW) != 0) return false;
    for (std::atomic<int>& slot : gHeldEntries) {
        const int held = slot.load();
        struct stat status;
        if (held <= 0 || fstat(held - 1, &status) != 0) continue;
        if (status.st_dev != entry.st_dev || status.st_ino != entry.st_ino) continue;
        unlinkat(dirfd, file.text, 0);
        int expected = held;
        if (slot.compare_exchange_strong(expected, 0)) close(held - 1);
        return true;
    }
    return false;
}

// ---- Waiting ---------------------------------------------------------------

int64_t monotonicNowNs() noexcept { return static_cast<int64_t>(monotonicNs()); }

// Change notifications of the registry directory. Without them (no inotify
// instance left, say) sleep() just sleeps, and waits re-check periodically.
class DirectoryWatch {
  public:
    explicit DirectoryWatch(const Directory& watched) noexcept : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0) return;
        // Entries appear by a rename into the directory; the other events
        // cost a spurious look at worst.
        constexpr uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB;
        char procPath[40];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", watched.fd);
        if (inotify_add_watch(fd_, procPath, kEvents) < 0 && inotify_add_watch(fd_, watched.path.c_str(), kEvents) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~DirectoryWatch() {
        if (fd_ >= 0) close(fd_);
    }
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    bool active() const noexcept { return fd_ >= 0; }

    // Until the directory changes or timeoutMs passes (< 0: no limit).
    void sleep(int timeoutMs) noexcept {
        pollfd watched = {fd_, POLLIN, 0};
        if (poll(&watched, fd_ >= 0 ? 1 : 0, timeoutMs) <= 0) return;
        alignas(inotify_event) char events[4096];
        while (read(fd_, events, sizeof events) > 0) {
        }
    }

  private:
    int fd_;
};

bool findOtherEntry(int dirfd, std::string_view name, const std::string& skip, ServiceEndpoint* endpoint) {
    ServiceEndpoint found;
    if (!findEntry(dirfd, name, &found) || (!skip.empty() && found.address == skip)) return false;
    if (endpoint != nullptr) *endpoint = std::move(found);
    return true;
}

}  // namespace

bool isValidServiceName(const char* name) noexcept {
    return name != nullptr && isValidName(std::string_view(name, strnlen(name, kMaxNameBytes + 1)));
}

const std::string& registryDirectory() noexcept { return directory().path; }

binder_exception_t registryPublish(const char* name, const ServiceEndpoint& self) noexcept {
    if (!isValidServiceName(name) || self.pid <= 0 || !isValidAddress(self.address)) return EX_ILLEGAL_ARGUMENT;
    const int dirfd = directory().fd;
    if (dirfd < 0) return EX_ILLEGAL_STATE;
    return publishEntry(dirfd, name, self);
}

bool registryWithdraw(const char* name) noexcept {
    if (!isValidServiceName(name)) return false;
    const int dirfd = directory().fd;
    return dirfd >= 0 && withdrawEntry(dirfd, name);
}

bool registryLookup(const char* name, ServiceEndpoint* endpoint) noexcept {
    if (!isValidServiceName(name)) return false;
    const int dirfd = directory().fd;
    try {
        return dirfd >= 0 && findEntry(dirfd, name, endpoint);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool registryWait(const char* name, int32_t timeoutMs, const std::string& skip,
                  ServiceEndpoint* endpoint) noexcept {
    if (!isValidServiceName(name)) return false;
    const Directory& dir = directory();
    if (dir.fd < 0) return false;
    try {
        if (timeoutMs == 0) return findOtherEntry(dir.fd, name, skip, endpoint);
        // Watching before the first look: a publish after that look notifies.
        DirectoryWatch watch(dir);
        const int64_t deadlineNs = monotonicNowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
        for (;;) {
            if (findOtherEntry(dir.fd, name, skip, endpoint)) return true;
            int sleepMs = -1;
            if (timeoutMs > 0) {
                const int64_t leftNs = deadlineNs - monotonicNowNs();
                if (leftNs <= 0) return false;
                sleepMs = static_cast<int>((leftNs + 999999) / 1000000);
            }
            if (!watch.active() && (sleepMs < 0 || sleepMs > kRecheckWithoutNotificationsMs)) {
                sleepMs = kRecheckWithoutNotificationsMs;
            }
            watch.sleep(sleepMs);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void registryForEach(void* context, void (*callback)(const char* name, void* context)) noexcept {
    const int dirfd = directory().fd;
    if (callback == nullptr || dirfd < 0) return;
    // A descriptor of its own: a duplicate of dirfd would share its read
    // position with every other listing in the process.
    const int listFd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* listing = fdopendir(listFd);
    if (listing == nullptr) {
        close(listFd);
        return;
    }
    try {
        // An entry replaced while the listing runs may be listed twice.
        std::unordered_set<std::string> listed;
        while (const dirent* item = readdir(listing)) {
            if (std::strncmp(item->d_name, kEntryPrefix, sizeof kEntryPrefix - 1) != 0) continue;
            EntryText text;
            const Liveness liveness = probeEntry(dirfd, item->d_name, &text);
            if (liveness == Liveness::kStale) removeIfStale(dirfd, item->d_name);
            ParsedEntry entry;
            if (liveness != Liveness::kAlive || !parseEntry(text, &entry) ||
                std::strcmp(entryFileName(entry.name).text, item->d_name) != 0) {
                continue;
            }
            const std::string entryName(entry.name);
            if (listed.insert(entryName).second) callback(entryName.c_str(), context);
        }
    } catch (const std::bad_alloc&) {
    }
    closedir(listing);
}

}  // namespace binder_ndk::internal
