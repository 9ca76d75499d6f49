// A peer that speaks to a service's socket directly, with frames the runtime
// never sends. Each input must get a clear status reply or a disconnect, and
// a well-behaved client of the same service must be served throughout.
#include "process_test_support.h"

#include "wire/format.h"  // the frame layout, as the runtime defines it

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
#include <string>
#include <vector>

namespace bgs_process_test {
namespace {

namespace wire = ::binder_ndk::internal::wire;

class ProcessHostilePeer : public ProcessTest {};

// ---- Finding the service's socket ----

struct Endpoint {
    pid_t pid = 0;
    std::string address;  // abstract socket name, without the leading zero byte
};

// The registry entry of `name` as the runtime writes it: the file
// "s-<16 hex digits of the 64-bit FNV-1a hash of the name>" in the registry
// directory, holding the lines "bgs-registry 1", pid, address and name.
std::optional<Endpoint> readRegistryEntry(const std::string& name) {
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

constexpr int32_t kInterfaceHeaderMagic = 0x46494742;  // "BGIF" (docs/wire-format.md)

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

Frame transaction(uint32_t handle, uint32_t code, const std::vector<uint8_t>& data,
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

Frame ping() { return transaction(0, wire::kPingTransaction, {}); }

Frame getService(const std::string& name) {
    return transaction(0, wire::kGetServiceTransaction, ParcelBytes().string(name).bytes());
}

// A call on `target`'s getGalleryAvailability(21) under `descriptor`.
Frame galleryQuery(uint32_t target, const char* descriptor) {
    return transaction(target, IBGService::TRANSACTION_getGalleryAvailability,
                       ParcelBytes().interfaceHeader(descriptor).int32(21).bytes());
}

// setEventCallback(7, <binder>) on `target`, whose one object record is
// `record` (its offset counted from the binder entry) plus `descriptor`.
Frame registration(uint32_t target, int32_t offsetFromEntry, uint32_t kind, uint32_t handle,
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
                     echo.header.senderThread == token_;
        }
    }

    bool ready() const { return ready_; }
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

Frame join(uint64_t sessionToken) {
    Frame frame = RawPeer::hello(sessionToken);
    frame.header.kind = wire::kJoin;
    return frame;
}

const char* describe(RawPeer::Kind kind) {
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

// ---- The hostile inputs ----

struct HostileInput {
    const char* name;
    // Sends the input on a fresh connection; false when that failed.
    std::function<bool(RawPeer&, const std::string& serviceName)> send;
    // Expected answer: a reply with this status, the end of the connection
    // (kDisconnect), or nothing at all (kNoAnswer).
    struct Expect {
        Expect(binder_status_t s) : status(s) {}  // NOLINT: the table reads best with plain statuses
        enum What { kReply, kDisconnect, kNoAnswer } what = kReply;
        binder_status_t status = STATUS_OK;
    };
    Expect expect;
    // kStalls: the input stops in the middle of a frame, and the peer ends
    // its writes only after the good client has been served meanwhile.
    bool stalls;
    // Whether the input follows a hello (it stands for the hello otherwise).
    bool hello = true;
};
HostileInput::Expect expectNo(HostileInput::Expect::What what) {
    HostileInput::Expect expect(STATUS_OK);
    expect.what = what;
    return expect;
}
const HostileInput::Expect kDisconnect = expectNo(HostileInput::Expect::kDisconnect);
// A frame the service reads and drops, keeping the connection.
const HostileInput::Expect kNoAnswer = expectNo(HostileInput::Expect::kNoAnswer);
constexpr bool kStalls = true;
constexpr bool kWholeFrames = false;
constexpr bool kNoHello = false;

// The first packet (full size) of a ping whose data is `dataSize` bytes.
std::vector<uint8_t> firstPacketOf(size_t dataSize) {
    Frame frame = ping();
    frame.header.dataSize = static_cast<uint32_t>(dataSize);
    frame.body.assign(wire::kMaxPacket - sizeof frame.header, 0);
    return frame.bytes();
}

// `change` applied to a valid ping frame.
std::function<bool(RawPeer&, const std::string&)> alteredPing(std::function<void(Frame&)> change) {
    return [change](RawPeer& peer, const std::string&) {
        Frame frame = ping();
        change(frame);
        return peer.send(frame);
    };
}

// `make(handle)` sent with the handle of the service's binder on this connection.
std::function<bool(RawPeer&, const std::string&)> toService(std::function<Frame(uint32_t)> make) {
    return [make](RawPeer& peer, const std::string& serviceName) {
        const uint32_t handle = peer.fetchService(serviceName);
        return handle != 0 && peer.send(make(handle));
    };
}

const std::vector<HostileInput>& hostileInputs() {
    static const std::vector<HostileInput> inputs = {
            {"garbage bytes",
             [](RawPeer& peer, const std::string&) { return peer.send(std::vector<uint8_t>(64, 0xa5)); },
             kDisconnect, kWholeFrames},
            {"garbage in place of the hello",
             [](RawPeer& peer, const std::string&) { return peer.send(std::vector<uint8_t>(64, 0xa5)); },
             kDisconnect, kWholeFrames, kNoHello},
            {"a join naming no session",
             [](RawPeer& peer, const std::string&) { return peer.send(join(0x5eed)); },
             kDisconnect, kWholeFrames, kNoHello},
            {"a header cut short",
             [](RawPeer& peer, const std::string&) {
                 const std::vector<uint8_t> bytes = ping().bytes();
                 return peer.send(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
             },
             kDisconnect, kWholeFrames},
            {"a body cut short",
             [](RawPeer& peer, const std::string&) {
                 std::vector<uint8_t> bytes = galleryQuery(0, IBGService::descriptor).bytes();
                 bytes.resize(sizeof(wire::FrameHeader) + 12);
                 return peer.send(bytes);
             },
             kDisconnect, kWholeFrames},
            {"a frame that stops after its first packet",
             [](RawPeer& peer, const std::string&) { return peer.send(firstPacketOf(2 * wire::kMaxPacket)); },
             kDisconnect, kStalls},
            {"a continuation longer than announced",
             [](RawPeer& peer, const std::string&) {
                 return peer.send(firstPacketOf(wire::kMaxPacket)) && peer.send(std::vector<uint8_t>(100, 0));
             },
             kDisconnect, kWholeFrames},
            {"a data length over the limit",
             alteredPing([](Frame& f) { f.header.dataSize = wire::kMaxTransactionData + 4; }),
             kDisconnect, kWholeFrames},
            {"an object table over the limit",
             alteredPing([](Frame& f) { f.header.objectBytes = wire::kMaxObjectBytes + 4; }),
             kDisconnect, kWholeFrames},
            {"more objects than the data can hold", alteredPing([](Frame& f) { f.header.objectCount = 3; }),
             kDisconnect, kWholeFrames},
            {"an unknown frame kind", alteredPing([](Frame& f) { f.header.kind = 9; }),
             kDisconnect, kWholeFrames},
            // A late reply to a call that gave up at its deadline looks the
            // same: it is dropped, and the session lives on.
            {"a reply nobody waits for",
             alteredPing([](Frame& f) {
                 f.header.kind = wire::kReply;
                 f.header.targetThread = 77;
             }),
             kNoAnswer, kWholeFrames},
            {"a release of a handle never sent",
             [](RawPeer& peer, const std::string&) {
                 Frame frame = ping();
                 frame.header.kind = wire::kRelease;
                 frame.header.dataSize = 8;
                 frame.body = {0x92, 0x10, 0, 0, 1, 0, 0, 0};  // handle 4242, one reference
                 return peer.send(frame);
             },
             kDisconnect, kWholeFrames},
            {"unknown flag bits", alteredPing([](Frame& f) { f.header.flags = 0x200; }),
             kDisconnect, kWholeFrames},
            {"a body announced in a file that is not there",
             alteredPing([](Frame& f) { f.header.flags = wire::kFlagBodyInFile; }), kDisconnect, kWholeFrames},
            {"a descriptor on a call that takes none",
             [](RawPeer& peer, const std::string&) {
                 Frame frame = ping();
                 frame.header.fdCount = 1;
                 const Pipe carried;
                 return peer.send(frame.bytes(), {carried.readEnd.get()});
             },
             STATUS_FDS_NOT_ALLOWED, kWholeFrames},
            {"no sending thread", alteredPing([](Frame& f) { f.header.senderThread = 0; }),
             kDisconnect, kWholeFrames},
            {"a descriptor announced but not sent", alteredPing([](Frame& f) { f.header.fdCount = 1; }),
             kDisconnect, kWholeFrames},
            {"more descriptors than a frame may carry",
             [](RawPeer& peer, const std::string&) {
                 Frame frame = ping();
                 frame.header.fdCount = wire::kMaxFds + 1;
                 const Pipe carried;
                 return peer.send(frame.bytes(), std::vector<int>(wire::kMaxFds + 1, carried.readEnd.get()));
             },
             kDisconnect, kWholeFrames},
            {"a call on a handle never exported",
             [](RawPeer& peer, const std::string&) { return peer.send(galleryQuery(4242, IBGService::descriptor)); },
             STATUS_BAD_VALUE, kWholeFrames},
            {"an object naming a handle never exported",
             toService([](uint32_t h) { return registration(h, 0, wire::kReceiverObject, 999, ""); }),
             STATUS_BAD_VALUE, kWholeFrames},
            {"an object record outside the data",
             toService([](uint32_t h) {
                 return registration(h, 4096, wire::kSenderObject, 7, IEventCallback::descriptor);
             }),
             STATUS_BAD_VALUE, kWholeFrames},
            {"an object record on plain data",
             toService([](uint32_t h) {
                 return registration(h, -4, wire::kSenderObject, 7, IEventCallback::descriptor);
             }),
             STATUS_BAD_VALUE, kWholeFrames},
            {"a sent object without a descriptor",
             toService([](uint32_t h) { return registration(h, 0, wire::kSenderObject, 7, ""); }),
             STATUS_BAD_VALUE, kWholeFrames},
            {"another interface's header",
             toService([](uint32_t h) { return galleryQuery(h, "bgs.test.IOther"); }), STATUS_BAD_TYPE, kWholeFrames},
            {"a name the process does not serve",
             [](RawPeer& peer, const std::string&) { return peer.send(getService("no.such.service")); },
             STATUS_NAME_NOT_FOUND, kWholeFrames},
            {"a runtime code the process does not know",
             alteredPing([](Frame& f) { f.header.code = 0x5f585858; }), STATUS_UNKNOWN_TRANSACTION, kWholeFrames},
    };
    return inputs;
}

TEST_F(ProcessHostilePeer, EachHostileInputIsRefusedWhileAGoodClientIsServed) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    const std::shared_ptr<IBGService> service = waitForProbe(name, &server);
    ASSERT_NE(service, nullptr);
    const std::optional<Endpoint> endpoint = readRegistryEntry(name);
    ASSERT_TRUE(endpoint.has_value());
    EXPECT_EQ(endpoint->pid, server.pid());
    auto goodClientIsServed = [&service] {
        int32_t result = 0;
        return service->getGalleryAvailability(21, &result).isOk() && result == 42;
    };

    for (const HostileInput& input : hostileInputs()) {
        SCOPED_TRACE(input.name);
        RawPeer peer(endpoint->address, input.hello);
        ASSERT_TRUE(peer.ready());
        ASSERT_TRUE(input.send(peer, name));
        EXPECT_TRUE(goodClientIsServed()) << "while the hostile connection is open";
        if (input.stalls) peer.endWrites();
        switch (input.expect.what) {
            case HostileInput::Expect::kReply: {
                const RawPeer::Answer answer = peer.await();
                EXPECT_EQ(answer.kind, RawPeer::Kind::kReply) << describe(answer.kind);
                EXPECT_EQ(static_cast<binder_status_t>(answer.header.code), input.expect.status);
                break;
            }
            case HostileInput::Expect::kDisconnect: {
                const RawPeer::Answer answer = peer.await();
                EXPECT_EQ(answer.kind, RawPeer::Kind::kClosed) << describe(answer.kind);
                break;
            }
            case HostileInput::Expect::kNoAnswer: {
                const RawPeer::Answer answer = peer.await(Millis(200));
                EXPECT_EQ(answer.kind, RawPeer::Kind::kSilent) << describe(answer.kind);
                EXPECT_TRUE(peer.send(ping()) && peer.await().kind == RawPeer::Kind::kReply)
                        << "the connection no longer serves";
                break;
            }
        }
        EXPECT_TRUE(goodClientIsServed()) << "after the hostile input";
    }
    EXPECT_EQ(AIBinder_ping(service->asBinder().get()), STATUS_OK);
}

// Names the session token args[1] at the listener args[0], as a channel
// and as a session of its own; each is refused.
BGS_TEST_ROLE(intruder) {
    const std::string address = args.text(0);
    const uint64_t token = std::stoull(args.text(1));
    ChildChecks checks;
    for (Frame frame : {join(token), RawPeer::hello(token)}) {
        RawPeer peer(address, kNoHello);
        CHILD_EXPECT(checks, peer.ready() && peer.send(frame));
        checks.expect(peer.await().kind == RawPeer::Kind::kClosed,
                      "frame kind " + std::to_string(frame.header.kind) + " was not refused");
    }
    return checks.report();
}

TEST_F(ProcessHostilePeer, OnlyTheProcessOfASessionMayOpenChannelsIntoIt) {
    const std::string name = uniqueName("probe");
    ChildProcess& server = spawnProbe(name);
    ASSERT_NE(waitForBinder(name, &server).get(), nullptr);
    const std::optional<Endpoint> endpoint = readRegistryEntry(name);
    ASSERT_TRUE(endpoint.has_value());
    RawPeer session(endpoint->address);
    ASSERT_TRUE(session.ready());

    // Another process naming the session's token, as a channel or as a
    // session of its own, is turned away.
    ChildProcess& intruder = spawn("intruder", {endpoint->address, session.token()});
    EXPECT_EQ(intruder.finish(), "");

    // The session's own process opens a channel and calls on it.
    RawPeer channel(endpoint->address, kNoHello);
    ASSERT_TRUE(channel.ready());
    ASSERT_TRUE(channel.send(join(session.token())));
    const RawPeer::Answer joined = channel.await();
    EXPECT_EQ(joined.header.kind, uint32_t{wire::kJoin}) << describe(joined.kind);
    EXPECT_EQ(joined.header.code, uint32_t{wire::kHelloAccepted});
    ASSERT_TRUE(channel.send(ping()));
    const RawPeer::Answer answer = channel.await();
    EXPECT_EQ(answer.kind, RawPeer::Kind::kReply) << describe(answer.kind);
    EXPECT_EQ(answer.header.code, uint32_t{STATUS_OK});
}

constexpr uid_t kOtherUser = 65534;

// Serves a probe under args[0] that lets kOtherUser in.
BGS_TEST_ROLE(lenientProbe) {
    ABinderProcess_allowPeerUid(kOtherUser);
    return serve(publish(::ndk::SharedRefBase::makeRef<ProbeService>()->asBinder(), args.text(0)));
}

// As kOtherUser, opens a session with the listener args[0], which allows no
// other user, and with args[1], which allows this one.
BGS_TEST_ROLE(otherUser) {
    ChildChecks checks;
    if (!CHILD_EXPECT(checks, ::setuid(kOtherUser) == 0)) return checks.report();
    checks.expect(!RawPeer(args.text(0)).ready(), "a service that allows no other user answered");
    RawPeer allowed(args.text(1));
    checks.expect(allowed.ready() && allowed.send(ping()) && allowed.await().kind == RawPeer::Kind::kReply,
                  "a service that allows this user did not serve it");
    return checks.report();
}

// The kernel's credentials of the connecting process decide, whatever it
// sends: a process of another user is turned away unless the service allows
// that user.
TEST_F(ProcessHostilePeer, PeersOfAnotherUserAreRefusedUnlessAllowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const std::string strict = uniqueName("strict");
    const std::string lenient = uniqueName("lenient");
    ChildProcess& strictServer = spawnProbe(strict);
    ChildProcess& lenientServer = spawn("lenientProbe", {lenient});
    ASSERT_NE(waitForBinder(strict, &strictServer).get(), nullptr);
    ASSERT_NE(waitForBinder(lenient, &lenientServer).get(), nullptr);
    const std::optional<Endpoint> refusing = readRegistryEntry(strict);
    const std::optional<Endpoint> allowing = readRegistryEntry(lenient);
    ASSERT_TRUE(refusing.has_value() && allowing.has_value());

    ChildProcess& other = spawn("otherUser", {refusing->address, allowing->address});
    EXPECT_EQ(other.finish(), "");
}

}  // namespace
}  // namespace bgs_process_test
