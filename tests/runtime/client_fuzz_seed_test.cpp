// Runs the client fuzzer's entry point over its built-in seeds: each one is
// a hostile service's script against the runtime as a client in this
// process, followed by the fuzzer's own checks (every call returns in
// bounded time, the client's frames and releases stay within what the
// service sent, its sessions are torn down, a well-formed exchange still
// works; aborts otherwise). The outcomes are checked where a wrong one is a
// fault: a reply that is not the call's must never be taken as its answer,
// and what breaks a session must not leave its binders usable.
#include <gtest/gtest.h>

#include <android/binder_status.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client_fuzzer.h"

namespace {

using bgs_fuzz::ClientAction;
using bgs_fuzz::ClientCall;
using bgs_fuzz::ClientOutcome;

// Every wait of the seeds stretched, so that each answer comes before the
// call it answers gives up, whatever else the machine runs.
constexpr int kPatience = 10;

class RuntimeClientFuzzSeeds : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { bgs_fuzz::setClientPatience(kPatience); }

    static ClientOutcome replay(const std::string& name) {
        for (const auto& seed : bgs_fuzz::clientSeeds()) {
            if (name != seed.name) continue;
            EXPECT_EQ(LLVMFuzzerTestOneInput(seed.input.data(), seed.input.size()), 0);
            return bgs_fuzz::lastClientOutcome();
        }
        ADD_FAILURE() << "no seed named " << name;
        return ClientOutcome();
    }

    // The results of the script's calls of one action, in order.
    static std::vector<ClientCall> callsOf(const ClientOutcome& outcome, ClientAction action) {
        std::vector<ClientCall> calls;
        for (const ClientCall& call : outcome.calls) {
            if (call.action == action) calls.push_back(call);
        }
        return calls;
    }
};

TEST_F(RuntimeClientFuzzSeeds, EverySeedLeavesTheClientWorking) {
    for (const auto& seed : bgs_fuzz::clientSeeds()) {
        SCOPED_TRACE(seed.name);
        EXPECT_EQ(LLVMFuzzerTestOneInput(seed.input.data(), seed.input.size()), 0);
    }
}

TEST_F(RuntimeClientFuzzSeeds, WellFormedAnswersServeTheCall) {
    // A refused channel leaves the session usable: the call takes the primary link.
    for (const auto& [name, value] : std::vector<std::pair<std::string, int32_t>>{
                 {"lookupAndCall", 5}, {"joinRefused", 9}, {"replyInSealedFile", 0x10}, {"acceptedAsCodeZero", 3}}) {
        SCOPED_TRACE(name);
        const ClientOutcome outcome = replay(name);
        ASSERT_EQ(callsOf(outcome, ClientAction::kLookup).size(), 1u);
        EXPECT_EQ(callsOf(outcome, ClientAction::kLookup)[0].status, STATUS_OK);
        const auto calls = callsOf(outcome, ClientAction::kCall);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].status, STATUS_OK);
        EXPECT_EQ(calls[0].value, value);
    }
    const auto home = callsOf(replay("clientObjectComesHome"), ClientAction::kCall);
    ASSERT_EQ(home.size(), 1u);
    EXPECT_EQ(home[0].status, STATUS_OK);
    EXPECT_TRUE(home[0].gotBinder);
    // A request larger than a packet goes in a sealed file (the fake service
    // aborts on one it cannot read) and is answered.
    const auto large = callsOf(replay("largeRequestInFile"), ClientAction::kCall);
    ASSERT_EQ(large.size(), 1u);
    EXPECT_EQ(large[0].status, STATUS_OK);
}

TEST_F(RuntimeClientFuzzSeeds, AnswersThatAreNotTheCallsNeverServeIt) {
    for (const char* name : {"replyWrongSeq", "replyWrongThread", "replyInUnsealedFile", "replyFileWrongSize",
                             "replyWithDescriptor"}) {
        SCOPED_TRACE(name);
        const auto calls = callsOf(replay(name), ClientAction::kCall);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_NE(calls[0].status, STATUS_OK);
    }
    // Refused or garbled handshakes, and a lookup answered with an object of
    // the client that it never sent, find nothing.
    for (const char* name : {"helloDuplicate", "helloWrongToken", "helloHungUp", "helloAfterPing", "lookupForgedHome"}) {
        SCOPED_TRACE(name);
        const auto lookups = callsOf(replay(name), ClientAction::kLookup);
        ASSERT_EQ(lookups.size(), 1u);
        EXPECT_NE(lookups[0].status, STATUS_OK);
    }
}

TEST_F(RuntimeClientFuzzSeeds, LateReplyIsDroppedAndTheNextCallIsServed) {
    const auto calls = callsOf(replay("lateReplyThenCall"), ClientAction::kCall);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].status, STATUS_TIMED_OUT);
    EXPECT_EQ(calls[1].status, STATUS_OK);
    EXPECT_EQ(calls[1].value, 2);  // its own answer, not the late one
}

TEST_F(RuntimeClientFuzzSeeds, ServiceCallsIntoTheClientAreServed) {
    // On the primary link, and nested into the thread that waits in a call
    // on its channel or on the primary link.
    for (const char* name : {"callIntoClientObject", "nestedCallOnChannel", "nestedCallOnPrimary"}) {
        SCOPED_TRACE(name);
        const ClientOutcome outcome = replay(name);
        ASSERT_EQ(outcome.clientReplies.size(), 1u);
        EXPECT_EQ(outcome.clientReplies[0].status, STATUS_OK);
        EXPECT_EQ(outcome.clientReplies[0].value, 0x10);
        const auto calls = callsOf(outcome, ClientAction::kCall);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].status, STATUS_OK);
    }
}

TEST_F(RuntimeClientFuzzSeeds, OnlyAnOverrunningReleaseEndsTheSession) {
    const auto exact = callsOf(replay("releaseExact"), ClientAction::kCall);
    ASSERT_EQ(exact.size(), 2u);
    EXPECT_EQ(exact[1].status, STATUS_OK);
    for (const char* name : {"releaseOverrun", "releaseTwiceInFrame"}) {
        SCOPED_TRACE(name);
        const auto calls = callsOf(replay(name), ClientAction::kCall);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].status, STATUS_OK);
        EXPECT_EQ(calls[1].status, STATUS_DEAD_OBJECT);
    }
}

TEST_F(RuntimeClientFuzzSeeds, DeathFrameKillsTheImportAndFiresItsLink) {
    const uint32_t before = bgs_fuzz::clientDeathsSoFar();
    const ClientOutcome outcome = replay("deathOfImport");
    ASSERT_EQ(callsOf(outcome, ClientAction::kLinkToDeath).size(), 1u);
    EXPECT_EQ(callsOf(outcome, ClientAction::kLinkToDeath)[0].status, STATUS_OK);
    ASSERT_EQ(callsOf(outcome, ClientAction::kPing).size(), 1u);
    EXPECT_EQ(callsOf(outcome, ClientAction::kPing)[0].status, STATUS_DEAD_OBJECT);
    // The link fires on a runtime thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bgs_fuzz::clientDeathsSoFar() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(bgs_fuzz::clientDeathsSoFar(), before + 1);
}

TEST_F(RuntimeClientFuzzSeeds, HangUpEndsAWaitingCall) {
    const auto calls = callsOf(replay("hangUpMidCall"), ClientAction::kCall);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].status, STATUS_DEAD_OBJECT);
}

}  // namespace
