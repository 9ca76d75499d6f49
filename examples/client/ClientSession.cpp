#include "ClientSession.h"

#include "ExampleEventCallback.h"
#include "common/ExampleErrors.h"

#include <algorithm>
#include <utility>

namespace bgs::examples {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;
using ::ndk::UniqueAStatus;

namespace {

// The outcome a call should have: OK, an exception, or a service-specific
// error of the service's own.
struct Want {
    binder_exception_t exception = EX_NONE;
    int32_t serviceError = 0;

    static Want ok() { return {}; }
    static Want failure(binder_exception_t code) { return {code, 0}; }
    static Want serviceSpecific(int32_t code) { return {EX_SERVICE_SPECIFIC, code}; }

    bool matches(const UniqueAStatus& status) const {
        return status.getExceptionCode() == exception &&
               status.getServiceSpecificError() == serviceError;
    }
    std::string describe() const {
        if (exception == EX_NONE) {
            return "OK";
        }
        if (exception == EX_SERVICE_SPECIFIC) {
            return "service-specific error " + std::to_string(serviceError);
        }
        return AStatus_exceptionName(exception);
    }
};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }
std::string show(int32_t value) { return std::to_string(value); }
std::string show(const std::string& value) { return quoted(value); }

// "" when the result is the wanted one, else what went wrong.
template <typename T>
std::string checkResult(const T& result, const T& wanted) {
    return result == wanted ? "" : "result " + show(result) + ", wanted " + show(wanted);
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
    std::string joined;
    for (const std::string& part : parts) {
        joined += (joined.empty() ? "" : separator) + part;
    }
    return joined;
}

std::string padded(std::string text, size_t width) {
    text.resize(std::max(text.size() + 1, width), ' ');
    return text;
}

// Names of the service's registrations, as the client chose them.
constexpr int32_t kClientId = 7;
constexpr int32_t kGalleryId = 3;

class Session {
  public:
    Session(std::shared_ptr<IBGService> bgService, const TranscriptSink& sink,
            std::chrono::milliseconds eventPatience)
        : service(std::move(bgService)), mSink(sink), mEventPatience(eventPatience) {}

    // Reports one call: `status` against `want`, the results (shown when the
    // call succeeded), a problem found in them, and the events the call must
    // have caused, in order, as "label.method".
    void call(const std::string& subject, const UniqueAStatus& status, const Want& want,
              const std::string& results = "", const std::string& resultProblem = "",
              const std::vector<std::string>& wantEvents = {}) {
        TranscriptEntry entry;
        entry.kind = TranscriptEntry::Kind::kCall;
        entry.number = ++mSummary.calls;
        entry.subject = subject;
        entry.outcome = status.getDescription();
        std::vector<std::string> problems;
        if (!want.matches(status)) {
            problems.push_back("wanted " + want.describe());
        }
        if (status.isOk() && !results.empty()) {
            entry.outcome += " -> " + results;
        }
        if (status.isOk() && !resultProblem.empty()) {
            problems.push_back(resultProblem);
        }

        mLastEvents = takeNewEvents(wantEvents);
        std::vector<std::string> names;
        for (const ReceivedEvent& event : mLastEvents) {
            names.push_back(event.label + "." + event.method);
        }
        if (names != wantEvents) {
            problems.push_back("events [" + join(names, ", ") + "], wanted [" +
                               join(wantEvents, ", ") + "]");
        }

        entry.problem = join(problems, "; ");
        if (!entry.problem.empty()) {
            mSummary.problems.push_back(subject + ": " + entry.problem);
        }
        mSink(entry);
        for (const ReceivedEvent& event : mLastEvents) {
            ++mSummary.events;
            TranscriptEntry line;
            line.kind = TranscriptEntry::Kind::kEvent;
            line.subject = event.label + " <- " + event.method;
            line.outcome = event.arguments + "  answered " + quoted(event.answer);
            mSink(line);
        }
    }

    // The events the last reported call caused.
    const std::vector<ReceivedEvent>& lastEvents() const { return mLastEvents; }

    const SessionSummary& summary() const { return mSummary; }

    const std::shared_ptr<IBGService> service;
    const std::shared_ptr<ExampleEventCallback> events =
            ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("events");
    const std::shared_ptr<ExampleEventCallback> gallery =
            ::ndk::SharedRefBase::makeRef<ExampleEventCallback>("gallery");

  private:
    // Events that arrived since the last call, once those `wanted` have
    // come (or the patience ran out): the event callback's in order of
    // receipt, then the gallery callback's. Each callback has its own
    // delivery thread in the service, so only the order within one is fixed.
    std::vector<ReceivedEvent> takeNewEvents(const std::vector<std::string>& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + mEventPatience;
        for (const auto& callback : {events, gallery}) {
            const size_t seen = callback == events ? mSeenEvents : mSeenGallery;
            const auto count = static_cast<size_t>(
                    std::count_if(wanted.begin(), wanted.end(), [&](const std::string& name) {
                        return name.rfind(callback->label() + ".", 0) == 0;
                    }));
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
            callback->waitForEvents(seen + count, std::max(left, std::chrono::milliseconds(0)));
        }
        std::vector<ReceivedEvent> fresh = events->eventsFrom(mSeenEvents);
        std::vector<ReceivedEvent> fromGallery = gallery->eventsFrom(mSeenGallery);
        mSeenEvents += fresh.size();
        mSeenGallery += fromGallery.size();
        fresh.insert(fresh.end(), fromGallery.begin(), fromGallery.end());
        return fresh;
    }

    const TranscriptSink& mSink;
    const std::chrono::milliseconds mEventPatience;
    SessionSummary mSummary;
    std::vector<ReceivedEvent> mLastEvents;
    size_t mSeenEvents = 0;
    size_t mSeenGallery = 0;
};

// The image name the last notifyCallback carried, or "" when none arrived.
std::string announcedImage(const Session& session) {
    for (const ReceivedEvent& event : session.lastEvents()) {
        if (event.data) {
            return event.data->text;
        }
    }
    return "";
}

}  // namespace

SessionSummary runClientSession(const std::shared_ptr<IBGService>& service,
                                const TranscriptSink& sink, std::chrono::milliseconds eventPatience) {
    Session s(service, sink, eventPatience);
    IBGService& bg = *s.service;

    int32_t version = 0;
    auto status = bg.getInterfaceVersion(&version);
    s.call("getInterfaceVersion()", status, Want::ok(), show(version),
           checkResult(version, IBGService::version));

    std::string hash;
    status = bg.getInterfaceHash(&hash);
    s.call("getInterfaceHash()", status, Want::ok(), show(hash),
           checkResult(hash, IBGService::hash));

    int32_t loaded = -1;
    status = bg.getStorageLoadCompletedStatus(0, &loaded);
    s.call("getStorageLoadCompletedStatus(0)", status, Want::ok(), show(loaded),
           checkResult(loaded, 0));

    // Refused: the service needs to know what the client supports.
    status = bg.setCapabilities("");
    s.call("setCapabilities(\"\")", status, Want::failure(EX_ILLEGAL_ARGUMENT));

    status = bg.setCapabilities("hdr,night,burst");
    s.call("setCapabilities(\"hdr,night,burst\")", status, Want::ok());

    loaded = -1;
    status = bg.getStorageLoadCompletedStatus(0, &loaded);
    s.call("getStorageLoadCompletedStatus(0)", status, Want::ok(), show(loaded),
           checkResult(loaded, 1));

    int32_t registration = 0;
    status = bg.setEventCallback(kClientId, s.events, &registration);
    s.call("setEventCallback(7, events)", status, Want::ok(), "#" + show(registration),
           registration > 0 ? "" : "no registration number");

    registration = 0;
    status = bg.setGalleryEventCallback(kGalleryId, s.gallery, &registration);
    s.call("setGalleryEventCallback(3, gallery)", status, Want::ok(), "#" + show(registration),
           registration > 0 ? "" : "no registration number");

    status = bg.setTimestamps(1, 1700000000123);
    s.call("setTimestamps(1, 1700000000123)", status, Want::ok());

    // With a timestamp the request produces an image, announced in the
    // CallbackData; the client saves it under the name it was given.
    status = bg.setRequstCompleted(1);
    s.call("setRequstCompleted(1)", status, Want::ok(), "", "",
           {"events.notifyCallback", "events.notifyCallbackInfo"});
    const std::string image = announcedImage(s);

    status = bg.setRequstCompletedImageName(image);
    s.call("setRequstCompletedImageName(" + quoted(image) + ")", status, Want::ok(), "", "",
           {"events.onCaptureCompleted", "gallery.notifySnapshotAvailability"});

    int32_t snapshots = -1;
    status = bg.getGalleryAvailability(kGalleryId, &snapshots);
    s.call("getGalleryAvailability(3)", status, Want::ok(), show(snapshots),
           checkResult(snapshots, 1));

    // Refused: the image is already saved.
    status = bg.setRequstCompletedImageName(image);
    s.call("setRequstCompletedImageName(" + quoted(image) + ")", status,
           Want::serviceSpecific(kErrorUnknownImage));

    // Without a timestamp the capture fails: the call succeeds, the failure
    // is reported as an event.
    status = bg.setRequstCompleted(2);
    s.call("setRequstCompleted(2)", status, Want::ok(), "", "",
           {"events.onCaptureFailed", "events.notifyCallbackInfo"});

    // Unregistering lets the service drop its references to our callbacks.
    registration = -1;
    status = bg.setEventCallback(kClientId, nullptr, &registration);
    s.call("setEventCallback(7, null)", status, Want::ok(), show(registration),
           checkResult(registration, 0));

    registration = -1;
    status = bg.setGalleryEventCallback(kGalleryId, nullptr, &registration);
    s.call("setGalleryEventCallback(3, null)", status, Want::ok(), show(registration),
           checkResult(registration, 0));

    return s.summary();
}

std::string formatTranscriptLine(const TranscriptEntry& entry) {
    // Columns: call number, kind, what was called or received, what came of it.
    std::string line;
    switch (entry.kind) {
        case TranscriptEntry::Kind::kCall: {
            const std::string number = show(entry.number);
            line = std::string(number.size() < 4 ? 4 - number.size() : 0, ' ') + number +
                   "  call  " + padded(entry.subject, 46) + entry.outcome;
            break;
        }
        case TranscriptEntry::Kind::kEvent:
            line = "      event " + padded("  " + entry.subject, 46) + entry.outcome;
            break;
        case TranscriptEntry::Kind::kNote:
            line = "      note  " + entry.subject;
            break;
    }
    if (!entry.problem.empty()) {
        line += "   <-- UNEXPECTED: " + entry.problem;
    }
    return line;
}

std::string formatSummary(const std::string& program, const SessionSummary& summary) {
    return program + ": " + std::to_string(summary.calls) + " calls, " +
           std::to_string(summary.events) + " events, " +
           (summary.allAsExpected() ? "all as expected"
                                    : std::to_string(summary.problems.size()) + " unexpected");
}

}  // namespace bgs::examples
