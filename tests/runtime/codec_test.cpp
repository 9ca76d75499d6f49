// The frame codec over a socket pair: one packet per frame, and bodies too
// large for a packet in a sealed memory file that the receiver trusts only
// when it cannot change.
#include "wire/codec.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace binder_ndk::internal {
namespace {

class CodecTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_), 0); }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int sender() const { return fds_[0]; }
    int receiver() const { return fds_[1]; }

  private:
    int fds_[2] = {-1, -1};
};

wire::FrameHeader replyOf(size_t dataSize) {
    wire::FrameHeader h = wire::makeHeader(wire::kReply);
    h.dataSize = static_cast<uint32_t>(dataSize);
    return h;
}

TEST_F(CodecTest, BodiesOnBothSidesOfThePacketSizeArriveWhole) {
    for (const size_t size : {size_t{0}, size_t{4}, wire::kMaxInlineBody & ~size_t{3}, size_t{256} << 10,
                              wire::kMaxTransactionData}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7);
        ASSERT_EQ(wire::sendFrame(sender(), replyOf(size), data.data(), nullptr, nullptr, 0), wire::Io::kDone);
        FramePtr frame;
        ASSERT_EQ(wire::receiveFrame(receiver(), &frame), wire::Io::kDone);
        ASSERT_EQ(frame->body.size(), size);
        EXPECT_TRUE(size == 0 || std::memcmp(frame->body.data(), data.data(), size) == 0);
        EXPECT_EQ(wire::receiveFrame(receiver(), &frame), wire::Io::kAgain) << "more than one packet";
    }
}

// A hand-made file body: `seals` added, `size` bytes long, announcing
// `announced` bytes.
wire::Io receiveFileBody(int sender, int receiver, int seals, size_t size, size_t announced) {
    const int file = ::memfd_create("test-body", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0 || ::ftruncate(file, static_cast<off_t>(size)) != 0) return wire::Io::kBroken;
    if (seals != 0 && ::fcntl(file, F_ADD_SEALS, seals) != 0) return wire::Io::kBroken;
    wire::FrameHeader h = replyOf(announced);
    h.flags = wire::kFlagBodyInFile;
    iovec iov{&h, sizeof h};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &file, sizeof file);
    const bool sent = ::sendmsg(sender, &msg, 0) == static_cast<ssize_t>(sizeof h);
    ::close(file);
    if (!sent) return wire::Io::kBroken;
    FramePtr frame;
    return wire::receiveFrame(receiver, &frame);
}

TEST_F(CodecTest, AFileBodyIsTakenOnlySealedAndOfTheAnnouncedSize) {
    constexpr int kSealed = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
    constexpr size_t kLarge = size_t{128} << 10;
    struct Case {
        const char* name;
        int seals;
        size_t size;
        size_t announced;
        wire::Io expected;
    };
    const Case cases[] = {
            {"sealed, announced size", kSealed, kLarge, kLarge, wire::Io::kDone},
            {"writable", F_SEAL_SHRINK | F_SEAL_GROW, kLarge, kLarge, wire::Io::kBroken},
            {"may grow", F_SEAL_WRITE | F_SEAL_SHRINK, kLarge, kLarge, wire::Io::kBroken},
            {"longer than announced", kSealed, kLarge + 4, kLarge, wire::Io::kBroken},
            {"shorter than announced", kSealed, kLarge - 4, kLarge, wire::Io::kBroken},
            {"small enough to travel inline", kSealed, 64, 64, wire::Io::kBroken},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(receiveFileBody(sender(), receiver(), c.seals, c.size, c.announced), c.expected);
    }
}

}  // namespace
}  // namespace binder_ndk::internal
