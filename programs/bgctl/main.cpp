/*
 * bgctl: the client command line of an IBGService. Lists the served names,
 * calls any method, listens for events, and runs the service's dump and
 * shell commands. `bgctl --help` describes it all.
 */
#include "commands.h"
#include "definitions.h"
#include "methods.h"
#include "output.h"
#include "suggest.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace bgctl {

namespace {

struct Command {
    const char* name;
    const char* synopsis;     // after "bgctl [OPTIONS] "
    const char* description;  // lines, each ending in '\n'
    int (*run)(const Options&);
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
            {"list", "list",
             "Prints each name that a live process serves, sorted, with its interface\n"
             "descriptor, version, pid, uid and whether it answers a ping. Every service\n"
             "is asked at once under one call deadline, so one that does not answer is\n"
             "listed as such within it. Exits 3 when the registry cannot be used.\n"
             "With --wait, first waits for the --service name to be served.\n",
             runList},
            {"describe", "describe [NAME]",
             "Describes the service NAME (default: --service): its interface\n"
             "descriptor, version, hash, pid and uid, and the methods bgctl knows for\n"
             "that interface with their transaction codes, argument and result types\n"
             "(for IBGService also the IEventCallback methods it calls back).\n",
             runDescribe},
            {"call", "call METHOD [ARGS...]",
             "Calls one IBGService method with ARGS parsed by its parameter types,\n"
             "prints its status and result, and exits 0 exactly when the status is OK\n"
             "(else the status's description goes to stderr). int32 and int64 are\n"
             "decimal integers within their range; a callback argument takes only\n"
             "'null', which unregisters: a callback made by a process that ends right\n"
             "after the call would be dead in the service, so 'bgctl listen' is the\n"
             "way to register one. With --defs, METHOD is one of the interface the\n"
             "service serves as the files define it: bool is true or false, 'null' is\n"
             "an absent string?, and a record or a list of records is JSON whose\n"
             "missing fields take the record's defaults. ARGS are the in-parameters\n"
             "only; each out parameter (shown '(out NAME:TYPE)') is printed as\n"
             "'out name: VALUE' before the result. A one-way method is sent without\n"
             "waiting for the service and reports 'status: sent (one-way)'; the\n"
             "service drops it if bgctl has ended before the call starts.\n",
             runCall},
            {"listen", "listen [--gallery] [--value N]",
             "Registers an event callback with setEventCallback(N, callback), or with\n"
             "setGalleryEventCallback(N, callback) for --gallery (N defaults to 0),\n"
             "prints a 'listening' line, then one line per event as it arrives, with\n"
             "its records in full. On SIGINT or SIGTERM it unregisters (a null\n"
             "callback), prints a 'stopped' line and exits 0; when the service dies it\n"
             "exits 1. --timeout bounds the registration and the unregistration, not\n"
             "the wait for events. The service keeps one callback of each kind: a\n"
             "later registration replaces this one, and this one's unregistration\n"
             "clears whichever is registered then.\n",
             runListen},
            {"dump", "dump [ARGS...]",
             "Prints the service's dump (AIBinder_dump with ARGS) as the service writes\n"
             "it. The whole dump is one request: it must end within --timeout.\n",
             runDump},
            {"shell", "shell [ARGS...]",
             "Runs the service's shell command handler with ARGS on this process's\n"
             "stdin, stdout and stderr; exits 0 when the handler returns STATUS_OK, 1\n"
             "when it refuses the command. It must end within --timeout.\n"
             "Options go before the first ARG: the rest belongs to the handler.\n",
             runShell},
            {"monitor", "monitor [NAME | --pid P]",
             "Attaches to the process that serves NAME (default: --service), or to\n"
             "process P, and prints each transaction it makes (out) or serves (in) as\n"
             "it ends: time, direction, peer pid, interface, method(code), request and\n"
             "reply bytes, oneway, status, latency. Runtime requests are named (ping,\n"
             "dump, shellCommand, getService, ...). Only a process of this user that\n"
             "has talked to another process can be watched, by 4 monitors at most.\n"
             "A monitor that cannot keep up loses records: 'monitor: lost N records'\n"
             "says how many. Runs until SIGINT or SIGTERM (exit 0) or until the\n"
             "process ends ('monitor: pid P ended', exit 0).\n",
             runMonitor},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

std::vector<std::string> commandNames() {
    std::vector<std::string> names;
    for (const Command& command : commands()) {
        names.push_back(command.name);
    }
    return names;
}

// Every option, as the help names it.
std::vector<std::string> optionNames() {
    return {"--service", "--wait", "--timeout", "--json", "--help", "--gallery", "--value", "--pid", "--defs", "--interface"};
}

// The hidden `--complete WHAT` (for the shell's completion): the words of
// one kind, one a line, from the tables the program itself runs on.
int printCompletions(const std::string& what) {
    std::vector<std::string> words;
    if (what == "commands") {
        words = commandNames();
    } else if (what == "options") {
        words = optionNames();
    } else if (what == "methods" && !loadedDefinitions().empty()) {
        // Those of every interface of the --defs files.
        for (const ::bgs::idl::Definition& definition : loadedDefinitions()) {
            for (const ::bgs::idl::Interface& interface : definition.interfaces) {
                for (const Method& method : methodsOf({&definition, &interface, ""}, true)) {
                    words.push_back(method.name);
                }
            }
        }
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
    } else if (what == "methods") {
        for (const Method& method : methods()) {
            words.push_back(method.name);
        }
    } else {
        return usageError("--complete takes commands, options or methods");
    }
    for (const std::string& word : words) {
        printLine(word);
    }
    return kExitOk;
}

// `text` with every line indented by `width` spaces.
std::string indented(const std::string& text, size_t width) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const size_t stop = end == std::string::npos ? text.size() : end + 1;
        out += std::string(width, ' ') + text.substr(start, stop - start);
        start = stop;
    }
    return out;
}

std::string methodList() {
    std::string text =
            "Methods (bgctl call METHOD ARGS...; '-> TYPE' is the result):\n";
    for (const Method& method : methods()) {
        text += "  " + method.synopsis() + (method.resultType.empty() ? "" : " -> " + method.resultType) + "\n" +
                "      " + method.summary + "\n";
    }
    return text;
}

std::string help(const Command* only) {
    std::string text;
    if (only != nullptr) {
        text += std::string("usage: bgctl [OPTIONS] ") + only->synopsis + "\n" + indented(only->description, 2);
    } else {
        text += "usage: bgctl [OPTIONS] COMMAND [ARGS...]\n"
                "Talks to an IBGService that a process serves in the registry.\n\n"
                "Commands:\n";
        for (const Command& command : commands()) {
            text += std::string("  ") + command.synopsis + "\n" + indented(command.description, 6);
        }
    }
    text += std::string(
                    "\nOptions (before or after the command; '--' ends them):\n"
                    "  --service NAME  the service (default: $BGS_SERVICE, else\n"
                    "                  ") +
            kDefaultService +
            ")\n"
            "  --wait MS       wait up to MS milliseconds for the service to be served\n"
            "                  (default: look once, do not wait)\n"
            "  --timeout MS    give up on a request the service has not answered within\n"
            "                  MS milliseconds, and on the look-up of a served name whose\n"
            "                  process does not answer (without --wait); 0: no deadline\n"
            "                  (default " + std::to_string(kDefaultTimeoutMs) + ")\n"
            "  --json          one JSON object per line instead of text (below)\n"
            "  --pid P         monitor: the process to watch\n"
            "  --defs FILE     call, describe: take the methods from definition FILE\n"
            "                  (*.bgidl; repeat the option for more files), of the\n"
            "                  interface whose descriptor the service sends\n"
            "  --interface NAME\n"
            "                  call, describe: use only interface NAME (a name or a\n"
            "                  descriptor) of the definitions\n"
            "  --help, -h      this help; 'bgctl COMMAND --help' for one command\n"
            "\nOutput, as text / with --json:\n"
            "  list    a table: SERVICE INTERFACE VERSION PID UID ANSWERS /\n"
            "          {\"service\",\"interface\",\"version\",\"pid\",\"uid\",\"answers\"} per service\n"
            "  describe  'key: value' lines, then the methods / one object: {\"service\",\n"
            "          \"interface\",\"version\",\"hash\",\"pid\",\"uid\",\"answers\",\"methodsKnown\"\n"
            "          [,\"methods\",\"callbackInterface\",\"callbackMethods\"]}\n"
            "  call    'status: DESCRIPTION', 'out NAME: VALUE' per out parameter and\n"
            "          'result: VALUE' (nothing for a failed status) / {\"method\",\"ok\",\n"
            "          \"description\",\"exception\",\"exceptionName\",\"serviceSpecificError\",\n"
            "          \"statusCode\",\"message\",\"timedOut\"[,\"oneway\":true][,\"out\":{NAME:VALUE,...}]\n"
            "          [,\"result\"]},\n"
            "          failed or not; a service-specific error's code and message are the\n"
            "          service's own\n"
            "  listen  'listening: ...', 'METHOD(ARGS)' per event, 'stopped: ...' /\n"
            "          {\"listening\",\"service\",\"value\",\"registration\"},\n"
            "          {\"event\":METHOD,\"args\":{NAME:VALUE,...}}, {\"stopped\",\"events\",\"unregistered\"}\n"
            "          or, when the service dies, {\"died\":SERVICE,\"events\":N}\n"
            "          (a record is shown as its toString() text, a JSON string with --json)\n"
            "  monitor 'monitor: attached to pid P', a line per transaction, 'monitor: lost\n"
            "          N records', 'monitor: pid P ended' / {\"attached\":P}, {\"time\",\"direction\",\n"
            "          \"peerPid\",\"interface\",\"method\",\"code\",\"oneway\",\"requestBytes\",\n"
            "          \"replyBytes\",\"status\",\"statusName\",\"latencyUs\"}, {\"lost\":N}, {\"ended\":P}\n"
            "  dump and shell write the service's own output either way.\n"
            "\n" + methodList();
    text += "\nExit status:\n"
            "  0  success\n"
            "  1  the service answered with a failed status (its description is on\n"
            "     stderr), or died; listen: registering failed or the service died\n"
            "  2  usage error: unknown command, option or method, wrong number of\n"
            "     arguments, a number that does not parse or is out of range, an\n"
            "     argument that does not fit its type, a --defs file with errors\n"
            "     (each printed as FILE:LINE:COLUMN: error: MESSAGE)\n"
            "  3  the service cannot be reached: not served (within --wait), permission\n"
            "     denied, the registry unusable (the message says which and names the\n"
            "     registry directory), or it does not serve IBGService; monitor: the\n"
            "     process cannot be watched\n"
            "  4  the service did not answer within --timeout (or, for the look-up,\n"
            "     --wait)\n";
    return text;
}

bool parseNumberOption(const std::string& option, const std::string& text, int32_t min, int32_t* value,
                       std::string* error) {
    if (!parseInt32(text, value, error)) {
        *error = option + ": " + *error;
        return false;
    }
    if (*value < min) {
        *error = option + " must be at least " + std::to_string(min) + ", got " + text;
        return false;
    }
    return true;
}

}  // namespace

int usageError(const std::string& message, const std::string& command) {
    printError(message);
    std::cerr << "Try 'bgctl " << (command.empty() ? "" : command + " ") << "--help'.\n";
    return kExitUsage;
}

namespace {

// Reads the words of the command line into *options and *wantHelp. Returns
// the exit status when the command line is wrong (after saying why).
std::optional<int> parseCommandLine(const std::vector<std::string>& words, Options* options, bool* wantHelp,
                                    std::string* complete) {
    bool optionsEnded = false;
    bool listenOption = false;
    bool monitorOption = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        // shell: everything from its first argument on is the handler's.
        const bool handlerArgs = options->command == "shell" && !options->args.empty();
        const bool isOption = !optionsEnded && !handlerArgs && (word.rfind("--", 0) == 0 || word == "-h");
        if (!isOption) {
            if (options->command.empty()) {
                options->command = word;
            } else {
                options->args.push_back(word);
            }
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        std::optional<std::string> inlineValue;
        if (equals != std::string::npos) {
            inlineValue = word.substr(equals + 1);
        }
        auto takeValue = [&](std::string* value) {
            if (inlineValue) {
                *value = *inlineValue;
                return true;
            }
            if (i + 1 >= words.size()) {
                return false;
            }
            *value = words[++i];
            return true;
        };
        std::string value;
        std::string error;
        if (word == "--") {
            optionsEnded = true;
        } else if (word == "--help" || word == "-h") {
            *wantHelp = true;
        } else if (word == "--json") {
            options->json = true;
        } else if (word == "--gallery") {
            options->gallery = listenOption = true;
        } else if (name == "--service" || name == "--wait" || name == "--timeout" || name == "--value" ||
                   name == "--pid" || name == "--complete" || name == "--defs" || name == "--interface") {
            if (!takeValue(&value)) {
                return usageError(name + " needs a value", options->command);
            }
            if (name == "--service") {
                options->service = value;
            } else if (name == "--defs") {
                options->defs.push_back(value);
            } else if (name == "--interface") {
                options->interfaceName = value;
            } else if (name == "--complete") {
                *complete = value;
            } else if (name == "--timeout") {
                if (!parseNumberOption(name, value, 0, &options->timeoutMs, &error)) {
                    return usageError(error, options->command);
                }
            } else if (name == "--wait") {
                int32_t ms = 0;
                if (!parseNumberOption(name, value, 0, &ms, &error)) {
                    return usageError(error, options->command);
                }
                options->waitMs = ms;
            } else if (name == "--pid") {
                int32_t pid = 0;
                if (!parseNumberOption(name, value, 1, &pid, &error)) {
                    return usageError(error, options->command);
                }
                options->pid = pid;
                monitorOption = true;
            } else {
                if (!parseNumberOption(name, value, INT32_MIN, &options->value, &error)) {
                    return usageError(error, options->command);
                }
                listenOption = true;
            }
        } else {
            return usageError("unknown option '" + word + "'" + didYouMean(name, optionNames()), options->command);
        }
    }

    if (listenOption && options->command != "listen") {
        return usageError("--gallery and --value belong to listen", options->command);
    }
    if (monitorOption && options->command != "monitor") {
        return usageError("--pid belongs to monitor", options->command);
    }
    return std::nullopt;
}

}  // namespace

}  // namespace bgctl

int main(int argc, char** argv) {
    using namespace bgctl;
    Options options;
    bool wantHelp = false;
    std::string complete;
    if (const std::optional<int> wrong = parseCommandLine({argv + 1, argv + argc}, &options, &wantHelp, &complete)) {
        return *wrong;
    }
    if (!options.defs.empty() && !loadDefinitions(options.defs, &loadedDefinitions())) {
        return kExitUsage;
    }
    if (!complete.empty()) {
        return printCompletions(complete);
    }
    const Command* command = options.command.empty() ? nullptr : findCommand(options.command);
    if (!options.command.empty() && command == nullptr) {
        return usageError("unknown command '" + options.command + "'" + didYouMean(options.command, commandNames()));
    }
    if (wantHelp) {
        std::cout << help(command);
        return kExitOk;
    }
    if (!options.interfaceName.empty() && !namesAnInterface(options.interfaceName)) {
        return usageError("--interface: no interface '" + options.interfaceName + "' in the definitions");
    }
    if (command == nullptr) {
        std::string names;
        for (const std::string& name : commandNames()) {
            names += (names.empty() ? "" : ", ") + name;
        }
        return usageError("a COMMAND is needed (" + names + ")");
    }
    return command->run(options);
}
