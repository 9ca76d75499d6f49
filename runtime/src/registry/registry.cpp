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
#include "../base/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
#include <vector>

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
    std::string chosen;  // the path chosen, usable or not
    std::string path;    // empty when the directory cannot be used
    int fd = -1;
    // Why it cannot be used (outcome and reason), when it cannot.
    BgsRegistryOutcome refusal = BGS_REGISTRY_OK;
    std::string reason;
    int64_t lockWaitMs = 2000;  // how long a publisher waits for the directory lock
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

std::string errnoText(int error) {
    char buffer[128];
    // The GNU strerror_r returns the text, which may not be in `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

// Why the component `name`, reached as `shown`, cannot be opened from
// `parent`, after openat failed with `error`.
std::string componentProblem(int parent, const std::string& name, const std::string& shown, int error) {
    struct stat status;
    if (fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) return shown + ": component '" + name + "' is a symbolic link";
        if (!S_ISDIR(status.st_mode)) return shown + " is not a directory";
    } else if (errno == ENOENT) {
        return shown + " is missing";
    }
    return "cannot open " + shown + ": " + errnoText(error);
}

// Opens the directory at `path` one component at a time from "/" (or from
// the working directory for a relative path), never following a symbolic
// link, so that no link planted by another user can redirect it. Only the
// last component is created (0700; a missing parent is a failure). The
// directory must be this user's and writable by nobody else: another user
// could otherwise delete live entries, plant entries that send this user's
// clients to their processes, or hold the directory lock.
void openDirectory(Directory* directory) {
    const std::string& path = directory->chosen;
    std::vector<std::string> parts;
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (end > at && path.compare(at, end - at, ".") != 0) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    const bool absolute = !path.empty() && path[0] == '/';
    int fd = open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string shown = absolute ? "" : ".";
    bool created = false;
    auto refuse = [&](BgsRegistryOutcome outcome, std::string reason) {
        if (fd >= 0) close(fd);
        directory->refusal = outcome;
        directory->reason = std::move(reason);
    };
    if (fd < 0) return refuse(BGS_REGISTRY_UNUSABLE, "cannot open " + (absolute ? std::string("/") : shown));
    if (parts.empty()) parts.push_back(".");
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        shown += (shown == "/" ? "" : "/") + parts[i];
        int mkdirError = EEXIST;
        if (last) {
            created = mkdirat(fd, parts[i].c_str(), 0700) == 0;
            if (!created) mkdirError = errno;
        }
        // The directory itself is opened for reading: it is listed and watched.
        const int next = openat(fd, parts[i].c_str(),
                                (last ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            if (last && error == ENOENT && mkdirError != EEXIST) {
                return refuse(BGS_REGISTRY_UNUSABLE, "cannot create " + shown + ": " + errnoText(mkdirError));
            }
            return refuse(BGS_REGISTRY_UNUSABLE, componentProblem(fd, parts[i], shown, error));
        }
        close(fd);
        fd = next;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) return refuse(BGS_REGISTRY_UNUSABLE, "cannot examine " + shown);
    if (status.st_uid != geteuid()) {
        return refuse(BGS_REGISTRY_PERMISSION_DENIED, shown + " is owned by uid " + std::to_string(status.st_uid) +
                                                              ", not this user (uid " + std::to_string(geteuid()) +
                                                              ")");
    }
    // mkdir's mode is narrowed by the umask; a directory made here is 0700.
    if (created && fchmod(fd, 0700) == 0) status.st_mode = (status.st_mode & ~07777u) | 0700;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        const char* who = (status.st_mode & S_IWOTH) != 0 ? "world-writable" : "group-writable";
        return refuse(BGS_REGISTRY_UNUSABLE, shown + " is " + who + " (mode " + mode + ")");
    }
    directory->path = path;
    directory->fd = fd;
}

Directory resolveDirectory() noexcept {
    Directory directory;
    try {
        directory.lockWaitMs = envNumber("BGS_REGISTRY_LOCK_MS", 2000, 0, 3600000);
        directory.chosen = chooseDirectoryPath();
        openDirectory(&directory);
    } catch (const std::bad_alloc&) {
        directory.refusal = BGS_REGISTRY_UNUSABLE;
        directory.path.clear();
        if (directory.fd >= 0) close(directory.fd);
        directory.fd = -1;
    }
    return directory;
}

// Resolved once; a forked child keeps using its parent's directory.
const Directory& directory() noexcept {
    static const Directory resolved = resolveDirectory();
    return resolved;
}

// The pid holding a lock on the file open as `fd`, from /proc/locks; 0 when
// it cannot be told. Reads a bounded number of bounded lines.
pid_t lockHolder(int fd) noexcept {
    struct stat status;
    if (fstat(fd, &status) != 0) return 0;
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    pid_t holder = 0;
    char line[256];
    for (int lines = 0; holder == 0 && lines < 100000 && std::fgets(line, sizeof line, locks) != nullptr; ++lines) {
        // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234 0 EOF"; waiters carry "->".
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::strstr(line, "->") != nullptr ||
            std::sscanf(line, "%*d: %*s %*s %*s %ld %x:%x:%llu", &pid, &major, &minor, &inode) != 4) {
            continue;
        }
        if (major == major(status.st_dev) && minor == minor(status.st_dev) && inode == status.st_ino && pid > 0) {
            holder = static_cast<pid_t>(pid);
        }
    }
    std::fclose(locks);
    return holder;
}

// Holds the exclusive lock that serialises changes of entry names among all
// processes, or nothing (held() false) when it cannot be had by the
// deadline (0: only if free at once). Never waits without a deadline: a
// process of this user that keeps the lock must not stall others forever.
class DirectoryLock {
  public:
    DirectoryLock(int dirfd, uint64_t deadline) noexcept
        // Opened read-only, so that closing it does not notify waiters.
        : fd_(openat(dirfd, kLockFileName, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
        long pauseUs = 200;
        while (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK || monotonicNs() >= deadline) {
                busy_ = errno == EWOULDBLOCK;
                if (busy_) holder_ = lockHolder(fd_);
                release();
                return;
            }
            const timespec pause{0, pauseUs * 1000};
            nanosleep(&pause, nullptr);
            if (pauseUs < 20000) pauseUs *= 2;
        }
    }
    ~DirectoryLock() { release(); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool held() const noexcept { return fd_ >= 0; }
    // Not held because another process held it past the deadline.
    bool busy() const noexcept { return busy_; }
    pid_t holder() const noexcept { return holder_; }

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
    bool busy_ = false;
    pid_t holder_ = 0;
};

// The deadline of a publisher's wait for the directory lock.
uint64_t lockDeadline() noexcept {
    return monotonicNs() + static_cast<uint64_t>(directory().lockWaitMs) * kNsPerMs;
}

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
// null, reads it into *text, and its owner into *owner when not null.
Liveness probeEntry(int dirfd, const char* fileName, EntryText* text, uid_t* owner = nullptr) noexcept {
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
        if (owner != nullptr) *owner = status.st_uid;
    }
    close(fd);
    return liveness;
}

// Removes the entry file `fileName` if it is stale. Under the directory lock
// no entry name changes, and a stale file never becomes alive again, so the
// file judged stale is the file removed. Readers never wait for the lock:
// while it is busy the stale file stays, and counts as absent all the same.
void removeIfStale(int dirfd, const char* fileName) noexcept {
    const DirectoryLock lock(dirfd, 0);
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
    uid_t owner = static_cast<uid_t>(-1);
    const Liveness liveness = probeEntry(dirfd, file.text, &text, &owner);
    if (liveness == Liveness::kStale) removeIfStale(dirfd, file.text);
    ParsedEntry entry;
    if (liveness != Liveness::kAlive || !parseEntry(text, &entry) || entry.name != name) return false;
    if (endpoint != nullptr) {
        endpoint->address.assign(entry.address.data(), entry.address.size());
        endpoint->pid = entry.pid;
        endpoint->uid = owner;
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

// Fills *report with `outcome` and `message` (and the process concerned).
BgsRegistryOutcome refuse(RegistryReport* report, BgsRegistryOutcome outcome, std::string message, pid_t pid = 0,
                          uid_t uid = static_cast<uid_t>(-1)) {
    if (report != nullptr) {
        report->outcome = outcome;
        report->pid = pid;
        report->uid = uid;
        report->message = std::move(message);
    }
    return outcome;
}

// The refusal of a publish whose entry name a live process holds.
BgsRegistryOutcome nameTaken(int dirfd, const EntryFileName& file, std::string_view name, RegistryReport* report) {
    EntryText text;
    uid_t owner = static_cast<uid_t>(-1);
    ParsedEntry entry;
    if (probeEntry(dirfd, file.text, &text, &owner) == Liveness::kAlive && parseEntry(text, &entry)) {
        std::string message = "name taken by pid " + std::to_string(entry.pid) + " (uid " + std::to_string(owner) + ")";
        if (entry.name != name) message += " serving '" + std::string(entry.name) + "', a name of the same hash";
        return refuse(report, BGS_REGISTRY_NAME_TAKEN, std::move(message), entry.pid, owner);
    }
    return refuse(report, BGS_REGISTRY_NAME_TAKEN, "name taken: a live process holds its entry", 0, owner);
}

BgsRegistryOutcome publishEntry(int dirfd, std::string_view name, const ServiceEndpoint& self,
                                RegistryReport* report) {
    char content[kMaxEntryBytes];
    const int length = std::snprintf(content, sizeof content, "%s\n%ld\n%s\n%.*s\n", kEntryHeader,
                                     static_cast<long>(self.pid), self.address.c_str(),
                                     static_cast<int>(name.size()), name.data());
    if (length <= 0 || static_cast<size_t>(length) >= sizeof content) {
        return refuse(report, BGS_REGISTRY_INVALID_ARGUMENT, "the entry does not fit");
    }
    if (!forkHandlersInstalled()) return refuse(report, BGS_REGISTRY_UNUSABLE, "cannot install fork handlers");

    char tempName[48];
    std::atomic<int>* slot = nullptr;
    pthread_mutex_lock(&gForkMutex);
    const int fd = createTempFile(dirfd, tempName);
    const int createError = errno;
    if (fd >= 0) slot = holdDescriptor(fd);
    pthread_mutex_unlock(&gForkMutex);
    if (fd < 0) {
        return refuse(report, BGS_REGISTRY_UNUSABLE,
                      "cannot create an entry in " + directory().path + ": " + errnoText(createError));
    }

    BgsRegistryOutcome outcome = BGS_REGISTRY_UNUSABLE;
    std::string problem = slot == nullptr ? "this process holds too many entries"
                                          : "cannot write an entry in " + directory().path;
    pid_t holder = 0;
    if (slot != nullptr && writeAll(fd, content, static_cast<size_t>(length)) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        const EntryFileName file = entryFileName(name);
        const DirectoryLock lock(dirfd, lockDeadline());
        // A live entry is never replaced, whatever it says: its owner serves
        // this name, or another name of the same hash (a collision, which
        // makes this name unpublishable while that owner lives), or holds a
        // file this version cannot read.
        const Liveness current = lock.held() ? probeEntry(dirfd, file.text, nullptr) : Liveness::kUnknown;
        if (lock.busy()) {
            holder = lock.holder();
            problem = "the registry lock " + directory().path + "/" + kLockFileName + " is held by " +
                      (holder > 0 ? "pid " + std::to_string(holder) : std::string("another process")) +
                      " for more than " + std::to_string(directory().lockWaitMs) + " ms (BGS_REGISTRY_LOCK_MS)";
        } else if (!lock.held()) {
            problem = "cannot open the registry lock in " + directory().path;
        } else if (current == Liveness::kAlive) {
            outcome = nameTaken(dirfd, file, name, report);
        } else if ((current == Liveness::kAbsent || current == Liveness::kStale) &&
                   renameat(dirfd, tempName, dirfd, file.text) == 0) {
            outcome = BGS_REGISTRY_OK;
        } else {
            problem = "cannot put the entry in place in " + directory().path;
        }
    }
    if (outcome == BGS_REGISTRY_OK) return outcome;  // the descriptor stays held for the life of the process
    if (outcome == BGS_REGISTRY_UNUSABLE) refuse(report, outcome, problem, holder);
    unlinkat(dirfd, tempName, 0);
    if (slot != nullptr) slot->store(0);
    close(fd);
    return outcome;
}

// Removes the entry of `name` if this process holds it, then lets go of its
// lock. The entry is matched by file identity, so an entry someone else
// published after this process's ended is never touched.
bool withdrawEntry(int dirfd, std::string_view name) noexcept {
    const EntryFileName file = entryFileName(name);
    const DirectoryLock lock(dirfd, lockDeadline());
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

const std::string& registryPath() noexcept { return directory().chosen; }

const std::string& registryDirectory() noexcept { return directory().path; }

bool registryUsable(RegistryReport* report) noexcept {
    const Directory& dir = directory();
    if (dir.fd >= 0) return true;
    try {
        refuse(report, dir.refusal == BGS_REGISTRY_OK ? BGS_REGISTRY_UNUSABLE : dir.refusal,
               dir.reason.empty() ? "out of memory resolving the registry directory" : dir.reason);
    } catch (const std::bad_alloc&) {
        if (report != nullptr) report->outcome = BGS_REGISTRY_UNUSABLE;
    }
    return false;
}

BgsRegistryOutcome registryPublish(const char* name, const ServiceEndpoint& self, RegistryReport* report) noexcept {
    try {
        if (!isValidServiceName(name)) return refuse(report, BGS_REGISTRY_INVALID_NAME, "not a valid service name");
        if (self.pid <= 0 || !isValidAddress(self.address)) {
            return refuse(report, BGS_REGISTRY_INVALID_ARGUMENT, "not a valid endpoint");
        }
        if (!registryUsable(report)) return report != nullptr ? report->outcome : BGS_REGISTRY_UNUSABLE;
        return publishEntry(directory().fd, name, self, report);
    } catch (const std::bad_alloc&) {
        if (report != nullptr) report->outcome = BGS_REGISTRY_UNUSABLE;
        return BGS_REGISTRY_UNUSABLE;
    }
}

binder_exception_t registryPublish(const char* name, const ServiceEndpoint& self) noexcept {
    const BgsRegistryOutcome outcome = registryPublish(name, self, nullptr);
    if (outcome == BGS_REGISTRY_OK) return EX_NONE;
    return outcome == BGS_REGISTRY_INVALID_NAME || outcome == BGS_REGISTRY_INVALID_ARGUMENT ? EX_ILLEGAL_ARGUMENT
                                                                                           : EX_ILLEGAL_STATE;
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

bool registryForEach(void* context,
                     void (*callback)(const char* name, const ServiceEndpoint& endpoint, void* context)) noexcept {
    const int dirfd = directory().fd;
    if (callback == nullptr || dirfd < 0) return false;
    // A descriptor of its own: a duplicate of dirfd would share its read
    // position with every other listing in the process.
    const int listFd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* listing = fdopendir(listFd);
    if (listing == nullptr) {
        close(listFd);
        return false;
    }
    try {
        // An entry replaced while the listing runs may be listed twice.
        std::unordered_set<std::string> listed;
        while (const dirent* item = readdir(listing)) {
            if (std::strncmp(item->d_name, kEntryPrefix, sizeof kEntryPrefix - 1) != 0) continue;
            EntryText text;
            ServiceEndpoint endpoint;
            const Liveness liveness = probeEntry(dirfd, item->d_name, &text, &endpoint.uid);
            if (liveness == Liveness::kStale) removeIfStale(dirfd, item->d_name);
            ParsedEntry entry;
            if (liveness != Liveness::kAlive || !parseEntry(text, &entry) ||
                std::strcmp(entryFileName(entry.name).text, item->d_name) != 0) {
                continue;
            }
            const std::string entryName(entry.name);
            if (!listed.insert(entryName).second) continue;
            endpoint.pid = entry.pid;
            endpoint.address.assign(entry.address.data(), entry.address.size());
            callback(entryName.c_str(), endpoint, context);
        }
    } catch (const std::bad_alloc&) {
    }
    closedir(listing);
    return true;
}

}  // namespace binder_ndk::internal
