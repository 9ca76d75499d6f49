// Frames on a socket: one packet per frame, large bodies in sealed files.
#include "../base/public_api.h"

#include "codec.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "../base/clock.h"
#include "../base/public_api.h"
#include "../base/thread_cache.h"

namespace binder_ndk::internal {

// ---- FdSet ----

FdSet::~FdSet() { clear(); }

void FdSet::clear() noexcept {
    for (uint32_t i = 0; i < count_; ++i) ::close(fds_[i]);
    count_ = 0;
}

bool FdSet::add(int fd) noexcept {
    if (count_ == wire::kMaxFds) {
        ::close(fd);
        return false;
    }
    fds_[count_++] = fd;
    return true;
}

// ---- The frame cache ----

namespace {

using FrameCache = ThreadCache<Frame, 4>;
thread_local FrameCache tFrameCache{};

struct FrameCacheCloser {
    ~FrameCacheCloser() { tFrameCache.close(); }
};
thread_local FrameCacheCloser tFrameCacheCloser;

constexpr size_t kKeptBodyCapacity = size_t{64} << 10;

}  // namespace

Frame* newFrame() noexcept {
    Frame* frame = tFrameCache.take();
    return frame != nullptr ? frame : new (std::nothrow) Frame;
}

void recycleFrame(Frame* frame) noexcept {
    if (frame == nullptr) return;
    if (frame->body.capacity() > kKeptBodyCapacity || !tFrameCache.admit([] { (void)&tFrameCacheCloser; })) {
        delete frame;
        return;
    }
    frame->header = wire::FrameHeader{};
    frame->body.clear();
    frame->fds.clear();
    tFrameCache.give(frame);
}

namespace wire {

bool checkHeader(const FrameHeader& h, uint32_t fdsReceived) noexcept {
    if (h.magic != kFrameMagic || h.fdCount != fdsReceived || h.fdCount > kMaxFds) return false;
    if (h.dataSize > kMaxTransactionData || h.objectBytes > kMaxObjectBytes) return false;
    if (h.dataSize % 4 != 0 || h.objectBytes % 4 != 0) return false;
    // Every object record takes at least its fixed part of the table.
    if (h.objectCount > h.objectBytes / sizeof(ObjectRecord)) return false;
    const uint32_t bodyFlag = h.flags & kFlagBodyInFile;
    const uint32_t callFlags = h.flags & ~kFlagBodyInFile;
    switch (h.kind) {
        case kTransaction:
            return (callFlags & ~uint32_t{FLAG_ONEWAY}) == 0 && h.objectCount <= h.dataSize / 8 &&
                   h.senderThread != 0;
        case kReply:
            return callFlags == 0 && h.fdCount == 0 && h.objectCount <= h.dataSize / 8;
        case kRelease:
            return h.flags == 0 && h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 &&
                   h.dataSize % kReleaseRecordSize == 0 && h.dataSize / kReleaseRecordSize <= kMaxReleasesPerFrame;
        case kDeath:
            return h.flags == 0 && h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 &&
                   h.dataSize / 4 <= kMaxDeathsPerFrame;
        case kMonitor:
            return h.flags == 0 && h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 && h.dataSize == 0;
        case kHello:
        case kJoin:
            return h.flags == 0 && h.fdCount == 0 && h.objectBytes == 0 && h.objectCount == 0 &&
                   h.dataSize == 0 && h.senderThread != 0;
        default:
            (void)bodyFlag;
            return false;
    }
}

namespace {

// Where a packet lands before its size is known: one per thread that reads.
uint8_t* packetScratch() noexcept {
    thread_local std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[kMaxInlineBody]);
    return scratch.get();
}

// Takes the descriptors of a received message into `fds`, the body file (the
// last one, when `bodyFile` is set) into *file; false when any was refused,
// cut off, or of the wrong count.
bool collectFds(msghdr& msg, FdSet& fds, bool bodyFile, int* file) noexcept {
    bool ok = (msg.msg_flags & MSG_CTRUNC) == 0;
    int received[kMaxFds + 1];
    uint32_t count = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (count < kMaxFds + 1) {
                received[count++] = fd;
            } else {
                ::close(fd);
                ok = false;
            }
        }
    }
    uint32_t calls = count;
    if (bodyFile) {
        if (count == 0) {
            ok = false;
        } else {
            *file = received[--calls];
        }
    }
    for (uint32_t i = 0; i < calls; ++i) {
        if (!fds.add(received[i])) ok = false;
    }
    return ok;
}

// Reads a body from a sealed memory file: it must be sealed against writes
// and resizing (so its bytes cannot change under the reader) and hold
// exactly `size` bytes. Reading it never blocks: such a file is memory.
bool readBodyFile(int file, PodVector<uint8_t>& body, size_t size) noexcept {
    const int seals = ::fcntl(file, F_GET_SEALS);
    constexpr int kRequired = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
    struct stat st{};
    if (seals < 0 || (seals & kRequired) != kRequired || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < 0 || static_cast<size_t>(st.st_size) != size || !body.resize(size)) {
        return false;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(file, body.data() + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Io receiveFrame(int socket, FramePtr* out) noexcept {
    FramePtr frame(newFrame());
    uint8_t* scratch = packetScratch();
    if (frame == nullptr || scratch == nullptr) return Io::kBroken;
    iovec iov[2] = {{&frame->header, sizeof(FrameHeader)}, {scratch, kMaxInlineBody}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (kMaxFds + 1))];
    msghdr msg{};
    ssize_t n;
    for (;;) {
        msg = msghdr{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        n = ::recvmsg(socket, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::kAgain;
        return Io::kBroken;
    }
    const bool bodyFile = static_cast<size_t>(n) >= sizeof(FrameHeader) &&
                          (frame->header.flags & kFlagBodyInFile) != 0;
    int file = -1;
    const bool fdsOk = collectFds(msg, frame->fds, bodyFile, &file);
    struct FileCloser {
        int fd;
        ~FileCloser() {
            if (fd >= 0) ::close(fd);
        }
    } closer{file};
    if (n == 0 || !fdsOk || (msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) < sizeof(FrameHeader) ||
        !checkHeader(frame->header, frame->fds.size())) {
        return Io::kBroken;
    }
    const size_t bodySize = size_t{frame->header.dataSize} + frame->header.objectBytes;
    const size_t inlineBytes = static_cast<size_t>(n) - sizeof(FrameHeader);
    if (bodyFile) {
        // Only a body that could not travel inline comes in a file.
        if (inlineBytes != 0 || bodySize <= kMaxInlineBody || !readBodyFile(file, frame->body, bodySize)) {
            return Io::kBroken;
        }
    } else {
        if (inlineBytes != bodySize || !frame->body.resize(bodySize)) return Io::kBroken;
        if (bodySize > 0) std::memcpy(frame->body.data(), scratch, bodySize);
    }
    *out = std::move(frame);
    return Io::kDone;
}

namespace {

// A sealed memory file holding the body; -1 when one cannot be made.
int makeBodyFile(const uint8_t* data, size_t dataSize, const uint8_t* objects, size_t objectBytes) noexcept {
    const int file = ::memfd_create("bgs-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) return -1;
    iovec parts[2] = {{const_cast<uint8_t*>(data), dataSize}, {const_cast<uint8_t*>(objects), objectBytes}};
    size_t total = dataSize + objectBytes;
    size_t done = 0;
    while (done < total) {
        // Skip what is written already.
        iovec rest[2];
        int count = 0;
        size_t skip = done;
        for (const iovec& part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            rest[count++] = iovec{static_cast<uint8_t*>(part.iov_base) + skip, part.iov_len - skip};
            skip = 0;
        }
        const ssize_t n = ::pwritev(file, rest, count, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(file);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (::fcntl(file, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        ::close(file);
        return -1;
    }
    return file;
}

}  // namespace

Io sendFrame(int socket, const FrameHeader& header, const uint8_t* data, const uint8_t* objects, const int* fds,
             uint32_t fdCount) noexcept {
    const size_t bodySize = size_t{header.dataSize} + header.objectBytes;
    FrameHeader h = header;
    int all[kMaxFds + 1];
    uint32_t count = 0;
    for (uint32_t i = 0; i < fdCount && i < kMaxFds; ++i) all[count++] = fds[i];
    int file = -1;
    iovec iov[3];
    int iovCount = 0;
    iov[iovCount++] = iovec{&h, sizeof h};
    if (bodySize > kMaxInlineBody) {
        file = makeBodyFile(data, header.dataSize, objects, header.objectBytes);
        if (file < 0) return Io::kBroken;
        h.flags |= kFlagBodyInFile;
        all[count++] = file;
    } else {
        if (header.dataSize > 0) iov[iovCount++] = iovec{const_cast<uint8_t*>(data), header.dataSize};
        if (header.objectBytes > 0) iov[iovCount++] = iovec{const_cast<uint8_t*>(objects), header.objectBytes};
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (kMaxFds + 1))];
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(iovCount);
    if (count > 0) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * count);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * count);
        std::memcpy(CMSG_DATA(c), all, sizeof(int) * count);
    }
    ssize_t n;
    do {
        n = ::sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (file >= 0) ::close(file);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::kAgain;
    // A packet goes whole or not at all.
    return n == static_cast<ssize_t>(sizeof h + (file >= 0 ? 0 : bodySize)) ? Io::kDone : Io::kBroken;
}

bool waitReady(int socket, short events, uint64_t deadline) noexcept {
    pollfd p{socket, events, 0};
    timespec left{};
    timespec* timeout = nullptr;
    if (deadline != kNoDeadline) {
        const uint64_t now = monotonicNs();
        const uint64_t ns = deadline > now ? deadline - now : 0;
        left.tv_sec = static_cast<time_t>(ns / 1000000000u);
        left.tv_nsec = static_cast<long>(ns % 1000000000u);
        timeout = &left;
    }
    // Nanosecond timeouts: a serving thread's short wait for the next call
    // on its channel is not rounded up to a millisecond.
    const int n = ::ppoll(&p, 1, timeout, nullptr);
    if (n > 0) return true;
    if (n < 0 && errno == EINTR) return monotonicNs() < deadline;
    return false;
}

}  // namespace wire
}  // namespace binder_ndk::internal
