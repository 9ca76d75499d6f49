// A peer that speaks to a service's socket directly, frame by frame, in
// the layout the runtime defines: the hostile peers of the cross-process
// tests.
#ifndef BGS_TESTS_PROCESS_RAW_PEER_H
#define BGS_TESTS_PROCESS_RAW_PEER_H

#include "process_test_support.h"

#include "wire/format.h"  // the frame layout, as the runtime defines it

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace bgs_process_test {

namespace wire = ::binder_ndk::internal::wire;

// ---- Finding the service's socket ----

struct Endpoint {
    pid_t pid = 0;
    std::string address;  // abstract socket name, without the leading zero byte
};

// The registry entry of `name` as the runtime writes it: the file
// "s-<16 hex digits of the 64-bit FNV-1a hash of the name>" in the registry
// directory, holding the lines "bgs-registry 1", pid, address and name.
inline std::optional<Endpoint> readRegistryEntry(const std::string& name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char file[32];
    std::snprintf(file, sizeof file, "s-%016llx", static_cast<unsigned long long>(hash));
    std::ifstream entry(std::string(std::getenv("BGS_SERVICE_DIR")) + "/" + file);
    std::string header, pid, address, entryName;
    if (!std::getline(entry, header) || !std::getline(entry, pid) || !std::getline(entry, address) ||
        !std::getline(entry, entryName) || header != "bgs-registry 1" || entryName != name) {
        return std::nullopt;
    }
    return Endpoint{static_cast<pid_t>(std::stol(pid)), address};
}

// ---- Building frames ----

inline constexpr int32_t kInterfaceHeaderMagic = 0x46494742;  // "BGIF" (docs/wire-format.md)

// Parcel bytes, written by the runtime's own parcel writers.
class ParcelBytes {
  public:
    ParcelBytes() : parcel_(AParcel_create()) {}
    ~ParcelBytes() { AParcel_delete(parcel_); }
    ParcelBytes(const ParcelBytes&) = delete;
    ParcelBytes& operator=(const ParcelBytes&) = delete;

    ParcelBytes& int32(int32_t value) {
        AParcel_writeInt32(parcel_, value);
        return *this;
    }
    ParcelBytes& string(const std::string& text) {
        AParcel_writeString(parcel_, text.data(), static_cast<int32_t>(text.size()));
        return *this;
    }
    ParcelBytes& interfaceHeader(const char* descriptor) { return int32(kInterfaceHeaderMagic).string(descriptor); }
    // A binder entry of an object named by the object table; its offset.
    uint32_t binderEntry() {
        const auto offset = static_cast<uint32_t>(AParcel_getDataPosition(parcel_));
        int32(1).int32(0);
        return offset;
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> data(static_cast<size_t>(AParcel_getDataSize(parcel_)));
        AParcel_marshal(parcel_, data.data(), 0, data.size());
        return data;
    }

  private:
    AParcel* parcel_;
};

struct Frame {
    wire::FrameHeader header{};
    std::vector<uint8_t> body;  // data, then object table

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> all(sizeof header);
        std::memcpy(all.data(), &header, sizeof header);
        all.insert(all.end(), body.begin(), body.end());
        return all;
    }
};

inline Frame transaction(uint32_t handle, uint32_t code, const std::vector<uint8_t>& data,
                  const std::vector<uint8_t>& objects = {}, uint32_t objectCount = 0) {
    Frame frame;
    wire::FrameHeader& h = frame.header;
    h.magic = wire::kFrameMagic;
    h.kind = wire::kTransaction;
    h.dataSize = static_cast<uint32_t>(data.size());
    h.objectBytes = static_cast<uint32_t>(objects.size());
    h.objectCount = objectCount;
    h.handle = handle;
    h.code = code;
    h.seq = 1;
    h.senderThread = 1;
    frame.body = data;
    frame.body.insert(frame.body.end(), objects.begin(), objects.end());
    return frame;
}

inline Frame ping() { return transaction(0, wire::kPingTransaction, {}); }

inline Frame getService(const std::string& name) {
    return transaction(0, wire::kGetServiceTransaction, ParcelBytes().string(name).bytes());
}

// A call on `target`'s getGalleryAvailability(21) under `descriptor`.
inline Frame galleryQuery(uint32_t target, const char* descriptor) {
    return transaction(target, IBGService::TRANSACTION_getGalleryAvailability,
                       ParcelBytes().interfaceHeader(descriptor).int32(21).bytes());
}

// setEventCallback(7, <binder>) on `target`, whose one object record is
// `record` (its offset counted from the binder entry) plus `descriptor`.
inline Frame registration(uint32_t target, int32_t offsetFromEntry, uint32_t kind, uint32_t handle,
                   const std::string& descriptor) {
    ParcelBytes data;
    data.interfaceHeader(IBGService::descriptor).int32(7);
    const uint32_t entry = data.binderEntry();
    const wire::ObjectRecord record{static_cast<uint32_t>(static_cast<int64_t>(entry) + offsetFromEntry), kind,
                                    handle, static_cast<uint32_t>(descriptor.size())};
    std::vector<uint8_t> table(sizeof record + ((descriptor.size() + 3) & ~size_t{3}));
    std::memcpy(table.data(), &record, sizeof record);
    std::memcpy(table.data() + sizeof record, descriptor.data(), descriptor.size());
    return transaction(target, IBGService::TRANSACTION_setEventCallback, data.bytes(), table, 1);
}

// ---- The raw peer ----

// A connection to the service's listener, driven by hand. Each send is one
// packet of the sequenced-packet socket.
class RawPeer {
  public:
    enum class Kind { kReply, kOtherFrame, kClosed, kSilent };
    struct Answer {
        Kind kind = Kind::kSilent;
        wire::FrameHeader header{};
        std::vector<uint8_t> body;  // what came in the first packet after the header
    };

    // Connects and, unless told not to, opens a session with a hello whose
    // echo it waits for.
    explicit RawPeer(const std::string& address, bool sayHello = true)
        : fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::memcpy(where.sun_path + 1, address.data(), address.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
        ready_ = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&where), length) == 0;
        if (ready_ && sayHello) {
            const Answer echo = send(hello(token_)) ? await() : Answer{};
            ready_ = echo.kind == Kind::kOtherFrame && echo.header.kind == wire::kHello &&
                     echo.header.senderThread == token_ && echo.header.code == wire::kHelloAccepted;
        }
    }

    bool ready() const { return ready_; }
    // Later sends fail rather than wait when the service stops taking.
    bool setNonBlocking() {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        return flags >= 0 && ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) == 0;
    }
    uint64_t token() const { return token_; }

    // One packet; `fds` travel with it.
    bool send(const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {}) {
        iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
        if (!fds.empty()) {
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
        }
        return ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool send(const Frame& frame) { return send(frame.bytes()); }

    // Whether a send can go within `timeout`.
    bool writable(Millis timeout) {
        pollfd entry{fd_.get(), POLLOUT, 0};
        return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0 && (entry.revents & POLLOUT) != 0;
    }

    // Whether the service hangs up within `timeout`; reads nothing, so a
    // peer that never reads stays one.
    bool hungUp(Millis timeout = kPatience) {
        const auto until = Clock::now() + timeout;
        for (;;) {
            pollfd entry{fd_.get(), POLLRDHUP, 0};
            const auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
            const int n = ::poll(&entry, 1, static_cast<int>(left < 0 ? 0 : left));
            if (n > 0) return (entry.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
            if (n == 0 || Clock::now() >= until) return false;
        }
    }

    void endWrites() { ::shutdown(fd_.get(), SHUT_WR); }

    // The next packet from the service, or the end of the connection.
    Answer await(Millis timeout = kPatience) {
        Answer answer;
        pollfd entry{fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return answer;
        std::vector<uint8_t> packet(wire::kMaxPacket);
        ssize_t n;
        while ((n = ::recv(fd_.get(), packet.data(), packet.size(), 0)) < 0 && errno == EINTR) {
        }
        if (n <= 0) {  // the end, or a reset
            answer.kind = Kind::kClosed;
            return answer;
        }
        if (static_cast<size_t>(n) < sizeof answer.header) {
            answer.kind = Kind::kOtherFrame;
            return answer;
        }
        std::memcpy(&answer.header, packet.data(), sizeof answer.header);
        answer.body.assign(packet.begin() + sizeof answer.header, packet.begin() + n);
        answer.kind = answer.header.kind == wire::kReply ? Kind::kReply : Kind::kOtherFrame;
        return answer;
    }

    // The handle this connection has for the binder served as `name`; 0
    // when it cannot be had.
    uint32_t fetchService(const std::string& name) {
        if (!send(getService(name))) return 0;
        const Answer answer = await();
        wire::ObjectRecord record{};
        if (answer.kind != Kind::kReply || answer.header.code != STATUS_OK || answer.header.objectCount != 1 ||
            answer.body.size() < size_t{answer.header.dataSize} + sizeof record) {
            return 0;
        }
        std::memcpy(&record, answer.body.data() + answer.header.dataSize, sizeof record);
        return record.kind == wire::kSenderObject ? record.handle : 0;
    }

    static Frame hello(uint64_t token) {
        Frame frame;
        frame.header.magic = wire::kFrameMagic;
        frame.header.kind = wire::kHello;
        frame.header.senderThread = token;
        return frame;
    }

  private:
    static uint64_t newToken() {
        static std::atomic<uint64_t> next{0x7e57000000000000ull ^ static_cast<uint64_t>(::getpid()) << 24};
        return ++next;
    }

    UniqueFd fd_;
    const uint64_t token_ = newToken();
    bool ready_ = false;
};

inline Frame join(uint64_t sessionToken) {
    Frame frame = RawPeer::hello(sessionToken);
    frame.header.kind = wire::kJoin;
    return frame;
}

inline const char* describe(RawPeer::Kind kind) {
    switch (kind) {
        case RawPeer::Kind::kReply:
            return "a reply";
        case RawPeer::Kind::kOtherFrame:
            return "a frame that is no reply";
        case RawPeer::Kind::kClosed:
            return "the end of the connection";
        case RawPeer::Kind::kSilent:
            return "silence";
    }
    return "?";
}

}  // namespace bgs_process_test

#endif  // BGS_TESTS_PROCESS_RAW_PEER_H
