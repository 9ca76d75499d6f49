// Monitors of this process, and attaching to another process as one.
#include "../base/public_api.h"

#include "monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <bgs/monitor.h>

#include "../base/clock.h"
#include "../base/fork.h"
#include "../registry/registry.h"
#include "../transport/channel.h"
#include "../transport/trace.h"
#include "../wire/codec.h"

namespace binder_ndk::internal {
namespace {

// The kernel memory one monitor's socket may hold; the records beyond wait
// in its queue, and beyond that are counted as lost.
constexpr int kMonitorSendBuffer = 32 << 10;
// Packets sent per readiness report, so that one monitor cannot hold the
// loop from the process's sessions.
constexpr int kPacketsPerTurn = 4;
constexpr uint64_t kHandshakeNs = 2000 * kNsPerMs;

// One attached monitor. The loop watches its socket: for writing while
// records wait, for reading always (a monitor sends nothing after its
// first frame: anything readable is its hang-up, or a fault; either way it
// is detached). It owns itself from attaching until it is detached, on the
// loop's thread.
class Monitor final : public MonitorQueue, public IoWatcher {
  public:
    Monitor(SessionHost& host, int fd) noexcept : host_(host), fd_(fd) {}

    bool attach(const std::shared_ptr<Monitor>& self) noexcept {
        watchId_.store(host_.watch(fd_, EPOLLIN, self), std::memory_order_relaxed);
        if (watchId_.load(std::memory_order_relaxed) == 0) return false;
        if (!tapAttach(this)) {
            host_.unwatch(watchId_.load(std::memory_order_relaxed), fd_);
            return false;
        }
        self_ = self;
        return true;
    }

    void onReady(uint64_t, uint32_t events) noexcept override {
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0) {
            detach();
            return;
        }
        if ((events & EPOLLOUT) == 0) return;
        BgsMonitorRecord batch[BGS_MONITOR_RECORDS_PER_PACKET];
        for (int packet = 0; packet < kPacketsPerTurn; ++packet) {
            const size_t count = peek(batch, BGS_MONITOR_RECORDS_PER_PACKET);
            if (count == 0) return;
            const ssize_t sent = ::send(fd_, batch, count * sizeof batch[0], MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && (errno == EAGAIN || errno == EINTR)) return;  // still armed for writing
            if (sent != static_cast<ssize_t>(count * sizeof batch[0])) {
                detach();
                return;
            }
            consume(count);
        }
    }

  protected:
    bool trySend(const BgsMonitorRecord& record) noexcept override {
        return ::send(fd_, &record, sizeof record, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof record);
    }
    void setPending(bool pending) noexcept override {
        host_.rewatch(watchId_.load(std::memory_order_relaxed), fd_, pending ? EPOLLIN | EPOLLOUT : EPOLLIN);
    }

  private:
    void detach() noexcept {
        if (self_ == nullptr) return;
        tapDetach(this);
        host_.unwatch(watchId_.load(std::memory_order_relaxed), fd_);
        untrackFd(fd_);
        ::close(fd_);
        // The loop holds this object until onReady returns.
        self_.reset();
    }

    SessionHost& host_;
    const int fd_;
    // Read by transaction threads (setPending) once attached.
    std::atomic<uint64_t> watchId_{0};
    std::shared_ptr<Monitor> self_;
};

void answer(int fd, wire::MonitorAnswer code) noexcept {
    wire::FrameHeader header = wire::makeHeader(wire::kMonitor);
    header.code = code;
    (void)wire::sendFrame(fd, header, nullptr, nullptr, nullptr, 0);
}

void refuse(int fd, wire::MonitorAnswer code) noexcept {
    answer(fd, code);
    untrackFd(fd);
    ::close(fd);
}

// The abstract address process `pid` listens on, from the kernel's table of
// Unix sockets: a listening one named "bgs.<pid>.<hex>".
bool listenerOf(pid_t pid, std::string* address) noexcept {
    FILE* table = std::fopen("/proc/net/unix", "re");
    if (table == nullptr) return false;
    char prefix[32];
    const int prefixLength = std::snprintf(prefix, sizeof prefix, "@bgs.%d.", static_cast<int>(pid));
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned flags = 0;
        unsigned type = 0;
        char path[128] = {};
        // Num RefCount Protocol Flags Type St Inode Path
        if (std::sscanf(line, "%*s %*x %*x %x %x %*x %*u %127s", &flags, &type, path) != 3) continue;
        if ((flags & 0x10000u) == 0 || type != SOCK_SEQPACKET) continue;  // listening, sequenced-packet
        if (std::strncmp(path, prefix, static_cast<size_t>(prefixLength)) != 0) continue;
        const char* nonce = path + prefixLength;
        const size_t nonceLength = std::strlen(nonce);
        if (nonceLength == 0 || nonceLength > 16 || std::strspn(nonce, "0123456789abcdef") != nonceLength) continue;
        try {
            address->assign(path + 1);
            found = true;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    std::fclose(table);
    return found;
}

// Sends the monitor frame on `fd` and reads the answer by `deadline`: a
// BGS_MONITOR_* code, 0 when accepted.
int handshake(int fd, uint64_t deadline) noexcept {
    if (wire::sendFrame(fd, wire::makeHeader(wire::kMonitor), nullptr, nullptr, nullptr, 0) != wire::Io::kDone) {
        return BGS_MONITOR_UNREACHABLE;
    }
    FramePtr reply;
    for (;;) {
        const wire::Io io = wire::receiveFrame(fd, &reply);
        if (io == wire::Io::kDone) break;
        if (io == wire::Io::kBroken) return BGS_MONITOR_UNREACHABLE;
        if (!wire::waitReady(fd, POLLIN, deadline) && monotonicNs() >= deadline) return BGS_MONITOR_UNREACHABLE;
    }
    if (reply->header.kind != wire::kMonitor) return BGS_MONITOR_UNREACHABLE;
    switch (reply->header.code) {
        case wire::kMonitorAccepted:
            return 0;
        case wire::kMonitorBusy:
            return BGS_MONITOR_BUSY;
        case wire::kMonitorNotPermitted:
            return BGS_MONITOR_NOT_PERMITTED;
        default:
            return BGS_MONITOR_UNREACHABLE;
    }
}

}  // namespace

void acceptMonitor(SessionHost& host, int fd, const ucred& peer) noexcept {
    // Monitors see every peer's pid and interfaces: only the process's own
    // user may attach, even where other users may call.
    if (peer.uid != ::geteuid()) {
        refuse(fd, wire::kMonitorNotPermitted);
        return;
    }
    std::shared_ptr<Monitor> monitor;
    try {
        monitor = std::make_shared<Monitor>(host, fd);
    } catch (const std::bad_alloc&) {
        refuse(fd, wire::kMonitorBusy);
        return;
    }
    const int buffer = kMonitorSendBuffer;
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    // The answer goes before any record: records are sent by this thread,
    // after this returns.
    if (!monitor->attach(monitor)) {
        refuse(fd, wire::kMonitorBusy);
        return;
    }
    answer(fd, wire::kMonitorAccepted);
}

}  // namespace binder_ndk::internal

int BgsMonitor_connect(const char* serviceName, pid_t pid, int32_t waitMs, pid_t* watchedPid) {
    using namespace binder_ndk::internal;
    if (watchedPid == nullptr || (serviceName == nullptr) == (pid <= 0)) return BGS_MONITOR_BAD_ARGUMENT;
    *watchedPid = 0;
    ServiceEndpoint endpoint;
    if (serviceName != nullptr) {
        if (!isValidServiceName(serviceName)) return BGS_MONITOR_BAD_ARGUMENT;
        const bool found = waitMs == 0 ? registryLookup(serviceName, &endpoint)
                                       : registryWait(serviceName, waitMs, std::string(), &endpoint);
        if (!found) return BGS_MONITOR_NOT_SERVED;
    } else {
        endpoint.pid = pid;
        if (!listenerOf(pid, &endpoint.address)) return BGS_MONITOR_NO_LISTENER;
    }
    *watchedPid = endpoint.pid;
    // The calling thread's call deadline bounds the handshake as it bounds a
    // call; without one, the handshake still ends after kHandshakeNs.
    const int32_t callTimeoutMs = AIBinder_getCallTimeoutMs();
    const uint64_t deadline =
            monotonicNs() + (callTimeoutMs >= 0 ? static_cast<uint64_t>(callTimeoutMs) * kNsPerMs : kHandshakeNs);
    ucred peer{};
    const int fd = connectTo(endpoint.address, deadline, &peer);
    if (fd < 0) {
        if (monotonicNs() >= deadline) return BGS_MONITOR_TIMED_OUT;
        const bool gone = errno == ECONNREFUSED || errno == ENOENT;
        return !gone ? BGS_MONITOR_UNREACHABLE : serviceName != nullptr ? BGS_MONITOR_NOT_SERVED
                                                                       : BGS_MONITOR_NO_LISTENER;
    }
    // The listener must be the process named, of this user: an abstract
    // name can be taken by anyone.
    int result = peer.pid == endpoint.pid && peer.uid == ::geteuid() ? handshake(fd, deadline)
                                                                      : BGS_MONITOR_UNREACHABLE;
    const int flags = ::fcntl(fd, F_GETFL);
    if (result == 0 && (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) result = BGS_MONITOR_UNREACHABLE;
    if (result != 0) {
        ::close(fd);
        return result == BGS_MONITOR_UNREACHABLE && monotonicNs() >= deadline ? BGS_MONITOR_TIMED_OUT : result;
    }
    return fd;
}
