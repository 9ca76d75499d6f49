// The child processes the other tests start: a role gets its arguments as
// given and the descriptors handed to it, its report reaches the parent, and
// it dies with the process that started it.
#include "process_test_support.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace bgs_process_test {
namespace {

class ProcessChildren : public ProcessTest {};

// Writes each argument but the first as a line to the descriptor args[0],
// then reports "asked to fail".
BGS_TEST_ROLE(echoArguments) {
    for (size_t i = 1; i < args.size(); ++i) sendLine(args.fd(0), args.text(i));
    return "asked to fail";
}

// Starts a waiter of its own, handing it the descriptor args[0], and waits
// to be killed.
BGS_TEST_ROLE(parentOfWaiter) {
    const ChildProcess waiter("waiter", {HandOver{args.fd(0)}});
    for (;;) ::pause();
}

// Writes its pid as a line to the descriptor args[0] and waits to be killed.
BGS_TEST_ROLE(waiter) {
    sendLine(args.fd(0), std::to_string(::getpid()));
    for (;;) ::pause();
}

TEST_F(ProcessChildren, ArgumentsArriveAsGivenAndTheReportAndStatusComeBack) {
    Pipe lines;
    const std::vector<std::string> texts{"two words", "", "--gtest_list_tests", "-1"};
    ChildProcess& child = spawn("echoArguments", {HandOver{lines.writeEnd.get()}, texts[0], texts[1], texts[2], -1});
    LineReader reader(lines.readEnd.get());
    for (const std::string& text : texts) EXPECT_EQ(reader.next(), text);
    EXPECT_EQ(child.finish(), "child " + std::to_string(child.pid()) + " exited with 1:\nasked to fail");
}

TEST_F(ProcessChildren, AChildDiesWithTheProcessThatStartedIt) {
    Pipe lines;
    ChildProcess& parent = spawn("parentOfWaiter", {HandOver{lines.writeEnd.get()}});
    const std::optional<std::string> pid = LineReader(lines.readEnd.get()).next();
    ASSERT_TRUE(pid.has_value()) << parent.finish(Millis(100));
    const UniqueFd waiter(static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(*pid), 0)));
    ASSERT_GE(waiter.get(), 0);
    pollfd ended{waiter.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 0), 0) << "the waiter ended by itself";

    parent.kill();
    EXPECT_EQ(::poll(&ended, 1, static_cast<int>(kPatience.count())), 1);
}

}  // namespace
}  // namespace bgs_process_test
