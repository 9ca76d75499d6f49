// call, dump and shell: one look-up and one request each; finding the service.
#include "commands.h"

#include "definitions.h"
#include "dynamic_call.h"
#include "methods.h"
#include "output.h"
#include "service_probe.h"
#include "suggest.h"

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>

#include <algorithm>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

namespace bgctl {

namespace {

std::vector<const char*> cStrings(const std::vector<std::string>& texts) {
    std::vector<const char*> pointers;
    for (const std::string& text : texts) {
        pointers.push_back(text.c_str());
    }
    return pointers;
}

// Descriptors 0 to 2 travel to the service with a shell command; one that
// is closed here is replaced by /dev/null so that the request can be sent.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

// Ends a dump or shell command. The runtime's own failures (the service
// died, the deadline passed, the request could not be carried) are told
// apart from a status the service's handler returned.
int requestResult(const Options& options, const std::string& what, binder_status_t status) {
    switch (status) {
        case STATUS_OK:
            return kExitOk;
        case STATUS_TIMED_OUT:
            return timedOut(options, what);
        case STATUS_DEAD_OBJECT:
            printError(what + ": the service died");
            return kExitFailedStatus;
        case STATUS_FAILED_TRANSACTION:
        case STATUS_FDS_NOT_ALLOWED:
        case STATUS_NO_MEMORY:
            printError(what + ": the request could not be carried (" + AStatus_codeName(status) + ")");
            return kExitFailedStatus;
        default:
            printError(what + (what == "shell" ? ": the service's handler refused the command ("
                                                : ": the service's dump failed (") +
                       AStatus_codeName(status) + ")");
            return kExitFailedStatus;
    }
}

// Names the codes of `interface`'s methods in `clazz`, for the runtime's
// trace and monitor. Codes far apart are named up to a bound: the table has
// an entry for every code below the highest.
void nameTransactions(AIBinder_Class* clazz, const ::bgs::idl::Interface& interface) {
    constexpr transaction_code_t kMaxNamedCode = 4096;
    std::vector<const char*> names;
    for (const ::bgs::idl::Method& method : interface.methods) {
        if (method.code >= FIRST_CALL_TRANSACTION && method.code <= kMaxNamedCode) {
            names.resize(std::max<size_t>(names.size(), method.code), nullptr);
            names[method.code - FIRST_CALL_TRANSACTION] = method.name.c_str();
        }
    }
    AIBinder_Class_setTransactionCodeToFunctionNameMap(clazz, names.data(), names.size());
}

bool isListed(const std::string& name) {
    std::pair<const std::string*, bool> search{&name, false};
    AServiceManager_forEachService(&search, [](const char* instance, void* context) {
        auto* wanted = static_cast<std::pair<const std::string*, bool>*>(context);
        wanted->second = wanted->second || *wanted->first == instance;
    });
    return search.second;
}

}  // namespace

std::string defaultService() {
    const char* name = std::getenv("BGS_SERVICE");
    return name != nullptr && *name != '\0' ? name : kDefaultService;
}

std::string registryDirectoryPath() {
    std::string path(BgsServiceManager_getDirectory(nullptr, 0), '\0');
    BgsServiceManager_getDirectory(path.data(), path.size() + 1);
    return path;
}

::ndk::SpAIBinder lookUpService(const Options& options, int* failure, BgsRegistryReport* found) {
    const char* name = options.service.c_str();
    // A name that is not served fails at once without --wait. One that is
    // served is fetched from its process, which may not answer (stopped,
    // overloaded): that fetch is bounded by --wait, else by --timeout.
    const int32_t limit = options.waitMs       ? *options.waitMs
                          : !isListed(name)    ? 0
                          : options.timeoutMs > 0 ? options.timeoutMs
                                                  : -1;
    AIBinder* binder = nullptr;
    BgsRegistryReport report;
    const BgsRegistryOutcome outcome = BgsServiceManager_lookup(name, limit, &binder, &report);
    if (found != nullptr) {
        *found = report;
    }
    if (outcome == BGS_REGISTRY_OK) {
        return ::ndk::SpAIBinder(binder);
    }
    const std::string service = "service '" + options.service + "'";
    const std::string when = options.waitMs ? " within " + std::to_string(*options.waitMs) + " ms" : "";
    const std::string registry = " (registry " + registryDirectoryPath() + ")";
    int status = kExitNoService;
    switch (outcome) {
        case BGS_REGISTRY_NOT_SERVED:
            printError(service + " is not served" + when + registry);
            break;
        case BGS_REGISTRY_UNREACHABLE:
            // Its process is there but does not answer: a deadline passed.
            status = kExitTimedOut;
            if (failure == nullptr) {
                timedOut(options, service + " (pid " + std::to_string(report.pid) + ")", true);
            }
            break;
        case BGS_REGISTRY_PERMISSION_DENIED:
            printError(service + ": permission denied: " + report.message + registry);
            break;
        case BGS_REGISTRY_UNUSABLE:
            printError("the registry is unusable: " + std::string(report.message));
            break;
        case BGS_REGISTRY_INVALID_NAME:
            printError("'" + options.service + "' is not a valid service name (1 to 255 printable characters, "
                       "no spaces)");
            break;
        default:
            printError(service + ": " + report.message);
            break;
    }
    if (failure != nullptr) {
        *failure = status;
    }
    return ::ndk::SpAIBinder();
}

::ndk::SpAIBinder lookUpFor(const Options& options, const std::string& what, int* exitStatus) {
    int failure = kExitNoService;
    ::ndk::SpAIBinder binder = lookUpService(options, &failure);
    if (binder.get() == nullptr) {
        *exitStatus = failure == kExitTimedOut ? timedOut(options, what, true) : failure;
    }
    return binder;
}

int timedOut(const Options& options, const std::string& what, bool lookUp) {
    const bool waited = lookUp && options.waitMs.has_value();
    printError(what + ": no answer within " + std::to_string(waited ? *options.waitMs : options.timeoutMs) + " ms (" +
               (waited ? "--wait" : "--timeout") + ")");
    return kExitTimedOut;
}

std::shared_ptr<IBGService> asBGService(const Options& options, const ::ndk::SpAIBinder& binder) {
    if (binder.get() == nullptr) {
        return nullptr;
    }
    std::shared_ptr<IBGService> service = IBGService::fromBinder(binder);
    if (service == nullptr) {
        printError("service '" + options.service + "' does not serve " + IBGService::descriptor);
    }
    return service;
}

std::string describeStatus(binder_status_t status) {
    return ::ndk::UniqueAStatus::fromStatus(status).getDescription();
}

std::vector<InterfaceRef> interfaceCandidates(const Options& options, const std::string& descriptor) {
    if (!options.defs.empty()) {
        return interfacesFor(loadedDefinitions(), descriptor, options.interfaceName);
    }
    const InterfaceRef builtin = builtinInterface("IBGService");
    if (builtin.descriptor == descriptor && (options.interfaceName.empty() || isNamed(builtin, options.interfaceName))) {
        return {builtin};
    }
    return {};
}

void narrowByVersion(std::optional<int32_t> version, std::vector<InterfaceRef>* candidates) {
    std::vector<InterfaceRef> same;
    for (const InterfaceRef& ref : *candidates) {
        if (version && ref.definition->version == *version) same.push_back(ref);
    }
    if (candidates->size() > 1 && !same.empty()) *candidates = same;
}

std::optional<InterfaceRef> servedInterface(const Options& options, const ::ndk::SpAIBinder& binder,
                                            int* exitStatus) {
    const char* sent = BgsBinder_getDescriptor(binder.get());
    const std::string descriptor = sent != nullptr ? sent : "";
    const std::string& wanted = options.interfaceName;
    std::vector<InterfaceRef> found = interfaceCandidates(options, descriptor);
    std::optional<int32_t> version;
    if (found.size() > 1) {
        const Deadline deadline = options.timeoutMs > 0
                ? std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs)
                : Deadline::max();
        version = examine(binder, deadline, false).version;
        narrowByVersion(version, &found);
    }
    const std::string service = "service '" + options.service + "'";
    *exitStatus = kExitNoService;
    if (found.empty()) {
        printError(options.defs.empty() && wanted.empty() ? service + " does not serve " + builtinInterface("IBGService").descriptor
                   : !wanted.empty() ? service + " serves " + printable(descriptor) + ", not " + wanted
                                     : service + " serves " + printable(descriptor) +
                                               ", which no --defs file defines");
        return std::nullopt;
    }
    if (found.size() > 1) {
        std::string files;
        for (const InterfaceRef& ref : found) files += (files.empty() ? "" : ", ") + ref.definition->file;
        *exitStatus = usageError(descriptor + " is defined by several --defs files (" + files + ")" +
                                 (version ? " for version " + std::to_string(*version) : std::string()) +
                                 "; give one of them");
        return std::nullopt;
    }
    AIBinder_Class* clazz = classFor(found.front().descriptor);
    nameTransactions(clazz, *found.front().interface);
    if (!AIBinder_associateClass(binder.get(), clazz)) {
        printError(service + " does not serve " + found.front().descriptor);
        return std::nullopt;
    }
    return found.front();
}

int runCall(const Options& options) {
    if (options.args.empty()) {
        return usageError("call needs a METHOD", "call");
    }
    const std::string& name = options.args.front();
    const std::vector<std::string> texts(options.args.begin() + 1, options.args.end());

    // Without --defs the methods are known before the look-up, so a wrong
    // command line is told before anything is sent; with them they are
    // those of the interface the service turns out to serve.
    int failure = kExitNoService;
    ::ndk::SpAIBinder binder;
    std::vector<Method> served;
    const std::vector<Method>* table = &methods();
    if (!options.defs.empty()) {
        binder = lookUpService(options, &failure);
        if (binder.get() == nullptr) {
            return failure == kExitTimedOut ? timedOut(options, name, true) : failure;
        }
        const std::optional<InterfaceRef> interface = servedInterface(options, binder, &failure);
        if (!interface) {
            return failure;
        }
        served = methodsOf(*interface, true);
        table = &served;
    }
    const Method* method = findMethod(name, *table);
    if (method == nullptr) {
        std::vector<std::string> names;
        for (const Method& known : *table) {
            names.push_back(known.name);
        }
        return usageError("unknown method '" + name + "'" + didYouMean(name, names), "call");
    }
    const size_t wanted = method->argumentCount();
    if (texts.size() != wanted) {
        return usageError(name + " takes " + std::to_string(wanted) + " argument" + (wanted == 1 ? "" : "s") +
                                  ", got " + std::to_string(texts.size()) + ": bgctl call " + method->synopsis(),
                          "call");
    }
    std::string problem;
    std::vector<Value> values;
    if (!parseArguments(*method, texts, &values, &problem)) {
        return usageError(name + ": " + problem, "call");
    }

    // A look-up that timed out is reported as the call's own timeout, in
    // the same record.
    if (options.defs.empty()) {
        binder = lookUpService(options, &failure);
        if (binder.get() == nullptr && failure != kExitTimedOut) {
            return failure;
        }
        if (binder.get() != nullptr && !servedInterface(options, binder, &failure)) {
            return failure;
        }
    }
    Outcome outcome;
    if (binder.get() == nullptr) {
        outcome.status = ::ndk::UniqueAStatus::fromStatus(STATUS_TIMED_OUT);
    } else {
        const auto deadline = callDeadline(options);
        outcome = callMethod(binder.get(), *method, values);
    }
    const ::ndk::UniqueAStatus& status = outcome.status;
    const bool late = isTimedOut(status);
    const bool serviceSpecific = status.getExceptionCode() == EX_SERVICE_SPECIFIC;
    if (options.json) {
        JsonObject object;
        object.add("method", name)
                .add("ok", status.isOk())
                .add("description", status.getDescription())
                .add("exception", status.getExceptionCode())
                .add("exceptionName", AStatus_exceptionName(status.getExceptionCode()))
                .add("serviceSpecificError", status.getServiceSpecificError())
                .add("statusCode", status.getStatus())
                .add("message", status.getMessage())
                .add("timedOut", late);
        if (method->oneway) {
            object.add("oneway", true);
        }
        if (!outcome.outs.empty()) {
            JsonObject outs;
            for (const auto& [outName, value] : outcome.outs) outs.addJson(outName.c_str(), value.json);
            object.addJson("out", outs.str());
        }
        if (outcome.result) {
            object.addJson("result", outcome.result->json);
        }
        printLine(object.str());
    } else if (status.isOk()) {
        // A one-way call has no reply: OK says only that the request went.
        printLine("status: " + (method->oneway ? std::string("sent (one-way)") : status.getDescription()));
        for (const auto& [outName, value] : outcome.outs) printLine("out " + outName + ": " + value.text);
        if (outcome.result) {
            printLine("result: " + outcome.result->text);
        }
    }
    if (late) {
        return timedOut(options, name, binder.get() == nullptr);
    }
    if (serviceSpecific) {
        printError(name + ": service-specific error " + std::to_string(status.getServiceSpecificError()) + ": " +
                   printable(status.getMessage()));
    } else if (!status.isOk()) {
        printError(name + ": " + status.getDescription());
    }
    return status.isOk() ? kExitOk : kExitFailedStatus;
}

int runDump(const Options& options) {
    int exitStatus = kExitOk;
    const ::ndk::SpAIBinder binder = lookUpFor(options, "dump", &exitStatus);
    if (binder.get() == nullptr) {
        return exitStatus;
    }
    std::vector<const char*> args = cStrings(options.args);
    std::cout.flush();
    const auto deadline = callDeadline(options);
    const binder_status_t status =
            AIBinder_dump(binder.get(), STDOUT_FILENO, args.data(), static_cast<uint32_t>(args.size()));
    return requestResult(options, "dump", status);
}

int runShell(const Options& options) {
    int exitStatus = kExitOk;
    const ::ndk::SpAIBinder binder = lookUpFor(options, "shell", &exitStatus);
    if (binder.get() == nullptr) {
        return exitStatus;
    }
    std::vector<const char*> args = cStrings(options.args);
    openStandardDescriptors();
    std::cout.flush();
    const auto deadline = callDeadline(options);
    const binder_status_t status = AIBinder_shellCommand(binder.get(), STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO,
                                                         args.data(), static_cast<uint32_t>(args.size()));
    return requestResult(options, "shell", status);
}

}  // namespace bgctl
