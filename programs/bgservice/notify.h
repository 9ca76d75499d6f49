/*
 * Telling a service manager how the daemon is doing, as systemd's
 * Type=notify services do: datagrams of "KEY=VALUE" lines sent to the Unix
 * socket named by $NOTIFY_SOCKET (a path, or an abstract name written with a
 * leading '@').
 */
#ifndef BGS_PROGRAMS_BGSERVICE_NOTIFY_H
#define BGS_PROGRAMS_BGSERVICE_NOTIFY_H

#include <string>

namespace bgservice {

// Sends `state` (e.g. "READY=1") to $NOTIFY_SOCKET. Returns "" when it was
// sent or no socket is named; else why not. Never blocks: a manager that
// does not read loses the message.
std::string notifyServiceManager(const std::string& state);

}  // namespace bgservice

#endif  // BGS_PROGRAMS_BGSERVICE_NOTIFY_H
