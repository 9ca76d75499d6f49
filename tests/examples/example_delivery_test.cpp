// What the cross-process tests of bgservice cannot pin down: which events a
// replaced client still gets, and how output reaches each kind of file
// without touching the client's open file.
#include "example_test_support.h"

#include "service/DeadlineWrite.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bgs_test {
namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::CallbackData;
using bgs::examples::WriteOutcome;
using bgs::examples::writeWithDeadline;
using ::ndk::UniqueAStatus;

// Holds every notifyCallback until released, and says when one is held.
class HeldCallback : public ExampleEventCallback {
  public:
    HeldCallback() : ExampleEventCallback("held") {}
    UniqueAStatus notifyCallback(const CallbackData& data, std::string* answer) override {
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mHeld = true;
            mChanged.notify_all();
            mChanged.wait(lock, [this] { return mReleased; });
        }
        return ExampleEventCallback::notifyCallback(data, answer);
    }
    bool waitUntilHeld() {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::seconds(60), [this] { return mHeld; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mMutex);
        mReleased = true;
        mChanged.notify_all();
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mHeld = false;
    bool mReleased = false;
};

TEST(example_delivery, AReplacedClientGetsOnlyItsCallInFlightAndStallsNobody) {
    auto wire = std::make_unique<ExampleWire>();
    const auto held = ::ndk::SharedRefBase::makeRef<HeldCallback>();
    int32_t number = 0;
    ASSERT_TRUE(wire->proxy->setEventCallback(7, held, &number).isOk());
    wire->capture(1);  // its notifyCallback is held in flight
    wire->capture(2);  // three more events wait behind it
    ASSERT_TRUE(held->waitUntilHeld());

    ExampleWire* raw = wire.get();
    ASSERT_TRUE(finishes([raw] {
        int32_t replaced = 0;
        EXPECT_TRUE(raw->proxy->setEventCallback(8, raw->events, &replaced).isOk());
        raw->capture(3);
        raw->settle();
    })) << "replacing a client waited for its call in flight";
    EXPECT_EQ(methodsOf(wire->events->events()),
              (std::vector<std::string>{"notifyCallback", "notifyCallbackInfo"}));

    held->release();
    wire.reset();  // the service ends every worker, the replaced one too
    const std::vector<ReceivedEvent> got = held->events();
    ASSERT_EQ(methodsOf(got), std::vector<std::string>{"notifyCallback"}) << "the waiting events were not discarded";
    EXPECT_EQ(got[0].data->value2, 1);
}

// ---- Output with a deadline ----

// A descriptor to write to, the files that keep its other end, and what
// must hold after the write.
struct Target {
    int fd = -1;
    std::vector<int> keep;  // closed at the end of the case
    std::function<void()> check;
};

// Fills `fd` (blocking) until a write would block, and leaves it blocking.
void fill(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string page(4096, 'x');
    while (::write(fd, page.data(), page.size()) > 0) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

void expectBlocking(int fd) {
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "the client's open file was made non-blocking";
}

TEST(example_delivery, OutputEndsAtItsDeadlineOnEveryKindOfFileAndLeavesTheClientsFileAsItWas) {
    struct Case {
        const char* name;
        std::function<Target()> make;
        WriteOutcome want;
    };
    const std::vector<Case> cases = {
            {"full pipe",
             [] {
                 int ends[2];
                 EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
                 fill(ends[1]);
                 return Target{ends[1], {ends[0], ends[1]}, [w = ends[1]] { expectBlocking(w); }};
             },
             WriteOutcome::kTimedOut},
            {"pipe with room",
             [] {
                 int ends[2];
                 EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
                 return Target{ends[1], {ends[0], ends[1]}, [r = ends[0]] {
                                   char buffer[64] = {};
                                   EXPECT_EQ(::read(r, buffer, sizeof buffer), 5);
                                   EXPECT_STREQ(buffer, "hello");
                               }};
             },
             WriteOutcome::kWritten},
            {"pipe without reader",
             [] {
                 int ends[2];
                 EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
                 ::close(ends[0]);
                 return Target{ends[1], {ends[1]}, {}};
             },
             WriteOutcome::kReaderGone},
            {"full stream socket",
             [] {
                 int ends[2];
                 EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
                 fill(ends[1]);
                 return Target{ends[1], {ends[0], ends[1]}, [w = ends[1]] { expectBlocking(w); }};
             },
             WriteOutcome::kTimedOut},
            {"regular file, written at its offset",
             [] {
                 FILE* file = std::tmpfile();
                 const int fd = ::dup(::fileno(file));
                 std::fclose(file);
                 EXPECT_EQ(::write(fd, "old:", 4), 4);
                 return Target{fd, {fd}, [fd] {
                                   char buffer[64] = {};
                                   EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), 9);
                                   EXPECT_STREQ(buffer, "old:hello");
                               }};
             },
             WriteOutcome::kWritten},
            {"/dev/null",
             [] {
                 const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
                 return Target{fd, {fd}, {}};
             },
             WriteOutcome::kWritten},
            {"closed descriptor", [] { return Target{1 << 20, {}, {}}; }, WriteOutcome::kFailed},
    };
    // As in a process that serves dumps: a reader that went away is an
    // outcome, not the end of the process.
    std::signal(SIGPIPE, SIG_IGN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Target target = c.make();
        const auto started = std::chrono::steady_clock::now();
        size_t written = 99;
        EXPECT_EQ(writeWithDeadline(target.fd, "hello", std::chrono::milliseconds(200), &written), c.want);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "the deadline did not hold";
        EXPECT_EQ(written, c.want == WriteOutcome::kWritten ? 5u : 0u);
        if (target.check) target.check();
        for (int fd : target.keep) ::close(fd);
    }
}

}  // namespace
}  // namespace bgs_test
