/*
 * bgctl list: every live entry of the registry with what its process says
 * of itself. All services are examined at once, each under the --timeout
 * deadline, so a process that does not answer (stopped, say) costs the
 * listing at most that deadline and is listed as not answering.
 */
#include "commands.h"

#include "output.h"
#include "service_probe.h"

#include <bgs/service_manager.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace bgctl {

namespace {

struct Row {
    std::string name;
    pid_t pid = 0;
    uid_t uid = 0;
    ServiceFacts facts;
};

void examineRow(Row* row, Deadline deadline) {
    AIBinder* binder = nullptr;
    if (BgsServiceManager_lookup(row->name.c_str(), millisecondsLeft(deadline), &binder, nullptr) == BGS_REGISTRY_OK) {
        row->facts = examine(::ndk::SpAIBinder(binder), deadline, false);
    }
}

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

void printTable(const std::vector<Row>& rows) {
    const std::vector<std::string> header = {"SERVICE", "INTERFACE", "VERSION", "PID", "UID", "ANSWERS"};
    std::vector<std::vector<std::string>> cells = {header};
    for (const Row& row : rows) {
        cells.push_back({row.name, orDash(row.facts.descriptor),
                         row.facts.version ? std::to_string(*row.facts.version) : "-", std::to_string(row.pid),
                         std::to_string(row.uid), row.facts.answers ? "yes" : "no"});
    }
    std::vector<size_t> widths(header.size(), 0);
    for (const auto& line : cells) {
        for (size_t i = 0; i < line.size(); ++i) {
            widths[i] = std::max(widths[i], line[i].size());
        }
    }
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            text += i + 1 < line.size() ? line[i] + std::string(widths[i] - line[i].size() + 2, ' ') : line[i];
        }
        printLine(text);
    }
}

}  // namespace

int runList(const Options& options) {
    if (!options.args.empty()) {
        return usageError("list takes no arguments", "list");
    }
    // With --wait, the listing waits until the named service is there.
    int exitStatus = kExitOk;
    if (options.waitMs && lookUpFor(options, "list", &exitStatus).get() == nullptr) {
        return exitStatus;
    }
    std::vector<Row> rows;
    BgsRegistryReport report;
    const auto collect = [](const BgsServiceEntry* entry, void* context) {
        Row row;
        row.name = entry->name;
        row.pid = entry->pid;
        row.uid = entry->uid;
        static_cast<std::vector<Row>*>(context)->push_back(row);
    };
    if (BgsServiceManager_list(&rows, collect, &report) != BGS_REGISTRY_OK) {
        printError("cannot list the registry " + registryDirectoryPath() + ": " + report.message);
        return kExitNoService;
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.name < b.name; });

    // Services are examined side by side, each under the one deadline, so a
    // few that do not answer cost the deadline once, not once each. The
    // threads are capped: beyond the cap, rows wait for a free thread.
    const Deadline deadline = options.timeoutMs > 0
            ? std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs)
            : Deadline::max();
    constexpr size_t kMaxThreads = 16;
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (size_t i = 0; i < std::min(rows.size(), kMaxThreads); ++i) {
        workers.emplace_back([&] {
            for (size_t row = next++; row < rows.size(); row = next++) {
                examineRow(&rows[row], deadline);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    if (!options.json) {
        printTable(rows);
        return kExitOk;
    }
    for (const Row& row : rows) {
        JsonObject object;
        object.add("service", row.name);
        row.facts.descriptor.empty() ? object.addJson("interface", "null")
                                     : object.add("interface", row.facts.descriptor);
        row.facts.version ? object.add("version", *row.facts.version) : object.addJson("version", "null");
        object.add("pid", int64_t{row.pid}).add("uid", int64_t{row.uid}).add("answers", row.facts.answers);
        printLine(object.str());
    }
    return kExitOk;
}

}  // namespace bgctl
