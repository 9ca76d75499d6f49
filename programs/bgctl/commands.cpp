// list, call, dump and shell: one look-up and one request each.
#include "commands.h"

#include "methods.h"
#include "output.h"

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

namespace bgctl {

namespace {

std::string registryNote() {
    const char* dir = std::getenv("BGS_SERVICE_DIR");
    return dir != nullptr ? " (registry BGS_SERVICE_DIR=" + std::string(dir) + ")" : "";
}

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

::ndk::SpAIBinder lookUpService(const Options& options) {
    const char* name = options.service.c_str();
    ::ndk::SpAIBinder binder(options.waitMs ? AServiceManager_waitForServiceTimeout(name, *options.waitMs)
                                            : AServiceManager_checkService(name));
    if (binder.get() == nullptr) {
        const std::string when = options.waitMs ? " within " + std::to_string(*options.waitMs) + " ms" : "";
        printError("service '" + options.service + "' is not served" + when + registryNote());
    }
    return binder;
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

int runList(const Options& options) {
    if (!options.args.empty()) {
        return usageError("list takes no arguments", "list");
    }
    // With --wait, the listing waits until the named service is there.
    if (options.waitMs && lookUpService(options).get() == nullptr) {
        return kExitNoService;
    }
    std::vector<std::string> names;
    AServiceManager_forEachService(&names, [](const char* instance, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(instance);
    });
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        printLine(options.json ? JsonObject().add("service", name).str() : name);
    }
    return kExitOk;
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
