/*
 * bgctl monitor: attaches to a running process as a monitor (bgs/monitor.h)
 * and prints each transaction it makes or serves, one flushed line each,
 * until SIGINT or SIGTERM (exit 0) or the end of the process (a last line,
 * exit 0).
 *
 * Every byte the process sends is checked before it is shown: a packet is
 * whole records, each with the magic word and a known kind; names are read
 * only within their fields and shown escaped. Anything else ends the
 * monitor with exit status 1.
 */
#include "commands.h"

#include "output.h"

#include <bgs/monitor.h>

#include <android/binder_status.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bgctl {

namespace {

// The bytes of a name field up to its first zero byte or its end.
std::string field(const char* bytes, size_t size) {
    return std::string(bytes, strnlen(bytes, size));
}

// A name as text: as it is when it is plain printable ASCII, else quoted
// with its bytes escaped; "?" when empty.
std::string plain(const std::string& name) {
    if (name.empty()) {
        return "?";
    }
    for (const char c : name) {
        if (c <= ' ' || c > '~') {
            return quoted(name);
        }
    }
    return name;
}

// "HH:MM:SS.uuuuuu" local time, or "2024-01-02T03:04:05.678901Z" for JSON.
std::string clockText(int64_t timeNs, bool utc) {
    const int64_t micros = timeNs / 1000;
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    const long fraction = static_cast<long>(micros % 1000000);
    tm parts{};
    if (micros < 0 || (utc ? gmtime_r(&seconds, &parts) : localtime_r(&seconds, &parts)) == nullptr) {
        return "?";
    }
    char text[64];
    const size_t length = strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &parts);
    if (length == 0) {
        return "?";
    }
    char micro[16];
    std::snprintf(micro, sizeof micro, ".%06ld%s", fraction, utc ? "Z" : "");
    return std::string(text, length) + micro;
}

std::string recordLine(const BgsMonitorRecord& record, bool json) {
    const bool incoming = (record.flags & BGS_MONITOR_INCOMING) != 0;
    const bool oneway = (record.flags & BGS_MONITOR_ONEWAY) != 0;
    const std::string interfaceName = field(record.interfaceName, sizeof record.interfaceName);
    const std::string method = field(record.method, sizeof record.method);
    const int64_t latencyUs = static_cast<int64_t>(record.latencyNs / 1000);
    const char* statusName = AStatus_codeName(record.status);
    if (json) {
        return JsonObject()
                .add("time", clockText(record.timeNs, true))
                .add("direction", incoming ? "in" : "out")
                .add("peerPid", record.peerPid)
                .add("interface", interfaceName)
                .add("method", method)
                .add("code", int64_t{record.code})
                .add("oneway", oneway)
                .add("requestBytes", int64_t{record.requestBytes})
                .add("replyBytes", int64_t{record.replyBytes})
                .add("status", record.status)
                .add("statusName", statusName)
                .add("latencyUs", latencyUs)
                .str();
    }
    char line[512];
    std::snprintf(line, sizeof line, "%s %-3s pid %-7d %-48s %-32s req %-7u reply %-7u %-6s %5d %-26s %8lldus",
                  clockText(record.timeNs, false).c_str(), incoming ? "in" : "out", static_cast<int>(record.peerPid),
                  plain(interfaceName).c_str(),
                  (plain(method) + "(" + std::to_string(record.code) + ")").c_str(), record.requestBytes,
                  record.replyBytes, oneway ? "oneway" : "", static_cast<int>(record.status), statusName,
                  static_cast<long long>(latencyUs));
    std::string text(line);
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string lostLine(uint64_t lost, bool json) {
    return json ? JsonObject().add("lost", static_cast<int64_t>(lost & INT64_MAX)).str()
                : "monitor: lost " + std::to_string(lost) + " records";
}

// Why BgsMonitor_connect attached no monitor.
std::string refusal(int code, const Options& options, pid_t pid) {
    const std::string process = "pid " + std::to_string(pid);
    switch (code) {
        case BGS_MONITOR_NOT_SERVED:
            return "service '" + options.service + "' is not served" +
                   (options.waitMs ? " within " + std::to_string(*options.waitMs) + " ms" : "");
        case BGS_MONITOR_NO_LISTENER:
            return "monitor: " + process +
                   " has no runtime listener (no such process, or it has not talked to another process yet)";
        case BGS_MONITOR_BUSY:
            return "monitor: " + process + " has " + std::to_string(BGS_MONITOR_MAX) + " monitors attached already";
        case BGS_MONITOR_NOT_PERMITTED:
            return "monitor: " + process + " refuses monitors of this user";
        default:
            return "monitor: cannot attach to " + (pid > 0 ? process : "service '" + options.service + "'");
    }
}

}  // namespace

int runMonitor(const Options& options) {
    if (options.args.size() > 1) {
        return usageError("monitor takes at most one NAME", "monitor");
    }
    if (options.pid && !options.args.empty()) {
        return usageError("monitor takes a NAME or --pid, not both", "monitor");
    }
    const int signalFd = stopSignalFd();
    if (signalFd < 0) {
        printError(std::string("monitor: ") + std::strerror(errno));
        return kExitFailedStatus;
    }

    Options named = options;
    if (!options.args.empty()) {
        named.service = options.args.front();
    }
    pid_t watched = 0;
    int fd = BGS_MONITOR_UNREACHABLE;
    {
        const ::bgs::ScopedCallTimeout deadline = callDeadline(options);  // bounds the handshake
        fd = options.pid ? BgsMonitor_connect(nullptr, *options.pid, 0, &watched)
                         : BgsMonitor_connect(named.service.c_str(), 0, options.waitMs.value_or(0), &watched);
    }
    if (fd == BGS_MONITOR_TIMED_OUT) {
        return timedOut(options, "monitor: pid " + std::to_string(watched));
    }
    if (fd < 0) {
        printError(refusal(fd, named, options.pid ? *options.pid : watched));
        return fd == BGS_MONITOR_BAD_ARGUMENT ? kExitUsage : kExitNoService;
    }
    printLine(options.json ? JsonObject().add("attached", static_cast<int32_t>(watched)).str()
                           : "monitor: attached to pid " + std::to_string(watched));

    // Room for one packet more than the largest valid one, so that an
    // oversize packet shows as such.
    constexpr size_t kMaxPacket = BGS_MONITOR_RECORDS_PER_PACKET * sizeof(BgsMonitorRecord);
    static BgsMonitorRecord packet[BGS_MONITOR_RECORDS_PER_PACKET + 1];
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            printError(std::string("monitor: ") + std::strerror(errno));
            return kExitFailedStatus;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return kExitOk;
        }
        if (fds[1].revents == 0) {
            continue;
        }
        const ssize_t got = recv(fd, packet, sizeof packet, MSG_TRUNC);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // The runtime closes a monitor only when its process ends.
            printLine(options.json ? JsonObject().add("ended", static_cast<int32_t>(watched)).str()
                                   : "monitor: pid " + std::to_string(watched) + " ended");
            return kExitOk;
        }
        const size_t size = static_cast<size_t>(got);
        bool valid = size <= kMaxPacket && size % sizeof(BgsMonitorRecord) == 0;
        for (size_t i = 0; valid && i < size / sizeof(BgsMonitorRecord); ++i) {
            const BgsMonitorRecord& record = packet[i];
            if (record.magic != BGS_MONITOR_RECORD_MAGIC) {
                valid = false;
            } else if (record.kind == BGS_MONITOR_TRANSACTION) {
                printLine(recordLine(record, options.json));
            } else if (record.kind == BGS_MONITOR_LOST) {
                printLine(lostLine(record.lost, options.json));
            } else {
                valid = false;
            }
        }
        if (!valid) {
            printError("monitor: pid " + std::to_string(watched) + " sent a malformed record; stopped");
            return kExitFailedStatus;
        }
    }
}

}  // namespace bgctl
