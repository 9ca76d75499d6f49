/*
 * bgctl describe [NAME]: one service as its process presents it (interface
 * descriptor, version, hash, pid, uid) and the methods bgctl knows for that
 * interface, with their transaction codes, argument and result types; for
 * IBGService also the callback interface the service calls back.
 */
#include "commands.h"

#include "methods.h"
#include "output.h"
#include "service_probe.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IEventCallback.h>

#include <string>
#include <vector>

namespace bgctl {

namespace {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::IEventCallback;

struct Entry {
    std::string name;
    transaction_code_t code;
    std::string params;  // "VALUE:int32 TIMESTAMP:int64", empty for none
    std::string result;  // empty when only a status comes back
};

// IBGService's methods from bgctl's own table, with their codes.
std::vector<Entry> serviceMethods() {
    std::vector<Entry> entries;
    for (const Method& method : methods()) {
        const std::string synopsis = method.synopsis();
        const size_t space = synopsis.find(' ');
        const transaction_code_t code = method.name == "getInterfaceVersion" ? IBGService::TRANSACTION_getInterfaceVersion
                                        : method.name == "getInterfaceHash"
                                                ? IBGService::TRANSACTION_getInterfaceHash
                                                : static_cast<transaction_code_t>(FIRST_CALL_TRANSACTION + entries.size());
        entries.push_back({method.name, code, space == std::string::npos ? "" : synopsis.substr(space + 1),
                           method.resultType});
    }
    return entries;
}

// The callback interface the service calls back, as the listener receives it.
const std::vector<Entry>& callbackMethods() {
    static const std::vector<Entry> entries = {
            {"notifyCallback", IEventCallback::TRANSACTION_notifyCallback, "DATA:CallbackData", "string"},
            {"notifySnapshotAvailability", IEventCallback::TRANSACTION_notifySnapshotAvailability, "VALUE:int32",
             "string"},
            {"notifyCallbackInfo", IEventCallback::TRANSACTION_notifyCallbackInfo, "INFO:CallbackInfo", "string"},
            {"onCaptureCompleted", IEventCallback::TRANSACTION_onCaptureCompleted,
             "FIRST:string VALUE:int32 SECOND:string", "string"},
            {"onCaptureFailed", IEventCallback::TRANSACTION_onCaptureFailed, "FIRST:string VALUE:int32 SECOND:string",
             "string"},
    };
    return entries;
}

void printMethods(const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        std::string code = std::to_string(entry.code);
        code.insert(0, code.size() < 8 ? 8 - code.size() : 0, ' ');
        printLine("  " + code + "  " + entry.name + (entry.params.empty() ? "" : " " + entry.params) +
                  (entry.result.empty() ? "" : " -> " + entry.result));
    }
}

// {"NAME":{"code":N,"params":"...","result":"..."|null},...}
std::string methodsJson(const std::vector<Entry>& entries) {
    std::string json = "{";
    for (const Entry& entry : entries) {
        JsonObject object;
        object.add("code", int64_t{entry.code}).add("params", entry.params);
        entry.result.empty() ? object.addJson("result", "null") : object.add("result", entry.result);
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
    const bool known = facts.descriptor == IBGService::descriptor;
    const std::vector<Entry> entries = known ? serviceMethods() : std::vector<Entry>();

    if (options.json) {
        JsonObject object;
        object.add("service", target.service).add("interface", facts.descriptor);
        facts.version ? object.add("version", *facts.version) : object.addJson("version", "null");
        facts.hash ? object.add("hash", *facts.hash) : object.addJson("hash", "null");
        object.add("pid", int64_t{found.pid}).add("uid", int64_t{found.uid}).add("answers", facts.answers);
        object.add("methodsKnown", known);
        if (known) {
            object.addJson("methods", methodsJson(entries))
                    .add("callbackInterface", IEventCallback::descriptor)
                    .addJson("callbackMethods", methodsJson(callbackMethods()));
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
    printLine(std::string("callback interface ") + IEventCallback::descriptor + " (the service calls back):");
    printMethods(callbackMethods());
    return kExitOk;
}

}  // namespace bgctl
