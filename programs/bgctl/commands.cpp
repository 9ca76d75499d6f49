// call, dump and shell: one look-up and one request each; finding the service.
#include "commands.h"

#include "methods.h"
#include "output.h"

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>

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

// Ends a dump or shell command: 0 for STATUS_OK, else the description on
// stderr and kExitFailedStatus.
int requestResult(const char* what, binder_status_t status) {
    if (status == STATUS_OK) {
        return kExitOk;
    }
    printError(std::string(what) + ": " + describeStatus(status));
    return kExitFailedStatus;
}

}  // namespace

std::string registryDirectoryPath() {
    std::string path(BgsServiceManager_getDirectory(nullptr, 0), '\0');
    BgsServiceManager_getDirectory(path.data(), path.size() + 1);
    return path;
}

::ndk::SpAIBinder lookUpService(const Options& options, BgsRegistryReport* found) {
    const char* name = options.service.c_str();
    AIBinder* binder = nullptr;
    BgsRegistryReport report;
    const BgsRegistryOutcome outcome = BgsServiceManager_lookup(name, options.waitMs.value_or(0), &binder, &report);
    if (found != nullptr) {
        *found = report;
    }
    if (outcome == BGS_REGISTRY_OK) {
        return ::ndk::SpAIBinder(binder);
    }
    const std::string service = "service '" + options.service + "'";
    const std::string when = options.waitMs ? " within " + std::to_string(*options.waitMs) + " ms" : "";
    const std::string registry = " (registry " + registryDirectoryPath() + ")";
    switch (outcome) {
        case BGS_REGISTRY_NOT_SERVED:
            printError(service + " is not served" + when + registry);
            break;
        case BGS_REGISTRY_UNREACHABLE:
            printError(service + " is served by pid " + std::to_string(report.pid) + ", which did not answer" + when +
                       registry);
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
    return ::ndk::SpAIBinder();
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

int runCall(const Options& options) {
    if (options.args.empty()) {
        return usageError("call needs a METHOD", "call");
    }
    const std::string& name = options.args.front();
    const Method* method = findMethod(name);
    if (method == nullptr) {
        return usageError("unknown method '" + name + "'", "call");
    }
    const std::vector<std::string> texts(options.args.begin() + 1, options.args.end());
    if (texts.size() != method->params.size()) {
        return usageError(name + " takes " + std::to_string(method->params.size()) + " argument" +
                                  (method->params.size() == 1 ? "" : "s") + ", got " +
                                  std::to_string(texts.size()) + ": bgctl call " + method->synopsis(),
                          "call");
    }
    std::string problem;
    const BoundCall call = method->bind(texts, &problem);
    if (!call) {
        return usageError(name + ": " + problem, "call");
    }

    const std::shared_ptr<IBGService> service = asBGService(options, lookUpService(options));
    if (service == nullptr) {
        return kExitNoService;
    }

    const Outcome outcome = call(*service);
    const ::ndk::UniqueAStatus& status = outcome.status;
    if (options.json) {
        JsonObject object;
        object.add("method", name)
                .add("ok", status.isOk())
                .add("description", status.getDescription())
                .add("exception", status.getExceptionCode())
                .add("exceptionName", AStatus_exceptionName(status.getExceptionCode()))
                .add("serviceSpecificError", status.getServiceSpecificError())
                .add("statusCode", status.getStatus())
                .add("message", status.getMessage());
        if (outcome.result) {
            object.addJson("result", outcome.result->json);
        }
        printLine(object.str());
    } else if (status.isOk()) {
        printLine("status: " + status.getDescription());
        if (outcome.result) {
            printLine("result: " + outcome.result->text);
        }
    }
    if (!status.isOk()) {
        printError(name + ": " + status.getDescription());
        return kExitFailedStatus;
    }
    return kExitOk;
}

int runDump(const Options& options) {
    const ::ndk::SpAIBinder binder = lookUpService(options);
    if (binder.get() == nullptr) {
        return kExitNoService;
    }
    std::vector<const char*> args = cStrings(options.args);
    std::cout.flush();
    const binder_status_t status =
            AIBinder_dump(binder.get(), STDOUT_FILENO, args.data(), static_cast<uint32_t>(args.size()));
    return requestResult("dump", status);
}

int runShell(const Options& options) {
    const ::ndk::SpAIBinder binder = lookUpService(options);
    if (binder.get() == nullptr) {
        return kExitNoService;
    }
    std::vector<const char*> args = cStrings(options.args);
    openStandardDescriptors();
    std::cout.flush();
    const binder_status_t status = AIBinder_shellCommand(binder.get(), STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO,
                                                         args.data(), static_cast<uint32_t>(args.size()));
    return requestResult("shell", status);
}

}  // namespace bgctl
