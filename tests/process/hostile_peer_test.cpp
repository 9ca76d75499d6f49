// A peer that speaks to a service's socket directly, with frames the runtime
// never sends. Each input must get a clear status reply or a disconnect, and
// a well-behaved client of the same service must be served throughout.
#include "raw_peer.h"

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

class ProcessHostilePeer : public ProcessTest {};

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
            {"a full packet announcing a larger body",
             [](RawPeer& peer, const std::string&) { return peer.send(firstPacketOf(2 * wire::kMaxPacket)); },
             kDisconnect, kStalls},
            {"a packet longer than its header announces",
             [](RawPeer& peer, const std::string&) {
                 std::vector<uint8_t> bytes = ping().bytes();
                 bytes.resize(bytes.size() + 100, 0);
                 return peer.send(bytes);
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
// other user, and with args[1], which allows this one; then asks args[1] to
// attach a monitor, which only the service's own user may.
BGS_TEST_ROLE(otherUser) {
    ChildChecks checks;
    if (!CHILD_EXPECT(checks, ::setuid(kOtherUser) == 0)) return checks.report();
    checks.expect(!RawPeer(args.text(0)).ready(), "a service that allows no other user answered");
    RawPeer allowed(args.text(1));
    checks.expect(allowed.ready() && allowed.send(ping()) && allowed.await().kind == RawPeer::Kind::kReply,
                  "a service that allows this user did not serve it");
    RawPeer watcher(args.text(1), false);
    Frame attach;
    attach.header.magic = wire::kFrameMagic;
    attach.header.kind = wire::kMonitor;
    const RawPeer::Answer answer = watcher.send(attach) ? watcher.await() : RawPeer::Answer{};
    checks.expect(answer.header.kind == wire::kMonitor && answer.header.code == wire::kMonitorNotPermitted,
                  std::string("a monitor of another user was answered with ") + describe(answer.kind) + " code " +
                          std::to_string(answer.header.code));
    checks.expect(watcher.hungUp(), "a refused monitor stays connected");
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
