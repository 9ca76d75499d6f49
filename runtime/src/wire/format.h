// The framing of messages between two processes (docs/runtime.md).
//
// A session is one or more Unix sequenced-packet sockets. Each message
// (frame) is exactly one packet: a fixed header, then the body (the parcel's
// data bytes, then its object table). A body larger than kMaxInlineBody
// travels in a sealed memory file passed with the packet, so a frame is
// always read whole by one non-blocking call and never waits half-read.
// Descriptors travel as SCM_RIGHTS with the packet.
// Every integer is little-endian; the runtime only builds on little-endian
// hosts.
#ifndef BINDER_NDK_INTERNAL_WIRE_FORMAT_H
#define BINDER_NDK_INTERNAL_WIRE_FORMAT_H

#include <cstddef>
#include <cstdint>

#include <bgs/monitor.h>

namespace binder_ndk::internal::wire {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are written in host order");

// "BGF2": the magic word, whose last byte is the protocol version.
constexpr uint32_t kFrameMagic = 0x32464742;

enum FrameKind : uint32_t {
    kTransaction = 1,  // a call on an object of the receiver
    kReply = 2,        // the answer to a two-way transaction
    kRelease = 3,      // the sender gives back references it was sent: per object
                       // (handle, arrivals given back, references sent back to
                       // the owner since its last release of the handle)
    kHello = 4,        // first frame of a session; senderThread is its token.
                       // Answered with a hello whose code is a HelloAnswer.
    kJoin = 5,         // first frame of a channel; senderThread names the session's token
    kDeath = 6,        // objects the sender relayed from a third process that died:
                       // one handle of the receiver's import table per word
    kMonitor = 7,      // first frame of a monitor connection; answered with a monitor
                       // frame whose code is a MonitorAnswer. Accepted, the connection
                       // then carries packets of BgsMonitorRecord (bgs/monitor.h) one way.
};

enum MonitorAnswer : uint32_t {
    kMonitorAccepted = 0,
    kMonitorBusy = 1,          // BGS_MONITOR_MAX monitors are attached
    kMonitorNotPermitted = 2,  // the peer is not of this process's effective user
};

enum HelloAnswer : uint32_t {
    kHelloAccepted = 0,
    // The two processes already share a session (or are opening one the
    // other way, and the lower pid's wins): the connecting side uses that.
    kHelloDuplicate = 1,
    // The accepting process does not talk to the connecting process's user
    // (ABinderProcess_allowPeerUid); the connection is closed after this answer.
    kHelloRefusedUser = 2,
};

// Bits of FrameHeader::flags beyond FLAG_ONEWAY.
constexpr uint32_t kFlagBodyInFile = 0x100;  // the body is in the packet's last descriptor

struct FrameHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t dataSize;     // parcel bytes of the body
    uint32_t objectBytes;  // bytes of the object table after the data
    uint32_t objectCount;
    uint32_t fdCount;      // descriptors carried for the call (not counting a body file)
    uint32_t handle;       // transaction: the target in the receiver's export table (0: the process)
    uint32_t code;         // transaction: its code; reply: its status; hello answer: a HelloAnswer
    uint32_t flags;        // transaction: FLAG_ONEWAY or 0; kFlagBodyInFile
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
    kSenderObjectDead = 3,  // as kSenderObject, for an object the sender knows is gone
};

static_assert(sizeof(BgsMonitorRecord) == 256, "a monitor record is packed by construction");

// A packet never exceeds this; a larger body travels in a file.
constexpr size_t kMaxPacket = size_t{64} << 10;
constexpr size_t kMaxInlineBody = kMaxPacket - sizeof(FrameHeader);

// Limits, checked before anything is allocated for a frame.
constexpr size_t kMaxTransactionData = size_t{1} << 20;
constexpr size_t kMaxDescriptorLength = 1024;
constexpr size_t kMaxObjectBytes = size_t{1} << 20;
constexpr uint32_t kMaxFds = 4;
constexpr size_t kReleaseRecordSize = 12;
constexpr uint32_t kMaxReleasesPerFrame = 4096;
constexpr uint32_t kMaxDeathsPerFrame = 4096;
// Channels one session opens; the other side accepts at most this many too.
constexpr size_t kMaxChannels = 32;

// Codes of runtime requests. Interface codes stop at LAST_CALL_TRANSACTION.
constexpr uint32_t kPingTransaction = 0x5f504e47;        // "_PNG"
constexpr uint32_t kDumpTransaction = 0x5f444d50;        // "_DMP": args; fd 0 is the output
constexpr uint32_t kShellTransaction = 0x5f434d44;       // "_CMD": args; fds in, out, err
constexpr uint32_t kGetServiceTransaction = 0x5f475356;  // "_GSV" on handle 0: name -> binder

// How many descriptors a transaction of `code` carries; every other frame
// carries none.
constexpr uint32_t fdsTakenBy(uint32_t code) noexcept {
    return code == kDumpTransaction ? 1 : code == kShellTransaction ? 3 : 0;
}

}  // namespace binder_ndk::internal::wire

#endif  // BINDER_NDK_INTERNAL_WIRE_FORMAT_H
