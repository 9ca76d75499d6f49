// Monitors: connections that watch this process's transactions (the
// serving side), and attaching to another process as one (the public
// BgsMonitor_connect, bgs/monitor.h).
#ifndef BINDER_NDK_INTERNAL_MONITOR_H
#define BINDER_NDK_INTERNAL_MONITOR_H

#include <sys/socket.h>

#include "../transport/host.h"

namespace binder_ndk::internal {

// Takes `fd`, an accepted connection (tracked for fork) whose first frame
// asked to attach a monitor, from `peer`. Answers accepted, busy or not
// permitted; an accepted monitor is sent records until it hangs up, then
// closed. Runs on the event loop's thread and never blocks.
void acceptMonitor(SessionHost& host, int fd, const ucred& peer) noexcept;

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_MONITOR_H
