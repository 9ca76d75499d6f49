// Socket channels and connecting to a listener.
#include "../base/public_api.h"

#include "channel.h"

#include <poll.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "../base/clock.h"
#include "../base/fork.h"

namespace binder_ndk::internal {

SocketChannel::~SocketChannel() {
    if (fd_ >= 0) {
        untrackFd(fd_);
        ::close(fd_);
    }
}

bool SocketChannel::waitReadable(uint64_t deadline) noexcept { return wire::waitReady(fd_, POLLIN, deadline); }
bool SocketChannel::waitWritable(uint64_t deadline) noexcept { return wire::waitReady(fd_, POLLOUT, deadline); }

bool SocketChannel::hungUp(uint64_t deadline) noexcept {
    for (;;) {
        pollfd p{fd_, POLLRDHUP, 0};
        const int n = ::poll(&p, 1, deadline == 0 ? 0 : pollTimeoutMs(deadline));
        if (n > 0) return (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
        if (n == 0 || errno != EINTR || monotonicNs() >= deadline) return false;
    }
}

void SocketChannel::shutdown() noexcept {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

int connectTo(const std::string& address, uint64_t deadline, ucred* peer) noexcept {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (address.empty() || address.size() > sizeof where.sun_path - 1) return -1;
    std::memcpy(where.sun_path + 1, address.data(), address.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    // A Unix socket connects at once or, with the listener's backlog full,
    // fails with EAGAIN: that is retried, with growing pauses, until the
    // deadline.
    long pauseUs = 100;
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), length) == 0) break;
        if (errno != EAGAIN && errno != EINTR) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        if (monotonicNs() >= deadline) {
            ::close(fd);
            errno = ETIMEDOUT;
            return -1;
        }
        const timespec pause{0, pauseUs * 1000};
        ::nanosleep(&pause, nullptr);
        if (pauseUs < 20000) pauseUs *= 2;
    }
    socklen_t credLength = sizeof *peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &credLength) != 0 || credLength != sizeof *peer) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace binder_ndk::internal
