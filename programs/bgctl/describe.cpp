/*
 * bgctl describe [NAME]: one service as its process presents it (interface
 * descriptor, version, hash, pid, uid) and the methods bgctl knows for that
 * interface from its definitions (--defs, else the built-in one), with
 * their transaction codes, argument and result types and one-way marks; and
 * the methods of the interface it calls back, when it takes one.
 */
#include "commands.h"

#include "definitions.h"
#include "methods.h"
#include "output.h"
#include "service_probe.h"

#include <string>
#include <vector>

namespace bgctl {

namespace {

struct Entry {
    std::string name;
    transaction_code_t code;
    std::string params;  // "VALUE:int32 TIMESTAMP:int64", empty for none
    std::string result;  // empty when only a status comes back
    bool oneway;
};

// The methods of `ref`, with their codes; the two interface queries too for
// the served interface.
std::vector<Entry> entriesOf(const InterfaceRef& ref, bool withQueries) {
    std::vector<Entry> entries;
    for (const Method& method : methodsOf(ref, withQueries)) {
        const std::string synopsis = method.synopsis();
        const size_t space = synopsis.find(' ');
        entries.push_back({method.name, method.code, space == std::string::npos ? "" : synopsis.substr(space + 1),
                           method.resultType, method.oneway});
    }
    return entries;
}

void printMethods(const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        std::string code = std::to_string(entry.code);
        code.insert(0, code.size() < 8 ? 8 - code.size() : 0, ' ');
        printLine("  " + code + "  " + entry.name + (entry.params.empty() ? "" : " " + entry.params) +
                  (entry.result.empty() ? "" : " -> " + entry.result) + (entry.oneway ? " (oneway)" : ""));
    }
}

// {"NAME":{"code":N,"params":"...","result":"..."|null},...}
std::string methodsJson(const std::vector<Entry>& entries) {
    std::string json = "{";
    for (const Entry& entry : entries) {
        JsonObject object;
        object.add("code", int64_t{entry.code}).add("params", entry.params);
        entry.result.empty() ? object.addJson("result", "null") : object.add("result", entry.result);
        if (entry.oneway) {
            object.add("oneway", true);
        }
        json += (json.size() > 1 ? "," : "") + jsonString(entry.name) + ":" + object.str();
    }
    return json + "}";
}

}  // namespace

int runDescribe(const Options& options) {
    if (options.args.size() > 1) {
        return usageError("describe takes at most one NAME", "describe");
    }
    Options target = options;
    if (!options.args.empty()) {
        target.service = options.args.front();
    }
    BgsRegistryReport found;
    int exitStatus = kExitOk;
    const ::ndk::SpAIBinder binder = lookUpService(target, &exitStatus, &found);
    if (binder.get() == nullptr) {
        return exitStatus == kExitTimedOut ? timedOut(target, "describe", true) : exitStatus;
    }
    const Deadline deadline = options.timeoutMs > 0
            ? std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs)
            : Deadline::max();
    const ServiceFacts facts = examine(binder, deadline, true);
    // The interface among the definitions, and the one it calls back.
    std::vector<InterfaceRef> candidates = interfaceCandidates(options, facts.descriptor);
    narrowByVersion(facts.version, &candidates);
    const bool known = !candidates.empty();
    const std::vector<Entry> entries = known ? entriesOf(candidates.front(), true) : std::vector<Entry>();
    const std::optional<InterfaceRef> callback = known ? callbackInterfaceOf(candidates.front()) : std::nullopt;

    if (options.json) {
        JsonObject object;
        object.add("service", target.service).add("interface", facts.descriptor);
        facts.version ? object.add("version", *facts.version) : object.addJson("version", "null");
        facts.hash ? object.add("hash", *facts.hash) : object.addJson("hash", "null");
        object.add("pid", int64_t{found.pid}).add("uid", int64_t{found.uid}).add("answers", facts.answers);
        object.add("methodsKnown", known);
        if (known) {
            object.addJson("methods", methodsJson(entries));
        }
        if (callback) {
            object.add("callbackInterface", callback->descriptor)
                    .addJson("callbackMethods", methodsJson(entriesOf(*callback, false)));
        }
        printLine(object.str());
        return kExitOk;
    }
    printLine("service:   " + target.service);
    printLine("interface: " + (facts.descriptor.empty() ? std::string("unknown") : facts.descriptor));
    printLine("version:   " + (facts.version ? std::to_string(*facts.version) : std::string("unknown")));
    printLine("hash:      " + (facts.hash ? *facts.hash : std::string("unknown")));
    printLine("pid:       " + std::to_string(found.pid));
    printLine("uid:       " + std::to_string(found.uid));
    printLine(std::string("answers:   ") + (facts.answers ? "yes" : "no"));
    if (!known) {
        printLine("bgctl knows no methods of " + (facts.descriptor.empty() ? "this interface" : facts.descriptor));
        return kExitOk;
    }
    printLine("methods (code, name, arguments -> result):");
    printMethods(entries);
    if (callback) {
        printLine("callback interface " + callback->descriptor + " (the service calls back):");
        printMethods(entriesOf(*callback, false));
    }
    return kExitOk;
}

}  // namespace bgctl
