/*
 * Writing to a descriptor a client handed over (a dump's or a shell
 * command's output) without letting the client stall the writer.
 *
 * The descriptor shares its open file with the client, so its flags are the
 * client's: setting O_NONBLOCK on it would change the client's end too. How
 * each kind of file is written instead:
 *
 *   socket          send(MSG_DONTWAIT): non-blocking for that call alone.
 *   pipe, FIFO      reopened through /proc/self/fd with O_NONBLOCK: a new
 *                   open file of our own on the same pipe, closed after.
 *                   A reader that is gone shows as EPIPE, or for a FIFO as
 *                   ENXIO on the open.
 *   other devices   (terminals, /dev/null) poll for POLLOUT, then a write of
 *                   at most PIPE_BUF bytes, which the kernel takes whole
 *                   once the device reports room. Another writer racing for
 *                   that room can still make one write wait; a pipe that
 *                   cannot be reopened is written the same way.
 *   regular file    written directly: a disk does not wait for a reader.
 *
 * SIGPIPE must be ignored by the process (a reader that goes away is
 * reported, not fatal).
 */
#ifndef BGS_EXAMPLES_SERVICE_DEADLINEWRITE_H
#define BGS_EXAMPLES_SERVICE_DEADLINEWRITE_H

#include <chrono>
#include <cstddef>
#include <string_view>

namespace bgs::examples {

enum class WriteOutcome {
    kWritten,     // all of it
    kReaderGone,  // the reading end closed (EPIPE, or a FIFO with no reader)
    kTimedOut,    // the reader took no more before the deadline
    kFailed,      // any other error (a closed or unwritable descriptor)
};

// Writes `text` to `fd` within `timeout` in all. *written (optional) gets
// the bytes written whatever the outcome. Runs on any thread; blocks at most
// `timeout` (but see "other devices" above).
WriteOutcome writeWithDeadline(int fd, std::string_view text, std::chrono::milliseconds timeout,
                               size_t* written = nullptr);

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_SERVICE_DEADLINEWRITE_H
