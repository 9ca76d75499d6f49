// Session fuzzer: the input is what a hostile peer process sends to a
// service. The fuzzer process serves a test service through the runtime (a
// private registry directory, the service published, the thread pool
// started) and speaks to the service's listener over raw sequenced-packet
// sockets, as another process would (docs/runtime.md, runtime/src/wire.h).
//
// Input layout: byte 0 holds start flags, then records follow until the
// input ends.
//   start bit 0  first a valid hello on the primary socket (a fresh random
//                token per input), waiting for its echo, so that deeper
//                frames are reached
//   start bit 1  then a valid getService request for the test service,
//                waiting for the reply: the service becomes handle 1
//   record       op (1 byte), length (2 bytes, little-endian), for a padded
//                packet a head count (1 byte), then the packet's bytes
//   op bits 0-1  the socket: 0 primary, 1 and 2 two more sockets (channels,
//                once joined), 3 a fresh socket each time (at most 8 in all);
//                each is connected to the listener on first use
//   op bit 2     64 KiB added to the length; a packet is at most 70 KiB
//   op bit 3     padded: the next `head count` bytes, then zeros up to the
//                length (otherwise the next `length` bytes, fewer at the end)
//   op bits 4-5  descriptors (of /dev/null) sent with the packet, 0 to 3
//   op bit 6     an answer: wait for a call from the service on that socket
//                and send the packet as its reply, its seq and targetThread
//                taken from the call
//   op bit 7     the input's token is written into the senderThread field
// Sends do not block; a failed send ends the sending on that socket. After
// the script the peer reads until no answer is due and nothing arrives for a
// few milliseconds, then closes every socket. Every wait is bounded (20 ms by
// default), and so are all the waits of one input together.
//
// Checked beyond "no crash": after every input a well-behaved client, on a
// session of its own kept open since the start, gets a ping answered; every
// 64 inputs a new client connects and is served; every 256 inputs the
// process holds no more descriptors than the runtime's sessions explain.
// Any failure aborts.
//
// Without BGS_FUZZER_NO_MAIN the file has a main: `--seeds` runs the
// built-in seeds, `--write-seeds DIR` writes them as a corpus, and file
// arguments are replayed.
#include "session_fuzzer.h"

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>
#include <android/binder_parcel.h>
#include <android/binder_process.h>
#include <android/binder_status.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"

namespace {

using bgs_fuzz::Bytes;
using bgs_fuzz::Data;
using bgs_fuzz::frameBytes;
using bgs_fuzz::header;
using bgs_fuzz::headerOnly;
using bgs_fuzz::kHeaderSize;
using bgs_fuzz::nowMs;
using bgs_fuzz::objectRecord;
using bgs_fuzz::randomToken;
using bgs_fuzz::readHeader;
namespace wire = bgs_fuzz::wire;

constexpr char kServiceName[] = "bgs.fuzz.session";
constexpr char kDescriptor[] = "bgs.fuzz.ISessionEcho";

// The test service's codes.
enum : transaction_code_t {
    kEchoInt32 = FIRST_CALL_TRANSACTION,
    kEchoString,
    kEchoBinder,
    kCallBack,  // binder, code, flags: calls the peer's binder back; replies with the status
    kNewObject,
};

constexpr uint8_t kStartHello = 0x01;
constexpr uint8_t kStartGetService = 0x02;
constexpr uint8_t kOpSocketMask = 0x03;
constexpr uint8_t kOpFreshSocket = 0x03;
constexpr uint8_t kOpPlus64K = 0x04;
constexpr uint8_t kOpPadded = 0x08;
constexpr int kOpFdShift = 4;
constexpr uint8_t kOpAnswer = 0x40;
constexpr uint8_t kOpStamp = 0x80;

constexpr size_t kMaxPacketBytes = size_t{70} << 10;
constexpr size_t kMaxScriptBytes = size_t{384} << 10;
constexpr size_t kMaxSockets = 8;
// One input waits at most this many times the limit in all (a script of many
// answers to calls that never come must not pass for a hang).
constexpr uint64_t kLimitsPerInput = 10;
constexpr int kProbeTimeoutMs = 2000;
constexpr unsigned kNewClientEvery = 64;
constexpr unsigned kDescriptorCheckEvery = 256;
// Descriptors a few sessions still being torn down may hold.
constexpr int kDescriptorSlack = 64;

int gQuietMs = 2;
int gLimitMs = 20;
bgs_fuzz::SessionOutcome gOutcome;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "session_fuzzer: %s\n", what);
    std::abort();
}

// ---- The test service ----

AIBinder_Class* gClass = nullptr;

void* serviceCreate(void* args) { return args; }
void serviceDestroy(void*) {}

struct ReadString {
    std::string text;
    bool null = false;
};

bool allocateString(void* data, int32_t length, char** buffer) {
    auto* out = static_cast<ReadString*>(data);
    out->null = length < 0;
    if (length > 0) {
        out->text.resize(static_cast<size_t>(length));
        *buffer = out->text.data();
    }
    return true;
}

// Calls the peer's binder back, with this object in the request, and reads
// what its reply holds. Only a binder of the peer is called: a local one
// would run the service's own function again.
binder_status_t callBack(AIBinder* self, AIBinder* target, int32_t code, int32_t flags) {
    if (!AIBinder_isRemote(target) || !AIBinder_associateClass(target, gClass)) return STATUS_BAD_TYPE;
    AParcel* request = nullptr;
    binder_status_t status = AIBinder_prepareTransaction(target, &request);
    if (status != STATUS_OK) return status;
    AParcel_writeInt32(request, 7);
    AParcel_writeStrongBinder(request, self);
    AParcel* reply = nullptr;
    status = AIBinder_transact(target, static_cast<transaction_code_t>(code), &request, &reply,
                               static_cast<binder_flags_t>(flags) & FLAG_ONEWAY);
    if (reply != nullptr) {
        int32_t value = 0;
        AIBinder* returned = nullptr;
        (void)AParcel_readInt32(reply, &value);
        if (AParcel_readStrongBinder(reply, &returned) == STATUS_OK && returned != nullptr) {
            AIBinder_decStrong(returned);
        }
        AParcel_delete(reply);
    }
    return status;
}

binder_status_t serviceTransact(AIBinder* binder, transaction_code_t code, const AParcel* in, AParcel* out) {
    binder_status_t status = STATUS_OK;
    switch (code) {
        case kEchoInt32: {
            int32_t value = 0;
            status = AParcel_readInt32(in, &value);
            return status != STATUS_OK ? status : AParcel_writeInt32(out, value);
        }
        case kEchoString: {
            ReadString text;
            status = AParcel_readString(in, &text, allocateString);
            if (status != STATUS_OK) return status;
            if (text.null) return AParcel_writeString(out, nullptr, -1);
            const size_t length = text.text.empty() ? 0 : text.text.size() - 1;  // the allocator's room for a zero
            return AParcel_writeString(out, text.text.data(), static_cast<int32_t>(length));
        }
        case kEchoBinder: {
            AIBinder* echoed = nullptr;
            status = AParcel_readStrongBinder(in, &echoed);
            if (status != STATUS_OK) return status;
            status = AParcel_writeStrongBinder(out, echoed);
            if (echoed != nullptr) AIBinder_decStrong(echoed);
            return status;
        }
        case kCallBack: {
            AIBinder* target = nullptr;
            int32_t targetCode = 0;
            int32_t flags = 0;
            status = AParcel_readStrongBinder(in, &target);
            if (status == STATUS_OK) status = AParcel_readInt32(in, &targetCode);
            if (status == STATUS_OK) status = AParcel_readInt32(in, &flags);
            if (status == STATUS_OK && target == nullptr) status = STATUS_UNEXPECTED_NULL;
            if (status == STATUS_OK) status = AParcel_writeInt32(out, callBack(binder, target, targetCode, flags));
            if (target != nullptr) AIBinder_decStrong(target);
            return status;
        }
        case kNewObject: {
            AIBinder* fresh = AIBinder_new(gClass, nullptr);
            if (fresh == nullptr) return STATUS_NO_MEMORY;
            status = AParcel_writeStrongBinder(out, fresh);
            AIBinder_decStrong(fresh);
            return status;
        }
        default:
            return STATUS_UNKNOWN_TRANSACTION;
    }
}

binder_status_t serviceDump(AIBinder*, int fd, const char**, uint32_t numArgs) {
    const std::string text = "session fuzzer: " + std::to_string(numArgs) + " args\n";
    return ::write(fd, text.data(), text.size()) < 0 ? STATUS_UNKNOWN_ERROR : STATUS_OK;
}

binder_status_t serviceShell(AIBinder* binder, int, int out, int, const char** args, uint32_t numArgs) {
    return serviceDump(binder, out, args, numArgs);
}

// ---- The service and where it listens ----

const char* gDirectory = nullptr;  // the private registry

// The listener's address from the service's registry entry: the file
// "s-<16 hex digits of the 64-bit FNV-1a hash of the name>" holding the lines
// "bgs-registry 1", pid, address and name (runtime/src/registry.cpp).
std::string listenerAddress() {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : std::string(kServiceName)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char file[32];
    std::snprintf(file, sizeof file, "/s-%016llx", static_cast<unsigned long long>(hash));
    std::ifstream entry(std::string(gDirectory) + file);
    std::string header, pid, address, name;
    if (!std::getline(entry, header) || !std::getline(entry, pid) || !std::getline(entry, address) ||
        !std::getline(entry, name) || header != "bgs-registry 1" || pid != std::to_string(::getpid()) ||
        name != kServiceName) {
        return std::string();
    }
    return address;
}

struct Service {
    std::string address;
    int devNull = -1;
};

// Started on first use, so that merely loading the program (a test listing)
// publishes nothing.
const Service& service() {
    static const Service started = [] {
        gDirectory = bgs_fuzz::makePrivateRegistry("bgs-session-fuzz");
        if (gDirectory == nullptr) fail("no private registry directory");
        gClass = AIBinder_Class_define(kDescriptor, serviceCreate, serviceDestroy, serviceTransact);
        if (gClass == nullptr) fail("the service class could not be defined");
        AIBinder_Class_setOnDump(gClass, serviceDump);
        AIBinder_Class_setHandleShellCommand(gClass, serviceShell);
        AIBinder* binder = AIBinder_new(gClass, nullptr);
        if (binder == nullptr || AServiceManager_addService(binder, kServiceName) != EX_NONE) {
            fail("the test service could not be published");
        }
        AIBinder_decStrong(binder);  // the process keeps it while it serves it
        ABinderProcess_startThreadPool();
        Service result;
        result.address = listenerAddress();
        if (result.address.empty()) fail("the service's registry entry could not be read");
        result.devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (result.devNull < 0) fail("/dev/null could not be opened");
        return result;
    }();
    return started;
}

int connectToService() {
    const std::string& address = service().address;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const size_t length = std::min(address.size(), sizeof where.sun_path - 1);
    std::memcpy(where.sun_path + 1, address.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- Frames ----

// Body bytes of a frame still to come after its first packet of `size`
// bytes, as the runtime reads it: a frame continues only after a full packet.
size_t continuation(const wire::FrameHeader& h, size_t size) {
    const size_t body = size_t{h.dataSize} + h.objectBytes;
    const size_t first = size - kHeaderSize;
    return size == wire::kMaxPacket && first < body ? body - first : 0;
}

// ---- The well-behaved client ----

// Speaks the protocol correctly on a session of its own: hello, then pings
// on handle 0, each waiting for its reply.
class WellBehavedClient {
  public:
    WellBehavedClient() = default;
    ~WellBehavedClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    WellBehavedClient(const WellBehavedClient&) = delete;
    WellBehavedClient& operator=(const WellBehavedClient&) = delete;

    bool open() {
        fd_ = connectToService();
        const uint64_t token = randomToken();
        wire::FrameHeader hello = header(wire::kHello);
        hello.senderThread = token;
        return fd_ >= 0 && send(hello) && await([&](const wire::FrameHeader& h) {
                   return h.kind == wire::kHello && h.senderThread == token;
               });
    }

    bool ping() {
        wire::FrameHeader request = header(wire::kTransaction, 0, wire::kPingTransaction);
        request.seq = ++seq_;
        request.senderThread = kThread;
        return send(request) && await([&](const wire::FrameHeader& h) {
                   return h.kind == wire::kReply && h.seq == request.seq && h.targetThread == kThread &&
                          h.code == STATUS_OK;
               });
    }

  private:
    static constexpr uint64_t kThread = 1;

    bool send(const wire::FrameHeader& h) {
        return ::send(fd_, &h, sizeof h, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof h);
    }

    // Waits for a frame that `wanted` accepts, skipping others.
    bool await(const std::function<bool(const wire::FrameHeader&)>& wanted) {
        const uint64_t deadline = nowMs() + kProbeTimeoutMs;
        for (uint64_t now = nowMs(); now < deadline; now = nowMs()) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(deadline - now));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return false;
            wire::FrameHeader h{};
            if (readHeader(buffer_.data(), static_cast<size_t>(n), &h) && wanted(h)) return true;
        }
        return false;
    }

    int fd_ = -1;
    uint32_t seq_ = 0;
    Bytes buffer_ = Bytes(wire::kMaxPacket);
};

// After an input: the service still serves a well-behaved client, and the
// hostile peer's sessions are gone with their descriptors.
void checkServiceHealthy() {
    static WellBehavedClient steady;
    static bool connected = false;
    static unsigned inputs = 0;
    static int baseline = -1;
    if (!connected) {
        if (!steady.open()) fail("a well-behaved client could not open a session");
        connected = true;
    }
    if (!steady.ping()) fail("a well-behaved client's ping on its own session was not answered");
    if (inputs % kNewClientEvery == 0) {
        WellBehavedClient fresh;
        if (!fresh.open() || !fresh.ping()) fail("a new well-behaved client was not served");
    }
    if (inputs % kDescriptorCheckEvery == 0) {
        int count = bgs_fuzz::countDescriptors();
        if (baseline < 0) baseline = count;
        // Sessions end on runtime threads; give the last ones time to go.
        for (const uint64_t deadline = nowMs() + kProbeTimeoutMs; count > baseline + kDescriptorSlack && nowMs() < deadline;) {
            ::poll(nullptr, 0, 10);
            count = bgs_fuzz::countDescriptors();
        }
        if (count > baseline + kDescriptorSlack) {
            std::fprintf(stderr, "session_fuzzer: %d descriptors open, %d after the first input\n", count, baseline);
            fail("descriptors of closed connections stay open");
        }
    }
    ++inputs;
}

// ---- The hostile peer ----

class HostilePeer {
  public:
    explicit HostilePeer(uint64_t token)
        : token_(token), budgetEnd_(nowMs() + static_cast<uint64_t>(gLimitMs) * kLimitsPerInput) {}
    ~HostilePeer() {
        for (Socket& s : sockets_) {
            if (s.fd >= 0) ::close(s.fd);
        }
    }
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    void run(const uint8_t* data, size_t size) {
        if (size == 0) return;
        const uint8_t start = data[0];
        if ((start & kStartHello) != 0) {
            wire::FrameHeader hello = header(wire::kHello);
            hello.senderThread = token_;
            send(0, frameBytes(hello), 0);
            pump([this] { return answered(0); });
        }
        if ((start & kStartGetService) != 0) {
            AParcel* parcel = AParcel_create();
            AParcel_writeString(parcel, kServiceName, static_cast<int32_t>(std::strlen(kServiceName)));
            Bytes name(static_cast<size_t>(AParcel_getDataSize(parcel)));
            AParcel_marshal(parcel, name.data(), 0, name.size());
            AParcel_delete(parcel);
            send(0, frameBytes(header(wire::kTransaction, 0, wire::kGetServiceTransaction), name), 0);
            pump([this] { return answered(0); });
        }
        size_t at = 1;
        size_t total = 0;
        while (size - at >= 3 && total < kMaxScriptBytes) {
            const uint8_t op = data[at];
            const size_t length = data[at + 1] | size_t{data[at + 2]} << 8;
            at += 3;
            const size_t packetSize = std::min(length + ((op & kOpPlus64K) != 0 ? size_t{1} << 16 : 0), kMaxPacketBytes);
            Bytes packet;
            if ((op & kOpPadded) != 0) {
                if (at == size) break;
                const size_t head = std::min({size_t{data[at]}, packetSize, size - at - 1});
                packet.assign(data + at + 1, data + at + 1 + head);
                packet.resize(packetSize);
                at += 1 + head;
            } else {
                const size_t take = std::min(packetSize, size - at);
                packet.assign(data + at, data + at + take);
                at += take;
            }
            total += packet.size();
            const int index = socketFor(op);
            if ((op & kOpStamp) != 0 && packet.size() >= offsetof(wire::FrameHeader, senderThread) + 8) {
                std::memcpy(packet.data() + offsetof(wire::FrameHeader, senderThread), &token_, sizeof token_);
            }
            if ((op & kOpAnswer) != 0) answer(index, &packet);
            send(index, packet, (op >> kOpFdShift) & 3);
        }
        pump([] { return false; });
    }

  private:
    struct Socket {
        int fd = -1;
        bool usable = false;  // connected, and no send failed
        bool closed = false;  // the service hung up
        size_t sendContinuing = 0;
        size_t receiveContinuing = 0;
        uint32_t due = 0;  // answers the service owes: replies, the hello echo
        std::deque<std::pair<uint32_t, uint64_t>> calls;  // from the service: seq, sender thread
    };

    int socketFor(uint8_t op) {
        int index = op & kOpSocketMask;
        if (index == kOpFreshSocket) index = static_cast<int>(std::min(kOpFreshSocket + fresh_++, kMaxSockets - 1));
        return index;
    }

    Socket& connected(int index) {
        Socket& s = sockets_[index];
        if (s.fd < 0 && !s.closed) {
            s.fd = connectToService();
            s.usable = s.fd >= 0;
            s.closed = s.fd < 0;
        }
        return s;
    }

    bool answered(int index) const { return sockets_[index].due == 0 || sockets_[index].closed; }

    void send(int index, const Bytes& packet, uint32_t fdCount) {
        Socket& s = connected(index);
        if (!s.usable) return;
        iovec iov{const_cast<uint8_t*>(packet.data()), packet.size()};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)];
        if (fdCount > 0) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
            for (uint32_t i = 0; i < fdCount; ++i) {
                std::memcpy(CMSG_DATA(c) + i * sizeof(int), &service().devNull, sizeof(int));
            }
        }
        if (::sendmsg(s.fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) {
            s.usable = false;
            return;
        }
        // What the service will owe for it, read as the runtime reads it.
        if (s.sendContinuing > 0) {
            s.sendContinuing -= std::min(s.sendContinuing, packet.size());
            return;
        }
        wire::FrameHeader h{};
        if (!readHeader(packet.data(), packet.size(), &h)) return;
        s.sendContinuing = continuation(h, packet.size());
        if ((h.kind == wire::kTransaction && (h.flags & FLAG_ONEWAY) == 0) || h.kind == wire::kHello) ++s.due;
    }

    // Turns `packet` into the reply to the oldest unanswered call the
    // service made on socket `index`, waiting a bounded time for one.
    void answer(int index, Bytes* packet) {
        Socket& s = connected(index);
        pump([&s] { return !s.calls.empty() || s.closed; });
        if (s.calls.empty()) return;
        const auto pending = s.calls.front();
        s.calls.pop_front();
        if (packet->size() < kHeaderSize) return;
        std::memcpy(packet->data() + offsetof(wire::FrameHeader, seq), &pending.first, sizeof pending.first);
        std::memcpy(packet->data() + offsetof(wire::FrameHeader, targetThread), &pending.second, sizeof pending.second);
    }

    bool owed() const {
        for (const Socket& s : sockets_) {
            if (s.fd >= 0 && !s.closed && s.due > 0) return true;
        }
        return false;
    }

    // Reads what the service sends until `done` holds, or nothing arrives
    // for the quiet time while no answer is due, or the limit passes.
    void pump(const std::function<bool()>& done) {
        const uint64_t deadline = std::min(nowMs() + static_cast<uint64_t>(gLimitMs), budgetEnd_);
        for (;;) {
            if (done()) return;
            pollfd polled[kMaxSockets];
            int indices[kMaxSockets];
            nfds_t count = 0;
            for (size_t i = 0; i < kMaxSockets; ++i) {
                if (sockets_[i].fd < 0 || sockets_[i].closed) continue;
                polled[count] = pollfd{sockets_[i].fd, POLLIN, 0};
                indices[count++] = static_cast<int>(i);
            }
            const uint64_t now = nowMs();
            if (count == 0 || now >= deadline) return;
            const uint64_t left = deadline - now;
            const int wait = static_cast<int>(owed() ? left : std::min<uint64_t>(left, static_cast<uint64_t>(gQuietMs)));
            const int ready = ::poll(polled, count, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return;
            if (ready == 0) {
                if (!owed()) return;
                continue;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (polled[i].revents != 0) receive(indices[i]);
            }
        }
    }

    // Reads every packet waiting on socket `index`.
    void receive(int index) {
        Socket& s = sockets_[index];
        for (;;) {
            iovec iov{buffer_.data(), buffer_.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * wire::kMaxFds)];
            msghdr message{};
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(s.fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                    ::close(fd);
                }
            }
            if (n <= 0) {
                s.closed = true;
                ++gOutcome.closedSockets;
                return;
            }
            note(index, static_cast<size_t>(n));
        }
    }

    void note(int index, size_t size) {
        Socket& s = sockets_[index];
        if (s.receiveContinuing > 0) {
            s.receiveContinuing -= std::min(s.receiveContinuing, size);
            return;
        }
        wire::FrameHeader h{};
        if (!readHeader(buffer_.data(), size, &h)) return;
        s.receiveContinuing = continuation(h, size);
        switch (h.kind) {
            case wire::kReply: {
                if (s.due > 0) --s.due;
                const size_t shown = std::min<size_t>({size - kHeaderSize, h.dataSize, 16});
                gOutcome.replies.push_back(bgs_fuzz::SeenReply{index, static_cast<int32_t>(h.code), h.objectCount,
                                                               Bytes(buffer_.begin() + kHeaderSize,
                                                                     buffer_.begin() + static_cast<ptrdiff_t>(kHeaderSize + shown))});
                break;
            }
            case wire::kHello:
                if (s.due > 0) --s.due;
                ++gOutcome.hellos;
                break;
            case wire::kTransaction:
                ++gOutcome.transactions;
                if ((h.flags & FLAG_ONEWAY) == 0) s.calls.emplace_back(h.seq, h.senderThread);
                break;
            case wire::kRelease:
                ++gOutcome.releases;
                break;
            default:
                break;
        }
    }

    const uint64_t token_;
    const uint64_t budgetEnd_;  // all waits of one input end by then
    Socket sockets_[kMaxSockets];
    size_t fresh_ = 0;
    Bytes buffer_ = Bytes(wire::kMaxPacket);
};

// ---- Seeds ----

// Builds an input: start flags, then packet records.
class Script {
  public:
    explicit Script(uint8_t start) : bytes_{start} {}

    Script& packet(const Bytes& packet, uint8_t op = 0) {
        record(op, packet.size());
        bytes_.insert(bytes_.end(), packet.begin(), packet.end());
        return *this;
    }
    // A packet of `size` bytes: `head`, then zeros.
    Script& padded(size_t size, const Bytes& head, uint8_t op = 0) {
        record(op | kOpPadded, size);
        bytes_.push_back(static_cast<uint8_t>(head.size()));
        bytes_.insert(bytes_.end(), head.begin(), head.end());
        return *this;
    }
    Bytes bytes() const { return bytes_; }

  private:
    void record(uint8_t op, size_t size) {
        if (size >= size_t{1} << 16) {
            op |= kOpPlus64K;
            size -= size_t{1} << 16;
        }
        bytes_.push_back(op);
        bytes_.push_back(static_cast<uint8_t>(size));
        bytes_.push_back(static_cast<uint8_t>(size >> 8));
    }

    Bytes bytes_;
};

Bytes ping() { return frameBytes(header(wire::kTransaction, 0, wire::kPingTransaction)); }

Bytes call(uint32_t handle, uint32_t code, const Data& data, const Bytes& objects = {}, uint32_t objectCount = 0,
           uint32_t flags = 0) {
    return frameBytes(header(wire::kTransaction, handle, code, flags), data.bytes(), objects, objectCount);
}

// One release record: arrivals given back, no references sent back.
Bytes release(uint32_t handle, uint32_t count, uint32_t returns = 0) {
    return frameBytes(header(wire::kRelease), bgs_fuzz::releaseRecords({{handle, count, returns}}));
}

// A call of `code` on the service whose data holds its interface header, one
// binder entry per (kind, handle) in `objects`, then `words`.
Bytes callWithObjects(uint32_t code, const std::vector<std::pair<uint32_t, uint32_t>>& objects,
                      const std::vector<int32_t>& words = {}, uint32_t flags = 0) {
    Data data;
    data.interfaceHeader(kDescriptor);
    std::vector<uint32_t> offsets(objects.size());
    for (uint32_t& offset : offsets) data.entry(&offset);
    for (const int32_t word : words) data.int32(word);
    Bytes table;
    for (size_t i = 0; i < objects.size(); ++i) {
        const uint32_t kind = objects[i].first;
        const Bytes record = objectRecord(offsets[i], kind, objects[i].second,
                                          kind == wire::kReceiverObject ? "" : kDescriptor);
        table.insert(table.end(), record.begin(), record.end());
    }
    return call(1, code, data, table, static_cast<uint32_t>(objects.size()), flags);
}

// A ping of the process (handle 0) carrying the service's objects `handles`
// sent home: their returns are counted though the ping reads nothing.
Bytes pingWithObjects(const std::vector<uint32_t>& handles) {
    Data data;
    Bytes table;
    for (const uint32_t handle : handles) {
        uint32_t offset = 0;
        data.entry(&offset);
        const Bytes record = objectRecord(offset, wire::kReceiverObject, handle);
        table.insert(table.end(), record.begin(), record.end());
    }
    return frameBytes(header(wire::kTransaction, 0, wire::kPingTransaction), data.bytes(), table,
                      static_cast<uint32_t>(handles.size()));
}

Bytes deathOf(const std::vector<uint32_t>& handles) {
    Bytes body(handles.size() * sizeof(uint32_t));
    std::memcpy(body.data(), handles.data(), body.size());
    return frameBytes(header(wire::kDeath), body);
}

}  // namespace

namespace bgs_fuzz {

std::vector<SessionSeed> sessionSeeds() {
    constexpr uint8_t kHelloAndService = kStartHello | kStartGetService;
    constexpr uint8_t kChannelA = 1;
    constexpr uint8_t kChannelB = 2;
    std::vector<SessionSeed> seeds;

    // Hello written in the script, its token stamped, then a ping.
    seeds.push_back({"ping", Script(0).packet(frameBytes(header(wire::kHello)), kOpStamp).packet(ping()).bytes()});

    // A ping of 70000 data bytes cut into a full packet and a continuation:
    // a frame is one packet, so the first is malformed.
    {
        wire::FrameHeader h = header(wire::kTransaction, 0, wire::kPingTransaction);
        h.dataSize = 70000;
        const size_t rest = h.dataSize - (wire::kMaxPacket - kHeaderSize);
        seeds.push_back({"splitFrame", Script(kStartHello).padded(wire::kMaxPacket, headerOnly(h)).padded(rest, {}).bytes()});
    }

    // Calls on the service: echoes, a binder of the peer echoed back, a new
    // object, a ping.
    {
        uint32_t offset = 0;
        Data echoBinder;
        echoBinder.interfaceHeader(kDescriptor).entry(&offset);
        seeds.push_back({"getServiceAndEcho",
                         Script(kHelloAndService)
                                 .packet(call(1, kEchoInt32, Data().interfaceHeader(kDescriptor).int32(42)))
                                 .packet(call(1, kEchoString, Data().interfaceHeader(kDescriptor).string("echo")))
                                 .packet(call(1, kEchoBinder, echoBinder,
                                              objectRecord(offset, wire::kSenderObject, 9, kDescriptor), 1))
                                 .packet(call(1, kNewObject, Data().interfaceHeader(kDescriptor)))
                                 .packet(ping())
                                 .bytes()});
    }

    // The service's handle given back as often as it was sent. Calls read
    // before a release may be served after it, so none is in flight here.
    seeds.push_back({"releaseGivenBack", Script(kHelloAndService).packet(release(1, 1)).packet(ping()).bytes()});

    // A binder "coming home" that the service never sent, then a ping.
    {
        uint32_t offset = 0;
        Data data;
        data.interfaceHeader(kDescriptor).entry(&offset);
        seeds.push_back({"forgedObject",
                         Script(kHelloAndService)
                                 .packet(call(1, kEchoBinder, data, objectRecord(offset, wire::kReceiverObject, 77), 1))
                                 .packet(ping())
                                 .bytes()});
    }

    // A frame announced over two packets whose second one is short.
    {
        wire::FrameHeader h = header(wire::kTransaction, 0, wire::kPingTransaction);
        h.dataSize = 1 << 16;
        seeds.push_back({"truncatedContinuation",
                         Script(kStartHello).padded(wire::kMaxPacket, headerOnly(h)).padded(20, {}).bytes()});
    }

    // A header announcing more data than any frame may carry.
    {
        wire::FrameHeader h = header(wire::kTransaction, 0, wire::kPingTransaction);
        h.dataSize = 2 << 20;
        seeds.push_back({"oversizeData", Script(kStartHello).packet(headerOnly(h)).bytes()});
    }

    seeds.push_back({"releaseNeverSent", Script(kStartHello).packet(release(5, 1)).packet(ping()).bytes()});

    // A channel naming no session (its call is never served); the primary
    // socket is not disturbed.
    {
        wire::FrameHeader join = header(wire::kJoin);
        join.senderThread = 0x1234567;
        seeds.push_back({"joinWrongToken", Script(kStartHello)
                                                   .packet(frameBytes(join), kChannelA)
                                                   .packet(ping(), kChannelA)
                                                   .packet(ping())
                                                   .bytes()});
    }

    seeds.push_back({"joinAndCallOnChannel", Script(kStartHello)
                                                     .packet(frameBytes(header(wire::kJoin)), kChannelB | kOpStamp)
                                                     .packet(ping(), kChannelB)
                                                     .bytes()});

    // A second hello with the token of a live session.
    seeds.push_back({"duplicateHello", Script(kStartHello)
                                               .packet(frameBytes(header(wire::kHello)), kOpFreshSocket | kOpStamp)
                                               .packet(ping())
                                               .bytes()});

    // The service calls the peer's binder back; the script answers with a
    // reply holding the service's own binder, coming home.
    {
        uint32_t offset = 0;
        Data request;
        request.interfaceHeader(kDescriptor).entry(&offset).int32(kEchoInt32).int32(0);
        uint32_t replyOffset = 0;
        Data reply;
        reply.int32(42).entry(&replyOffset);
        seeds.push_back({"callBack",
                         Script(kHelloAndService)
                                 .packet(call(1, kCallBack, request, objectRecord(offset, wire::kSenderObject, 9, kDescriptor), 1))
                                 .packet(frameBytes(header(wire::kReply), reply.bytes(),
                                                    objectRecord(replyOffset, wire::kReceiverObject, 1), 1),
                                         kOpAnswer)
                                 .bytes()});
    }

    // A dump request with its output descriptor.
    {
        wire::FrameHeader h = header(wire::kTransaction, 1, wire::kDumpTransaction);
        h.fdCount = 1;
        seeds.push_back({"dumpWithDescriptor",
                         Script(kHelloAndService)
                                 .packet(frameBytes(h, Data().int32(1).string("-a").bytes()), 1 << kOpFdShift)
                                 .bytes()});
    }

    seeds.push_back({"onewayThenPing",
                     Script(kHelloAndService)
                             .packet(call(1, kEchoInt32, Data().interfaceHeader(kDescriptor).int32(5), {}, 0, FLAG_ONEWAY))
                             .packet(ping())
                             .bytes()});

    // References sent back to their owner (kind 2), counted against the
    // releases that report them. The service's binder (handle 1, sent once
    // by getService) comes home in a ping of the process, decoded on a pool
    // thread, and the release that reports it is applied by the loop as soon
    // as it is read, most often before that: the entry must wait for the
    // return. (A release never overtakes a call on the object it gives
    // back: the peer would have let go of the call's own target.)
    constexpr uint32_t kHome = wire::kReceiverObject;
    seeds.push_back({"returnThenRelease", Script(kHelloAndService)
                                                  .packet(pingWithObjects({1}))
                                                  .packet(release(1, 1, 1))
                                                  .packet(ping())
                                                  .bytes()});
    // The same, with the return on a channel and the release on the primary
    // link sent first.
    seeds.push_back({"releaseOvertakesReturn",
                     Script(kHelloAndService)
                             .packet(frameBytes(header(wire::kJoin)), kChannelA | kOpStamp)
                             .packet(release(1, 1, 1))
                             .packet(pingWithObjects({1}), kChannelA)
                             .packet(ping())
                             .bytes()});
    // A release reporting two returns, then both in one frame.
    seeds.push_back({"returnedTwiceInOneFrame", Script(kHelloAndService)
                                                        .packet(release(1, 1, 2))
                                                        .packet(pingWithObjects({1, 1}))
                                                        .packet(ping())
                                                        .bytes()});
    // The service's binder sent home in a call on it and echoed out again.
    seeds.push_back({"echoHome",
                     Script(kHelloAndService).packet(callWithObjects(kEchoBinder, {{kHome, 1}})).packet(ping()).bytes()});
    // Objects of the peer it knows are dead (kind 3): echoed home, and
    // called back, which fails at once.
    seeds.push_back({"deadSenderObject",
                     Script(kHelloAndService)
                             .packet(callWithObjects(kEchoBinder, {{wire::kSenderObjectDead, 9}}))
                             .packet(callWithObjects(kCallBack, {{wire::kSenderObjectDead, 10}}, {kEchoInt32, 0}))
                             .bytes()});
    // A death frame naming an import of the service while the service waits
    // in a call on it, and a handle it never imported; the session lives on.
    // The call back is one-way, so no answer of the service is due for it.
    seeds.push_back({"deathNamingImport",
                     Script(kHelloAndService)
                             .packet(callWithObjects(kCallBack, {{wire::kSenderObject, 9}}, {kEchoInt32, 0}, FLAG_ONEWAY))
                             .packet(deathOf({9, 4242}), kOpAnswer)
                             .packet(ping())
                             .bytes()});
    return seeds;
}

const SessionOutcome& lastSessionOutcome() { return gOutcome; }

void setSessionPatience(int quietMs, int limitMs) {
    gQuietMs = quietMs;
    gLimitMs = limitMs;
}

}  // namespace bgs_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)service();
    gOutcome = bgs_fuzz::SessionOutcome();
    {
        HostilePeer peer(randomToken());
        peer.run(data, size);
    }
    checkServiceHealthy();
    return 0;
}

#ifndef BGS_FUZZER_NO_MAIN
int main(int argc, char** argv) {
    return bgs_fuzz::replayMain(argc, argv, "session_fuzzer", bgs_fuzz::sessionSeeds(), LLVMFuzzerTestOneInput);
}
#endif
