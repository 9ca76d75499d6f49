// The example client session: that it passes against the example service
// however it is reached, and that its checks catch a service that does not
// behave.
#include "example_test_support.h"

#include "client/ClientSession.h"

#include <algorithm>

namespace bgs_test {
namespace {

using bgs::examples::runClientSession;
using bgs::examples::SessionSummary;
using bgs::examples::TranscriptEntry;
using ::ndk::UniqueAStatus;

struct Recorded {
    SessionSummary summary;
    std::vector<TranscriptEntry> entries;
};

Recorded run(const std::shared_ptr<IBGService>& service,
             std::chrono::milliseconds eventPatience = std::chrono::seconds(60)) {
    Recorded recorded;
    recorded.summary = runClientSession(
            service, [&](const TranscriptEntry& entry) { recorded.entries.push_back(entry); },
            eventPatience);
    return recorded;
}

int count(const Recorded& recorded, TranscriptEntry::Kind kind) {
    return static_cast<int>(std::count_if(recorded.entries.begin(), recorded.entries.end(),
                                          [kind](const TranscriptEntry& e) { return e.kind == kind; }));
}

TEST(example_session, PassesAgainstTheServiceDirectlyAndThroughAProxy) {
    for (bool throughProxy : {false, true}) {
        SCOPED_TRACE(throughProxy ? "proxy" : "local object");
        ExampleWire wire;
        std::shared_ptr<IBGService> target =
                throughProxy ? wire.proxy : std::shared_ptr<IBGService>(wire.service);
        Recorded recorded = run(target);
        EXPECT_TRUE(recorded.summary.allAsExpected())
                << ::testing::PrintToString(recorded.summary.problems);
        EXPECT_EQ(recorded.summary.calls, 16);
        EXPECT_EQ(recorded.summary.events, 6);
        EXPECT_EQ(count(recorded, TranscriptEntry::Kind::kCall), recorded.summary.calls);
        EXPECT_EQ(count(recorded, TranscriptEntry::Kind::kEvent), recorded.summary.events);
        ASSERT_FALSE(recorded.entries.empty());
        EXPECT_EQ(recorded.entries.back().subject, "setGalleryEventCallback(3, null)");
    }
}

TEST(example_session, TranscriptShowsStatusResultsAndEventsUnderTheirCall) {
    ExampleWire wire;
    Recorded recorded = run(wire.proxy);
    const std::vector<TranscriptEntry>& e = recorded.entries;
    auto call = std::find_if(e.begin(), e.end(), [](const TranscriptEntry& entry) {
        return entry.subject == "setRequstCompleted(1)";
    });
    ASSERT_NE(call, e.end());
    ASSERT_GE(e.end() - call, 3);
    EXPECT_EQ(call[1].subject, "events <- notifyCallback");
    EXPECT_NE(call[1].outcome.find("text: \"req1.jpg\""), std::string::npos) << call[1].outcome;
    EXPECT_NE(call[1].outcome.find("answered \"events got notifyCallback #1\""),
              std::string::npos);
    EXPECT_EQ(call[2].subject, "events <- notifyCallbackInfo");

    const std::string refused = bgs::examples::formatTranscriptLine(e[3]);
    EXPECT_NE(refused.find("setCapabilities(\"\")"), std::string::npos) << refused;
    EXPECT_NE(refused.find("EX_ILLEGAL_ARGUMENT"), std::string::npos) << refused;
    EXPECT_NE(refused.find("capabilities must not be empty"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("UNEXPECTED"), std::string::npos) << "an expected refusal is fine";
    EXPECT_EQ(bgs::examples::formatSummary("demo", recorded.summary),
              "demo: 16 calls, 6 events, all as expected");
}

// Accepts what it should refuse and completes requests without telling
// anyone.
class SloppyService : public ExampleBGService {
  public:
    UniqueAStatus setCapabilities(const std::string&) override { return UniqueAStatus::ok(); }
    UniqueAStatus setRequstCompleted(int64_t) override { return UniqueAStatus::ok(); }
};

TEST(example_session, ReportsEveryOutcomeThatIsNotTheExpectedOne) {
    auto sloppy = ::ndk::SharedRefBase::makeRef<SloppyService>();
    // Events it never sends are waited for briefly.
    Recorded recorded = run(::ndk::SharedRefBase::makeRef<BpBGService>(sloppy->asBinder()),
                            std::chrono::milliseconds(50));

    EXPECT_FALSE(recorded.summary.allAsExpected());
    EXPECT_EQ(recorded.summary.calls, 16) << "a problem must not cut the session short";
    std::vector<std::string> flagged;
    for (const TranscriptEntry& entry : recorded.entries) {
        const std::string line = bgs::examples::formatTranscriptLine(entry);
        EXPECT_EQ(line.find("UNEXPECTED") != std::string::npos, !entry.problem.empty()) << line;
        if (!entry.problem.empty()) {
            flagged.push_back(entry.subject);
        }
    }
    // Refusal accepted; capabilities dropped, so storage never loads; both
    // completions silent; the image never announced cannot be saved.
    EXPECT_EQ(flagged, (std::vector<std::string>{
                               "setCapabilities(\"\")",
                               "getStorageLoadCompletedStatus(0)", "setRequstCompleted(1)",
                               "setRequstCompletedImageName(\"\")", "getGalleryAvailability(3)",
                               "setRequstCompleted(2)"}));
    EXPECT_EQ(recorded.summary.problems.size(), flagged.size());
    EXPECT_EQ(bgs::examples::formatSummary("demo", recorded.summary),
              "demo: 16 calls, 0 events, " + std::to_string(flagged.size()) + " unexpected");
}

}  // namespace
}  // namespace bgs_test
