#include "DeadlineWrite.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bgs::examples {
namespace {

using Clock = std::chrono::steady_clock;

// Closes a descriptor this file opened.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : mFd(fd) {}
    ~OwnedFd() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return mFd; }

  private:
    const int mFd;
};

// How one attempt to write is made on a kind of file.
enum class Mode {
    kDirect,        // a plain write; for files that never wait on a reader
    kNonBlocking,   // the descriptor is non-blocking itself
    kSocket,        // send(MSG_DONTWAIT)
    kPollThenWrite, // poll POLLOUT, then at most PIPE_BUF bytes
};

// One attempt to write: the bytes taken, or -1 with errno.
ssize_t attempt(int fd, Mode mode, const char* data, size_t size) {
    if (mode == Mode::kSocket) {
        return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return ::write(fd, data, size);
}

WriteOutcome writeLoop(int fd, Mode mode, std::string_view text, Clock::time_point deadline, size_t* done) {
    // kPollThenWrite may write only right after poll reported room.
    bool mayWrite = mode != Mode::kPollThenWrite;
    while (*done < text.size()) {
        if (mayWrite) {
            const size_t rest = text.size() - *done;
            const ssize_t n = attempt(fd, mode, text.data() + *done,
                                      mode == Mode::kDirect ? rest : std::min<size_t>(rest, PIPE_BUF));
            if (n > 0) {
                *done += static_cast<size_t>(n);
                mayWrite = mode != Mode::kPollThenWrite;
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EPIPE) {
                return WriteOutcome::kReaderGone;
            }
            if (mode == Mode::kDirect || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                return WriteOutcome::kFailed;
            }
        }
        // Full: wait for room, within what is left of the deadline.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return WriteOutcome::kTimedOut;
        }
        pollfd room{fd, POLLOUT, 0};
        const int ready = ::poll(&room, 1, static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            return WriteOutcome::kFailed;
        }
        if (ready <= 0) {
            continue;  // the deadline is checked above
        }
        if ((room.revents & POLLNVAL) != 0) {
            return WriteOutcome::kFailed;
        }
        if ((room.revents & POLLOUT) != 0) {
            mayWrite = true;
        } else if ((room.revents & (POLLERR | POLLHUP)) != 0) {
            return WriteOutcome::kReaderGone;
        }
    }
    return WriteOutcome::kWritten;
}

}  // namespace

WriteOutcome writeWithDeadline(int fd, std::string_view text, std::chrono::milliseconds timeout, size_t* written) {
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t ignored = 0;
    size_t* done = written != nullptr ? written : &ignored;
    *done = 0;
    struct stat file {};
    if (fd < 0 || ::fstat(fd, &file) != 0) {
        return WriteOutcome::kFailed;
    }
    if (S_ISREG(file.st_mode) || S_ISBLK(file.st_mode)) {
        return writeLoop(fd, Mode::kDirect, text, deadline, done);
    }
    if (S_ISSOCK(file.st_mode)) {
        return writeLoop(fd, Mode::kSocket, text, deadline, done);
    }
    if (S_ISFIFO(file.st_mode)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const OwnedFd own(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (own.get() >= 0) {
            return writeLoop(own.get(), Mode::kNonBlocking, text, deadline, done);
        }
        if (errno == ENXIO) {
            return WriteOutcome::kReaderGone;
        }
    }
    return writeLoop(fd, Mode::kPollThenWrite, text, deadline, done);
}

}  // namespace bgs::examples
