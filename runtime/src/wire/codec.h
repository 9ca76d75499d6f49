// Frames in memory and on a socket: the one header builder, the checks every
// received header passes, and non-blocking packet I/O.
#ifndef BINDER_NDK_INTERNAL_WIRE_CODEC_H
#define BINDER_NDK_INTERNAL_WIRE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../base/pod_vector.h"
#include "format.h"

namespace binder_ndk::internal {

// Descriptors received with a frame or queued to go with one; closed when
// the set goes.
class FdSet {
  public:
    FdSet() noexcept = default;
    ~FdSet();
    FdSet(const FdSet&) = delete;
    FdSet& operator=(const FdSet&) = delete;
    // False (and `fd` closed) when the set is full.
    bool add(int fd) noexcept;
    // Closes every descriptor held.
    void clear() noexcept;
    uint32_t size() const noexcept { return count_; }
    const int* data() const noexcept { return fds_; }
    int operator[](uint32_t i) const noexcept { return fds_[i]; }

  private:
    int fds_[wire::kMaxFds] = {};
    uint32_t count_ = 0;
};

// One message: its header, its body (data, then object table) and the
// descriptors that came or go with it.
struct Frame {
    wire::FrameHeader header{};
    PodVector<uint8_t> body;
    FdSet fds;
    // What the frame costs while it waits in a queue: its body's capacity
    // plus its own size.
    size_t footprint() const noexcept { return sizeof(Frame) + body.capacity(); }
};

// Frames come from a per-thread cache of emptied frames that keep their
// body buffers (up to 64 KiB), so that reading a message costs no
// allocation once a thread has read a few; null when memory runs out.
Frame* newFrame() noexcept;
void recycleFrame(Frame* frame) noexcept;
struct FrameRecycler {
    void operator()(Frame* frame) const noexcept { recycleFrame(frame); }
};
using FramePtr = std::unique_ptr<Frame, FrameRecycler>;

namespace wire {

// A header of `kind` with the magic word set and every other field zero.
inline FrameHeader makeHeader(FrameKind kind) noexcept {
    FrameHeader header{};
    header.magic = kFrameMagic;
    header.kind = kind;
    return header;
}

// Whether a received header is well formed for its kind, with `fdsReceived`
// call descriptors beside it. Sizes are checked against the limits, so a
// body of the announced size may be allocated afterwards.
bool checkHeader(const FrameHeader& header, uint32_t fdsReceived) noexcept;

enum class Io { kDone, kAgain, kBroken };

// Reads one frame without blocking: kAgain when no packet is waiting,
// kBroken for a closed socket or a malformed packet (a bad header, a cut or
// oversize packet, stray descriptors, a body file that is not sealed or not
// of the announced size).
Io receiveFrame(int socket, FramePtr* out) noexcept;

// Sends one frame as one packet without blocking (kAgain: the socket's
// buffer is full; nothing was sent). A body over kMaxInlineBody goes in a
// sealed memory file. `fds` are duplicated by the kernel and stay the
// caller's. The header's dataSize and objectBytes must match the spans.
Io sendFrame(int socket, const FrameHeader& header, const uint8_t* data, const uint8_t* objects,
             const int* fds, uint32_t fdCount) noexcept;

// Waits until `socket` is ready for `events` (POLLIN/POLLOUT) or the
// deadline passes; false on timeout. EINTR does not restart the wait.
bool waitReady(int socket, short events, uint64_t deadline) noexcept;

}  // namespace wire
}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_WIRE_CODEC_H
