// Runs the session fuzzer's entry point over its built-in seeds: each one is
// a hostile peer's input against a service in this process, followed by the
// fuzzer's own checks (a well-behaved client is still served; aborts
// otherwise). The outcomes are checked too, so that the seeds keep reaching
// the frames they were written for and the runtime keeps answering them as
// docs/runtime.md says.
#include <gtest/gtest.h>

#include <android/binder_status.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "session_fuzzer.h"

namespace {

using bgs_fuzz::SeenReply;
using bgs_fuzz::SessionOutcome;

// Patient enough that every answer due arrives before the peer hangs up.
constexpr int kQuietMs = 50;
constexpr int kLimitMs = 5000;

class RuntimeSessionFuzzSeeds : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { bgs_fuzz::setSessionPatience(kQuietMs, kLimitMs); }

    static SessionOutcome replay(const std::string& name) {
        for (const auto& seed : bgs_fuzz::sessionSeeds()) {
            if (name != seed.name) continue;
            EXPECT_EQ(LLVMFuzzerTestOneInput(seed.input.data(), seed.input.size()), 0);
            return bgs_fuzz::lastSessionOutcome();
        }
        ADD_FAILURE() << "no seed named " << name;
        return SessionOutcome();
    }
};

// Calls sent one after another on one socket are served on several runtime
// threads, so their replies may come in any order: statuses are compared
// sorted.
std::vector<int32_t> statusesOn(const SessionOutcome& outcome, int socket) {
    std::vector<int32_t> statuses;
    for (const SeenReply& reply : outcome.replies) {
        if (reply.socket == socket) statuses.push_back(reply.status);
    }
    std::sort(statuses.begin(), statuses.end());
    return statuses;
}

std::vector<int32_t> sorted(std::vector<int32_t> statuses) {
    std::sort(statuses.begin(), statuses.end());
    return statuses;
}

int32_t firstWord(const SeenReply& reply) {
    int32_t word = -1;
    if (reply.data.size() >= sizeof word) std::memcpy(&word, reply.data.data(), sizeof word);
    return word;
}

TEST_F(RuntimeSessionFuzzSeeds, EverySeedLeavesTheServiceServingOthers) {
    for (const auto& seed : bgs_fuzz::sessionSeeds()) {
        SCOPED_TRACE(seed.name);
        EXPECT_EQ(LLVMFuzzerTestOneInput(seed.input.data(), seed.input.size()), 0);
    }
}

TEST_F(RuntimeSessionFuzzSeeds, WellFormedFramesAreAnswered) {
    SessionOutcome ping = replay("ping");
    EXPECT_EQ(ping.hellos, 1u);
    EXPECT_EQ(statusesOn(ping, 0), std::vector<int32_t>({STATUS_OK}));

    SessionOutcome channel = replay("joinAndCallOnChannel");
    EXPECT_EQ(statusesOn(channel, 2), std::vector<int32_t>({STATUS_OK}));
    EXPECT_EQ(channel.closedSockets, 0u);

    SessionOutcome echo = replay("getServiceAndEcho");
    // getService, three echoes, a new object, the ping.
    ASSERT_EQ(statusesOn(echo, 0), std::vector<int32_t>(6, STATUS_OK));
    // A binder each: the service, the peer's own binder sent back, the new object.
    EXPECT_EQ(std::count_if(echo.replies.begin(), echo.replies.end(),
                            [](const SeenReply& reply) { return reply.objectCount == 1; }),
              3);
    EXPECT_EQ(std::count_if(echo.replies.begin(), echo.replies.end(),
                            [](const SeenReply& reply) { return firstWord(reply) == 42; }),
              1);
    EXPECT_EQ(echo.closedSockets, 0u);

    SessionOutcome released = replay("releaseGivenBack");  // giving back what was sent is no fault
    EXPECT_EQ(statusesOn(released, 0), std::vector<int32_t>({STATUS_OK, STATUS_OK}));
    EXPECT_EQ(released.closedSockets, 0u);

    EXPECT_EQ(statusesOn(replay("dumpWithDescriptor"), 0), std::vector<int32_t>({STATUS_OK, STATUS_OK}));
    // No reply to the one-way call: getService and the ping only.
    EXPECT_EQ(statusesOn(replay("onewayThenPing"), 0), std::vector<int32_t>({STATUS_OK, STATUS_OK}));
}

TEST_F(RuntimeSessionFuzzSeeds, ForgedReferenceFailsOnlyItsCall) {
    SessionOutcome outcome = replay("forgedObject");
    EXPECT_EQ(statusesOn(outcome, 0), sorted({STATUS_OK, STATUS_BAD_VALUE, STATUS_OK}));
    EXPECT_EQ(outcome.closedSockets, 0u);
}

TEST_F(RuntimeSessionFuzzSeeds, MalformedFramesEndOnlyTheirConnection) {
    // The peer's only socket: waiting for the hang-up ends as soon as it
    // comes, so a long wait costs nothing unless the hang-up is missing.
    bgs_fuzz::setSessionPatience(kLimitMs, kLimitMs);
    for (const char* name : {"splitFrame", "truncatedContinuation", "oversizeData", "releaseNeverSent"}) {
        SCOPED_TRACE(name);
        SessionOutcome outcome = replay(name);
        EXPECT_EQ(outcome.closedSockets, 1u);
        EXPECT_EQ(outcome.hellos, 1u);
    }
    bgs_fuzz::setSessionPatience(kQuietMs, kLimitMs);
    // A join naming no session, a hello reusing a live token: that socket is
    // refused, the session goes on.
    for (const char* name : {"joinWrongToken", "duplicateHello"}) {
        SCOPED_TRACE(name);
        SessionOutcome outcome = replay(name);
        EXPECT_EQ(outcome.closedSockets, 1u);
        EXPECT_EQ(statusesOn(outcome, 0), std::vector<int32_t>({STATUS_OK}));
    }
}

TEST_F(RuntimeSessionFuzzSeeds, ServiceCallsBackIntoThePeerAndGetsItsAnswer) {
    SessionOutcome outcome = replay("callBack");
    EXPECT_EQ(outcome.transactions, 1u);
    ASSERT_EQ(statusesOn(outcome, 0), std::vector<int32_t>({STATUS_OK, STATUS_OK}));
    // getService is answered before the script runs; then the call, whose
    // reply holds the status of the call back.
    EXPECT_EQ(firstWord(outcome.replies[1]), STATUS_OK);
}

TEST_F(RuntimeSessionFuzzSeeds, ReturnsAreCountedAgainstTheReleasesThatReportThem) {
    // The release of the service's binder reports a reference sent back; the
    // entry waits for it, however the two are ordered, so the frame that
    // carries it is never taken for a forgery.
    for (const char* name : {"returnThenRelease", "releaseOvertakesReturn", "returnedTwiceInOneFrame"}) {
        SCOPED_TRACE(name);
        const SessionOutcome outcome = replay(name);
        std::vector<int32_t> statuses;
        for (const SeenReply& reply : outcome.replies) statuses.push_back(reply.status);
        EXPECT_EQ(statuses, std::vector<int32_t>(3, STATUS_OK));
        EXPECT_EQ(outcome.closedSockets, 0u);
    }
    // Sent home in a call on it, the binder goes out again in the reply.
    const SessionOutcome echoed = replay("echoHome");
    EXPECT_EQ(statusesOn(echoed, 0), std::vector<int32_t>(3, STATUS_OK));
    EXPECT_EQ(std::count_if(echoed.replies.begin(), echoed.replies.end(),
                            [](const SeenReply& reply) { return reply.objectCount == 1; }),
              2);  // getService and the echo
}

TEST_F(RuntimeSessionFuzzSeeds, ObjectsAnnouncedDeadAreNeverCalled) {
    // A kind-3 object is dead on arrival: calling it back fails without a
    // frame sent to the peer.
    const SessionOutcome dead = replay("deadSenderObject");
    EXPECT_EQ(dead.transactions, 0u);
    ASSERT_EQ(statusesOn(dead, 0), std::vector<int32_t>(3, STATUS_OK));
    EXPECT_EQ(std::count_if(dead.replies.begin(), dead.replies.end(),
                            [](const SeenReply& reply) { return firstWord(reply) == STATUS_DEAD_OBJECT; }),
              1);
    // A death frame naming an import the service is calling, and a handle
    // it never imported, leave the session serving.
    const SessionOutcome relayed = replay("deathNamingImport");
    EXPECT_EQ(relayed.transactions, 1u);
    EXPECT_EQ(statusesOn(relayed, 0), std::vector<int32_t>({STATUS_OK, STATUS_OK}));
    EXPECT_EQ(relayed.closedSockets, 0u);
}

}  // namespace
