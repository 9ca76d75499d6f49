// The framing of messages between two processes (docs/runtime.md).
//
// A session is one Unix sequenced-packet socket. Each message (frame) is a
// fixed header followed by a body: the parcel's data bytes, then its object
// table. A frame is cut into packets of at most kMaxPacket bytes, every one
// full but the last, so a small frame is one packet and one system call on
// each side. The descriptors a frame carries travel as SCM_RIGHTS with its
// first packet.
// Every integer is little-endian; the runtime only builds on little-endian
// hosts.
#ifndef BINDER_NDK_INTERNAL_WIRE_H
#define BINDER_NDK_INTERNAL_WIRE_H

#include <cstddef>
#include <cstdint>

namespace binder_ndk::internal::wire {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are written in host order");

// "BGF1": the magic word, whose last byte is the protocol version.
constexpr uint32_t kFrameMagic = 0x31464742;

enum FrameKind : uint32_t {
    kTransaction = 1,  // a call on an object of the receiver
    kReply = 2,        // the answer to a two-way transaction
    kRelease = 3,      // the sender gives back references it was sent: per object
                       // (handle, arrivals given back, references sent back to
                       // the owner since its last release of the handle)
    kHello = 4,        // first frame of a session; senderThread is its token
    kJoin = 5,         // first frame of a channel; senderThread names the session's token
};

struct FrameHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t dataSize;     // parcel bytes that follow the header
    uint32_t objectBytes;  // bytes of the object table that follow the data
    uint32_t objectCount;
    uint32_t fdCount;      // descriptors attached to this frame
    uint32_t handle;       // transaction: the target in the receiver's export table (0: the process)
    uint32_t code;         // transaction: its code; reply: its status
    uint32_t flags;        // transaction: FLAG_ONEWAY or 0
    uint32_t seq;          // transaction: the sender thread's call number; reply: echoed
    uint64_t senderThread; // transaction: the sending thread, for its reply and nested calls
    uint64_t targetThread; // transaction: a thread of the receiver waiting in a call to the
                           // sender (a nested call), or 0; reply: the calling thread
};
static_assert(sizeof(FrameHeader) == 56, "the header is packed by construction");

// One object reference in the table; a descriptor of `descriptorLength`
// bytes follows, padded to 4 bytes.
struct ObjectRecord {
    uint32_t offset;  // where its 8-byte entry lies in the data
    uint32_t kind;
    uint32_t handle;
    uint32_t descriptorLength;
};
static_assert(sizeof(ObjectRecord) == 16, "packed by construction");

enum ObjectKind : uint32_t {
    kSenderObject = 1,    // in the sender's export table; the descriptor follows
    kReceiverObject = 2,  // in the receiver's export table: an object coming home
};

constexpr size_t kMaxPacket = size_t{64} << 10;

// Limits, checked before anything is allocated for a frame.
constexpr size_t kMaxTransactionData = size_t{1} << 20;
constexpr size_t kMaxDescriptorLength = 1024;
constexpr size_t kMaxObjectBytes = size_t{1} << 20;
constexpr uint32_t kMaxFds = 4;
constexpr size_t kReleaseRecordSize = 12;
constexpr uint32_t kMaxReleasesPerFrame = 4096;
// A peer that stalls in the middle of a frame, or stops reading ours, for
// this long is treated as broken.
constexpr int kStallSeconds = 5;
// Channels of one session; a caller finding none free uses the primary socket.
constexpr size_t kMaxChannels = 32;
// Frames of one peer read but not yet handled (one-way calls waiting for
// their object, calls waiting for a thread).
constexpr size_t kMaxQueuedBytes = size_t{64} << 20;

// Codes of runtime requests. Interface codes stop at LAST_CALL_TRANSACTION.
constexpr uint32_t kPingTransaction = 0x5f504e47;        // "_PNG"
constexpr uint32_t kDumpTransaction = 0x5f444d50;        // "_DMP": args; fd 0 is the output
constexpr uint32_t kShellTransaction = 0x5f434d44;       // "_CMD": args; fds in, out, err
constexpr uint32_t kGetServiceTransaction = 0x5f475356;  // "_GSV" on handle 0: name -> binder

}  // namespace binder_ndk::internal::wire

#endif  // BINDER_NDK_INTERNAL_WIRE_H
