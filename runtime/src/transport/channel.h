// A channel carries frames between two processes. The socket is the first
// kind; a shared-memory ring can be another, below the same interface, so
// that nothing above it (sessions, object tables) changes.
#ifndef BINDER_NDK_INTERNAL_CHANNEL_H
#define BINDER_NDK_INTERNAL_CHANNEL_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "../wire/codec.h"

namespace binder_ndk::internal {

class Channel {
  public:
    virtual ~Channel() = default;
    // Non-blocking; see wire::sendFrame and wire::receiveFrame.
    virtual wire::Io send(const wire::FrameHeader& header, const uint8_t* data, const uint8_t* objects,
                          const int* fds, uint32_t fdCount) noexcept = 0;
    virtual wire::Io receive(FramePtr* frame) noexcept = 0;
    // Blocks the calling thread (a caller waiting for its own call) until
    // the channel can be read or written, or the deadline passes.
    virtual bool waitReadable(uint64_t deadline) noexcept = 0;
    virtual bool waitWritable(uint64_t deadline) noexcept = 0;
    // Whether the other end has hung up, waiting for it until `deadline`
    // (reads nothing).
    virtual bool hungUp(uint64_t deadline = 0) noexcept = 0;
    // The descriptor the event loop watches for this channel.
    virtual int pollFd() const noexcept = 0;
    // Wakes every thread blocked on the channel; later operations fail.
    virtual void shutdown() noexcept = 0;
};

// A Unix sequenced-packet socket; owns the descriptor.
class SocketChannel final : public Channel {
  public:
    explicit SocketChannel(int fd) noexcept : fd_(fd) {}
    ~SocketChannel() override;
    wire::Io send(const wire::FrameHeader& header, const uint8_t* data, const uint8_t* objects, const int* fds,
                  uint32_t fdCount) noexcept override {
        return wire::sendFrame(fd_, header, data, objects, fds, fdCount);
    }
    wire::Io receive(FramePtr* frame) noexcept override { return wire::receiveFrame(fd_, frame); }
    bool waitReadable(uint64_t deadline) noexcept override;
    bool waitWritable(uint64_t deadline) noexcept override;
    bool hungUp(uint64_t deadline = 0) noexcept override;
    int pollFd() const noexcept override { return fd_; }
    void shutdown() noexcept override;
    // After fork() the descriptor is closed already and its number may be
    // reused: the channel must not close it again.
    void forget() noexcept { fd_ = -1; }

  private:
    int fd_;
};

// Connects a non-blocking sequenced-packet socket to the abstract address
// `address` and reads the peer's credentials from the kernel. A full
// backlog is retried until `deadline`. -1 on failure (ECONNREFUSED: nothing
// listens there).
int connectTo(const std::string& address, uint64_t deadline, ucred* peer) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_CHANNEL_H
