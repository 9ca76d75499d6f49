/*
 * The example client's whole conversation with an IBGService: it calls every
 * method, registers two ExampleEventCallbacks ("events" and "gallery"),
 * provokes the failure paths, and checks each outcome against what
 * ExampleBGService is meant to do. Every call and every event it caused is
 * reported to a transcript sink as it happens.
 *
 * It takes the service as a plain std::shared_ptr<IBGService>, so the same
 * session runs against the local object, a proxy in this process, or a proxy
 * to another process.
 */
#ifndef BGS_EXAMPLES_CLIENT_CLIENTSESSION_H
#define BGS_EXAMPLES_CLIENT_CLIENTSESSION_H

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bgs::examples {

struct TranscriptEntry {
    enum class Kind { kCall, kEvent, kNote };
    Kind kind = Kind::kNote;
    int number = 0;        // calls only: 1, 2, ... in order
    std::string subject;   // call: "method(arguments)"; event: "label <- method"; note: the text
    std::string outcome;   // call: status description and results; event: data and answer
    std::string problem;   // why the outcome was not the expected one; empty when it was

    static TranscriptEntry note(std::string text) {
        TranscriptEntry entry;
        entry.subject = std::move(text);
        return entry;
    }
};

// Receives the entries in order, on the session's thread.
using TranscriptSink = std::function<void(const TranscriptEntry&)>;

struct SessionSummary {
    int calls = 0;
    int events = 0;
    std::vector<std::string> problems;  // one per unexpected outcome
    bool allAsExpected() const { return problems.empty(); }
};

// The service calls events from threads of its own, after the call that
// caused them may have returned: after each call the session waits up to
// `eventPatience` for the events it expects (an event that does not come is
// a problem), then takes whatever arrived.
SessionSummary runClientSession(
        const std::shared_ptr<::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService>& service,
        const TranscriptSink& sink, std::chrono::milliseconds eventPatience = std::chrono::seconds(10));

// One aligned transcript line (no newline); unexpected outcomes are marked.
std::string formatTranscriptLine(const TranscriptEntry& entry);

// "<program>: 16 calls, 6 events, all as expected" or "..., 2 unexpected".
std::string formatSummary(const std::string& program, const SessionSummary& summary);

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_CLIENT_CLIENTSESSION_H
