// bgctl as a user drives it: the real executable against a real bgservice,
// both started as child processes in the test process's private registry
// directory, their output read through pipes and their exit statuses
// checked.
#include "process_test_support.h"

#include <aidl/bgs/test/everytype/BnProbe.h>
#include <aidl/bgs/test/everytype/BnShapes.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace bgs_process_test {
namespace {

using ::testing::HasSubstr;
using ::testing::ContainsRegex;
using ::testing::StartsWith;

// ---- Programs ----

struct Finished {
    int status = -1;  // the exit status; -1 when killed or still running at the deadline
    std::string out;
    std::string err;
};

// A program started with `args`, stdin from /dev/null, stdout and stderr on
// pipes (stdout on `stdoutFd` instead when one is given). Killed and reaped
// at destruction if still running.
class Program {
  public:
    Program(const char* path, const std::vector<std::string>& args, int stdoutFd = -1) {
        Pipe out;
        Pipe err;
        pid_ = spawnProgram(path, args, stdoutFd >= 0 ? stdoutFd : out.writeEnd.get(), err.writeEnd.get());
        pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        out_ = std::move(out.readEnd);
        err_ = std::move(err.readEnd);
        lines_ = LineReader(out_.get());
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The next line of stdout, within the patience.
    std::optional<std::string> nextLine() { return lines_.next(); }
    // The next line of stdout that contains `text`, skipping the others.
    std::optional<std::string> lineWith(const std::string& text) {
        for (std::optional<std::string> line = lines_.next(); line; line = lines_.next()) {
            if (line->find(text) != std::string::npos) return line;
        }
        return std::nullopt;
    }
    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // Waits for the end; the rest of stdout, and stderr.
    Finished finish() {
        Finished result;
        while (std::optional<std::string> line = lines_.next()) result.out += *line + "\n";
        bool complete = false;
        result.err = readToEnd(err_.get(), kPatience, &complete);
        pollfd ended{pidfd_.get(), POLLIN, 0};
        if (::poll(&ended, 1, static_cast<int>(kPatience.count())) == 1) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return result;
    }

  private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
    UniqueFd out_;
    UniqueFd err_;
    LineReader lines_{-1};
};

// ---- A JSON reader for bgctl's lines ----

// A JSON value: strings decoded, numbers as integers, objects as maps.
struct Json {
    enum class Kind { kString, kNumber, kBool, kNull, kObject, kArray } kind = Kind::kNull;
    std::string string;
    int64_t number = 0;
    bool boolean = false;
    std::map<std::string, Json> object;
    std::vector<Json> array;

    const Json& operator[](const std::string& key) const {
        static const Json absent;
        const auto found = object.find(key);
        return found == object.end() ? absent : found->second;
    }
};

// Parses one whole value; the rest must be empty. Anything bgctl should
// never write (fractions, raw control characters, bad escapes) fails.
class JsonParser {
  public:
    static std::optional<Json> parse(const std::string& text) {
        JsonParser parser(text);
        Json value;
        if (!parser.value(&value) || parser.at_ != text.size()) return std::nullopt;
        return value;
    }

  private:
    explicit JsonParser(const std::string& text) : text_(text) {}

    bool eat(char c) {
        if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
        return false;
    }
    bool word(const char* literal) {
        const size_t length = std::strlen(literal);
        if (text_.compare(at_, length, literal) != 0) return false;
        at_ += length;
        return true;
    }
    bool value(Json* out) {
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '"') return out->kind = Json::Kind::kString, string(&out->string);
        if (c == '{') return out->kind = Json::Kind::kObject, object(&out->object);
        if (c == '[') return out->kind = Json::Kind::kArray, array(&out->array);
        if (word("true")) return out->kind = Json::Kind::kBool, out->boolean = true, true;
        if (word("false")) return out->kind = Json::Kind::kBool, true;
        if (word("null")) return true;
        out->kind = Json::Kind::kNumber;
        const size_t start = at_;
        eat('-');
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
        if (at_ == start || text_[at_ - 1] == '-') return false;
        out->number = std::stoll(text_.substr(start, at_ - start));
        return true;
    }
    bool array(std::vector<Json>* out) {
        eat('[');
        if (eat(']')) return true;
        do {
            out->emplace_back();
            if (!value(&out->back())) return false;
        } while (eat(','));
        return eat(']');
    }
    bool object(std::map<std::string, Json>* out) {
        eat('{');
        if (eat('}')) return true;
        do {
            std::string key;
            Json item;
            if (!string(&key) || !eat(':') || !value(&item)) return false;
            (*out)[key] = item;
        } while (eat(','));
        return eat('}');
    }
    bool string(std::string* out) {
        if (!eat('"')) return false;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char escape = text_[at_++];
            const std::map<char, char> simple = {{'"', '"'}, {'\\', '\\'}, {'/', '/'}, {'n', '\n'},
                                                 {'t', '\t'}, {'r', '\r'}, {'b', '\b'}, {'f', '\f'}};
            if (simple.count(escape) != 0) {
                out->push_back(simple.at(escape));
            } else if (escape == 'u' && at_ + 4 <= text_.size()) {
                const unsigned code = std::stoul(text_.substr(at_, 4), nullptr, 16);
                at_ += 4;
                appendUtf8(code, out);
            } else {
                return false;
            }
        }
        return false;
    }
    static void appendUtf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xc0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        } else {
            out->push_back(static_cast<char>(0xe0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        }
    }

    const std::string& text_;
    size_t at_ = 0;
};

// ---- The fixture ----

// Each test has its own bgservice under a name of its own.
class Bgctl : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        name_ = uniqueName("bgservice");
    }

    // Starts bgservice and waits, through bgctl --wait, until it serves.
    Program& startService() {
        service_ = std::make_unique<Program>(BGSERVICE_PATH, std::vector<std::string>{"--name", name_});
        const Finished listed = bgctl({"--wait", "10000", "list"});
        EXPECT_EQ(listed.status, 0) << listed.err;
        EXPECT_THAT(listed.out, HasSubstr("\n" + name_ + " "));
        return *service_;
    }

    // bgctl with --service naming the test's service, run to its end.
    Finished bgctl(const std::vector<std::string>& args, int stdoutFd = -1) {
        return Program(BGCTL_PATH, withService(args), stdoutFd).finish();
    }

    // bgctl started in the background, its stdout read line by line.
    std::unique_ptr<Program> bgctlInBackground(const std::vector<std::string>& args) {
        return std::make_unique<Program>(BGCTL_PATH, withService(args));
    }

    const std::string& name() const { return name_; }

  private:
    std::vector<std::string> withService(const std::vector<std::string>& args) const {
        std::vector<std::string> all{"--service", name_};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    std::string name_;
    std::unique_ptr<Program> service_;
};

constexpr const char* kOk = "status: Status(0, EX_NONE)\n";

// ---- Tests ----

TEST_F(Bgctl, CallsEveryMethodWithItsArgumentsAndPrintsStatusAndResult) {
    startService();
    // In order: each call's effect shows in a later one (the capabilities
    // make the storage ready; the timestamp and completion make the image
    // that can then be saved), so the arguments demonstrably arrived.
    const struct {
        std::vector<std::string> args;
        std::string out;
    } calls[] = {
            {{"getInterfaceVersion"}, std::string(kOk) + "result: 1\n"},
            {{"getInterfaceHash"}, std::string(kOk) + "result: \"" + IBGService::hash + "\"\n"},
            {{"getStorageLoadCompletedStatus", "0"}, std::string(kOk) + "result: 0\n"},
            {{"setCapabilities", "hdr,night"}, kOk},
            {{"getStorageLoadCompletedStatus", "0"}, std::string(kOk) + "result: 1\n"},
            {{"setTimestamps", "4", "+1700000000000"}, kOk},
            {{"setRequstCompleted", "4"}, kOk},
            {{"setRequstCompletedImageName", "req4.jpg"}, kOk},
            {{"getGalleryAvailability", "-2147483648"}, std::string(kOk) + "result: 0\n"},
            {{"setEventCallback", "7", "null"}, std::string(kOk) + "result: 0\n"},
            {{"setGalleryEventCallback", "3", "null"}, std::string(kOk) + "result: 0\n"},
    };
    for (const auto& call : calls) {
        std::vector<std::string> args{"call"};
        args.insert(args.end(), call.args.begin(), call.args.end());
        SCOPED_TRACE(testing::PrintToString(args));
        const Finished result = bgctl(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, call.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(Bgctl, AFailedStatusExitsOneWithItsDescriptionOnStderr) {
    startService();
    // "-5" is an argument, not an option.
    Finished refused = bgctl({"call", "setTimestamps", "1", "-5"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "bgctl: setTimestamps: Status(-3, EX_ILLEGAL_ARGUMENT): 'timestamp must not be negative'\n");

    // A service-specific error shows the service's own code and message.
    refused = bgctl({"call", "setRequstCompletedImageName", "none.jpg"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "bgctl: setRequstCompletedImageName: service-specific error 1: no completed request "
                           "has an unsaved image named 'none.jpg'\n");
}

// A service that does not answer: each command gives up at its deadline with
// exit status 4 and names the limit. Stopped, the service does not answer
// the look-up; writing a dump into a full pipe, it does not answer the
// request itself.
TEST_F(Bgctl, AServiceThatDoesNotAnswerEndsEachCommandAtItsDeadlineWithExitFour) {
    Program& service = startService();
    Pipe full;
    const int capacity = ::fcntl(full.writeEnd.get(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    ASSERT_TRUE(writeAll(full.writeEnd.get(), std::string(static_cast<size_t>(capacity), 'x').data(),
                         static_cast<size_t>(capacity)));
    const Finished blocked = bgctl({"--timeout", "1000", "dump"}, full.writeEnd.get());
    EXPECT_EQ(blocked.status, 4);
    EXPECT_EQ(blocked.err, "bgctl: dump: no answer within 1000 ms (--timeout)\n");
    full = Pipe();  // the service's write fails; it serves on
    ASSERT_EQ(bgctl({"call", "getInterfaceVersion"}).status, 0);

    service.signal(SIGSTOP);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
            {{"--timeout", "1000", "call", "setTimestamps", "1", "2"},
             "bgctl: setTimestamps: no answer within 1000 ms (--timeout)\n"},
            {{"--json", "--timeout=1000", "call", "getInterfaceVersion"},
             "bgctl: getInterfaceVersion: no answer within 1000 ms (--timeout)\n"},
            {{"--timeout", "1000", "dump"}, "bgctl: dump: no answer within 1000 ms (--timeout)\n"},
            {{"--timeout", "1000", "shell", "help"}, "bgctl: shell: no answer within 1000 ms (--timeout)\n"},
            {{"--wait", "1000", "listen"}, "bgctl: listen: no answer within 1000 ms (--wait)\n"},
            {{"--timeout", "1000", "monitor"},
             "bgctl: monitor: pid " + std::to_string(service.pid()) + ": no answer within 1000 ms (--timeout)\n"},
    };
    for (const auto& late : cases) {
        SCOPED_TRACE(testing::PrintToString(late.args));
        const Clock::time_point start = Clock::now();
        const Finished result = bgctl(late.args);
        const auto took = std::chrono::duration_cast<Millis>(Clock::now() - start);
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.err, late.err);
        EXPECT_GE(took.count(), 1000);
        EXPECT_LT(took.count(), 1000 + 3000) << "the deadline plus slack";
        if (late.args.front() == "--json") {
            const std::optional<Json> record = JsonParser::parse(result.out.substr(0, result.out.size() - 1));
            ASSERT_TRUE(record.has_value()) << result.out;
            EXPECT_TRUE((*record)["timedOut"].boolean);
            EXPECT_FALSE((*record)["ok"].boolean);
        } else {
            EXPECT_EQ(result.out, "");
        }
    }
    service.signal(SIGCONT);
}

// $BGS_SERVICE names the service when --service does not.
TEST_F(Bgctl, TheServiceVariableGivesTheDefaultService) {
    startService();
    ::setenv("BGS_SERVICE", name().c_str(), 1);
    const Finished called = Program(BGCTL_PATH, {"call", "getInterfaceVersion"}).finish();
    const Finished elsewhere = Program(BGCTL_PATH, {"--service", "nobody/x", "call", "getInterfaceVersion"}).finish();
    ::unsetenv("BGS_SERVICE");
    EXPECT_EQ(called.status, 0) << called.err;
    EXPECT_EQ(called.out, std::string(kOk) + "result: 1\n");
    EXPECT_EQ(elsewhere.status, 3) << "--service wins";
}

// The runtime's trace names each transaction's direction, peer, interface,
// code and method, sizes, status and duration; the binding library and bgctl
// add nothing to stderr.
TEST_F(Bgctl, TracingPrintsALinePerTransactionNamingTheMethod) {
    startService();
    ::setenv("BGS_TRACE", "1", 1);
    const Finished traced = bgctl({"call", "getGalleryAvailability", "3"});
    ::unsetenv("BGS_TRACE");
    EXPECT_EQ(traced.status, 0);
    EXPECT_THAT(traced.err, ContainsRegex("bgs-trace out pid=[0-9]+ vendor\\.tolvek\\.hardware\\.aidlbgservice\\."
                                          "IBGService code=6\\(getGalleryAvailability\\) request=[0-9]+ reply=8 "
                                          "status=0 \\(STATUS_OK\\) [0-9.]+us"));
    std::istringstream lines(traced.err);
    for (std::string line; std::getline(lines, line);) EXPECT_THAT(line, StartsWith("bgs-trace "));
}

TEST_F(Bgctl, JsonLinesParseBackWithEveryByteEscaped) {
    startService();
    const Finished listed = bgctl({"--json", "list"});
    const std::optional<Json> entry = JsonParser::parse(listed.out.substr(0, listed.out.find('\n')));
    ASSERT_TRUE(entry.has_value()) << listed.out;
    EXPECT_EQ((*entry)["service"].string, name());

    const Finished hash = bgctl({"call", "getInterfaceHash", "--json"});
    const std::optional<Json> answer = JsonParser::parse(hash.out.substr(0, hash.out.size() - 1));
    ASSERT_TRUE(answer.has_value()) << hash.out;
    EXPECT_EQ((*answer)["method"].string, "getInterfaceHash");
    EXPECT_TRUE((*answer)["ok"].boolean);
    EXPECT_EQ((*answer)["result"].string, IBGService::hash);

    // The service puts the name it was given into its refusal's message:
    // quotes, a backslash, control bytes, UTF-8 and a byte that is not UTF-8.
    const std::string name = "a\"b\\c\n\t\x01 \xc3\xa9 \xff";
    const Finished refused = bgctl({"--json", "call", "setRequstCompletedImageName", name});
    EXPECT_EQ(refused.status, 1);
    ASSERT_EQ(std::count(refused.out.begin(), refused.out.end(), '\n'), 1) << "one line: " << refused.out;
    const std::optional<Json> failure = JsonParser::parse(refused.out.substr(0, refused.out.size() - 1));
    ASSERT_TRUE(failure.has_value()) << refused.out;
    EXPECT_FALSE((*failure)["ok"].boolean);
    EXPECT_EQ((*failure)["exception"].number, EX_SERVICE_SPECIFIC);
    EXPECT_EQ((*failure)["exceptionName"].string, "EX_SERVICE_SPECIFIC");
    EXPECT_EQ((*failure)["serviceSpecificError"].number, 1);
    EXPECT_EQ((*failure)["result"].kind, Json::Kind::kNull) << "a failed call has no result";
    EXPECT_EQ((*failure)["message"].string,
              "no completed request has an unsaved image named 'a\"b\\c\n\t\x01 \xc3\xa9 \xef\xbf\xbd'");
}

TEST_F(Bgctl, ListenPrintsEventsAsTheyArriveAndUnregistersOnSigterm) {
    startService();
    const std::unique_ptr<Program> listener = bgctlInBackground({"listen", "--value", "7"});
    ASSERT_THAT(listener->nextLine().value_or(""), StartsWith("listening: setEventCallback(7) registered as #1"));

    ASSERT_EQ(bgctl({"call", "setTimestamps", "1", "1700000000123"}).status, 0);
    ASSERT_EQ(bgctl({"call", "setRequstCompleted", "1"}).status, 0);
    // The records in full, each event on its own line.
    EXPECT_THAT(listener->nextLine().value_or(""),
                StartsWith("notifyCallback(CallbackData{value1: 7, value2: 1, value3: 3, value4: 1, "
                           "longValue: 1700000000123, text: \"req1.jpg\", images: [Image{value1: 4032, "
                           "value2: 3024, value3: 1}, Image{"));
    EXPECT_THAT(listener->nextLine().value_or(""),
                StartsWith("notifyCallbackInfo(CallbackInfo{value1: 1, text1: \"req1.jpg\", text2: null,"));

    // The daemon's shell command completes a request without a call.
    const Finished completed = bgctl({"shell", "complete", "2"});
    EXPECT_EQ(completed.status, 0) << completed.err;
    EXPECT_EQ(listener->nextLine(),
              std::optional<std::string>(
                      "onCaptureFailed(\"req2.jpg\", 2, \"no timestamp was set for this request\")"));
    EXPECT_THAT(listener->nextLine().value_or(""), StartsWith("notifyCallbackInfo(CallbackInfo{value1: 2,"));

    listener->signal(SIGTERM);
    const Finished stopped = listener->finish();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "stopped: Terminated after 4 events; setEventCallback(7, null): Status(0, EX_NONE)\n");
    EXPECT_THAT(bgctl({"dump"}).out, HasSubstr("event callback: none"));
}

TEST_F(Bgctl, GalleryListenerInJsonStopsOnSigint) {
    startService();
    const std::unique_ptr<Program> listener = bgctlInBackground({"--json", "listen", "--gallery", "--value=3"});
    const std::optional<Json> listening = JsonParser::parse(listener->nextLine().value_or(""));
    ASSERT_TRUE(listening.has_value());
    EXPECT_EQ((*listening)["listening"].string, "setGalleryEventCallback");
    EXPECT_EQ((*listening)["value"].number, 3);

    ASSERT_EQ(bgctl({"shell", "complete", "5", "99"}).status, 0);
    ASSERT_EQ(bgctl({"call", "setRequstCompletedImageName", "req5.jpg"}).status, 0);
    const std::optional<Json> event = JsonParser::parse(listener->nextLine().value_or(""));
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ((*event)["event"].string, "notifySnapshotAvailability");
    EXPECT_EQ((*event)["args"]["value"].number, 1);

    listener->signal(SIGINT);
    const Finished stopped = listener->finish();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    const std::optional<Json> last = JsonParser::parse(stopped.out.substr(0, stopped.out.size() - 1));
    ASSERT_TRUE(last.has_value()) << stopped.out;
    EXPECT_EQ((*last)["events"].number, 1);
    EXPECT_TRUE((*last)["unregistered"].boolean);
}

TEST_F(Bgctl, ListenerExitsOneWhenTheServiceDiesAndSaysSoInJsonToo) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        Program& service = startService();
        const std::unique_ptr<Program> listener =
                bgctlInBackground(json ? std::vector<std::string>{"--json", "listen"} : std::vector<std::string>{"listen"});
        ASSERT_TRUE(listener->nextLine().has_value());
        ASSERT_EQ(bgctl({"shell", "complete", "1"}).status, 0);
        ASSERT_TRUE(listener->nextLine().has_value());  // onCaptureFailed
        ASSERT_TRUE(listener->nextLine().has_value());  // notifyCallbackInfo
        service.signal(SIGKILL);
        const Finished ended = listener->finish();
        EXPECT_EQ(ended.status, 1);
        EXPECT_EQ(ended.err, "bgctl: listen: the service died after 2 events\n");
        if (json) {
            const std::optional<Json> last = JsonParser::parse(ended.out.substr(0, ended.out.size() - 1));
            ASSERT_TRUE(last.has_value()) << ended.out;
            EXPECT_EQ((*last)["died"].string, name());
            EXPECT_EQ((*last)["events"].number, 2);
        } else {
            EXPECT_EQ(ended.out, "");
        }
    }
}

TEST_F(Bgctl, DumpAndShellStreamTheServicesOutputAndShellFollowsTheHandlersStatus) {
    startService();
    const Finished dump = bgctl({"dump"});
    EXPECT_EQ(dump.status, 0);
    EXPECT_THAT(dump.out, StartsWith("ExampleBGService\n"));

    // Options end at the handler's first argument: "--help" is the handler's.
    const Finished help = bgctl({"shell", "help", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("complete REQUEST [TIMESTAMP]"));

    const Finished unknown = bgctl({"shell", "frobnicate"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_THAT(unknown.err, HasSubstr("unknown command 'frobnicate'"));
    EXPECT_THAT(unknown.err, HasSubstr("bgctl: shell: the service's handler refused the command (STATUS_BAD_VALUE)"));
}

TEST_F(Bgctl, UsageErrorsAndMissingServicesHaveTheirExitStatusAndMessage) {
    startService();  // running, so that only the command line can be at fault
    const std::string other = uniqueName("raw");
    ASSERT_EQ(publish(newObjectsServer(std::make_shared<TokenLedger>()), other), "");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
            {{"frob"}, 2, "unknown command 'frob'"},
            {{"list", "--frob"}, 2, "unknown option '--frob'"},
            {{"list", "extra"}, 2, "list takes no arguments"},
            {{"call"}, 2, "call needs a METHOD"},
            {{"call", "noSuchMethod"}, 2, "unknown method 'noSuchMethod'\n"},
            {{"call", "settimestamp", "1", "2"}, 2, "unknown method 'settimestamp' (did you mean 'setTimestamps'?)"},
            {{"lsit"}, 2, "unknown command 'lsit' (did you mean 'list'?)"},
            {{"--timout=5", "list"}, 2, "unknown option '--timout=5' (did you mean '--timeout'?)"},
            {{"--timeout", "-1", "list"}, 2, "--timeout must be at least 0"},
            {{"call", "setTimestamps", "1"}, 2, "setTimestamps takes 2 arguments, got 1"},
            {{"call", "getInterfaceVersion", "1"}, 2, "getInterfaceVersion takes 0 arguments, got 1"},
            {{"call", "setTimestamps", "1", "12x"}, 2, "TIMESTAMP: '12x' is not an int64"},
            {{"call", "setTimestamps", "", "1"}, 2, "VALUE: '' is not an int32"},
            {{"call", "getGalleryAvailability", "2147483648"}, 2, "'2147483648' is out of range for int32"},
            {{"call", "getGalleryAvailability", "-2147483649"}, 2, "out of range for int32"},
            {{"call", "setRequstCompleted", "9223372036854775808"}, 2, "out of range for int64"},
            {{"call", "setEventCallback", "1", "mine"}, 2, "CALLBACK: a callback argument takes only 'null'"},
            {{"call", "--value", "1", "getInterfaceVersion"}, 2, "--gallery and --value belong to listen"},
            {{"--wait", "-1", "list"}, 2, "--wait must be at least 0"},
            {{"--wait", "soon", "list"}, 2, "--wait: 'soon' is not an int32"},
            {{"listen", "--value"}, 2, "--value needs a value"},
            {{"list", "--pid", "1"}, 2, "--pid belongs to monitor"},
            {{"monitor", "--pid", "0"}, 2, "--pid must be at least 1"},
            {{"monitor", "a", "b"}, 2, "monitor takes at most one NAME"},
            {{"monitor", "a", "--pid", "1"}, 2, "monitor takes a NAME or --pid, not both"},
            {{"monitor", "nobody/x"}, 3, "service 'nobody/x' is not served"},
            {{"--service", "nobody/x", "call", "getInterfaceVersion"}, 3, "service 'nobody/x' is not served"},
            {{"--service", "nobody/x", "--wait", "50", "dump"}, 3, "service 'nobody/x' is not served within 50 ms"},
            {{"--service", "nobody/x", "listen"}, 3, "service 'nobody/x' is not served"},
            {{"--service", other, "call", "getInterfaceVersion"}, 3, "does not serve " + std::string(IBGService::descriptor)},
    };
    for (const auto& wrong : cases) {
        SCOPED_TRACE(testing::PrintToString(wrong.args));
        const Finished result = bgctl(wrong.args);  // a later --service wins over the fixture's
        EXPECT_EQ(result.status, wrong.status);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, StartsWith("bgctl: "));
        EXPECT_THAT(result.err, HasSubstr(wrong.message));
    }
}

// A monitor of the service sees another client's lookup and call as they
// happen, with that client's pid; SIGINT ends it quietly.
TEST_F(Bgctl, MonitorShowsAnotherClientsCallsAsTheyHappen) {
    startService();
    const std::unique_ptr<Program> monitor = bgctlInBackground({"--json", "monitor", name()});
    const std::optional<Json> attached = JsonParser::parse(monitor->nextLine().value_or(""));
    ASSERT_TRUE(attached.has_value());
    EXPECT_GT((*attached)["attached"].number, 0);

    const std::unique_ptr<Program> caller = bgctlInBackground({"call", "getGalleryAvailability", "3"});
    const pid_t callerPid = caller->pid();
    ASSERT_EQ(caller->finish().status, 0);
    const std::optional<Json> lookup = JsonParser::parse(monitor->lineWith("\"getService\"").value_or(""));
    ASSERT_TRUE(lookup.has_value());
    EXPECT_EQ((*lookup)["interface"].string, "(process)");
    const std::optional<Json> call = JsonParser::parse(monitor->nextLine().value_or(""));
    ASSERT_TRUE(call.has_value());
    EXPECT_EQ((*call)["direction"].string, "in");
    EXPECT_EQ((*call)["peerPid"].number, callerPid);
    EXPECT_EQ((*call)["interface"].string, IBGService::descriptor);
    EXPECT_EQ((*call)["method"].string, "getGalleryAvailability");
    EXPECT_EQ((*call)["code"].number, IBGService::TRANSACTION_getGalleryAvailability);
    EXPECT_EQ((*call)["oneway"].kind, Json::Kind::kBool);
    EXPECT_FALSE((*call)["oneway"].boolean);
    EXPECT_GT((*call)["requestBytes"].number, 0);
    EXPECT_EQ((*call)["replyBytes"].number, 8);
    EXPECT_EQ((*call)["status"].number, 0);
    EXPECT_EQ((*call)["statusName"].string, "STATUS_OK");
    EXPECT_GE((*call)["latencyUs"].number, 0);
    EXPECT_THAT((*call)["time"].string, ContainsRegex("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\.[0-9]{6}Z$"));

    monitor->signal(SIGINT);
    const Finished stopped = monitor->finish();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.err, "");
}

// A client that serves nothing is watched by its pid: the events it is
// sent come in, its unregistration goes out, and its end ends the monitor.
TEST_F(Bgctl, MonitorByPidWatchesAClientUntilItEnds) {
    startService();
    const std::unique_ptr<Program> listener = bgctlInBackground({"listen"});
    ASSERT_THAT(listener->nextLine().value_or(""), StartsWith("listening: "));
    const std::string pid = std::to_string(listener->pid());
    const std::unique_ptr<Program> monitor = bgctlInBackground({"monitor", "--pid", pid});
    ASSERT_EQ(monitor->nextLine(), std::optional<std::string>("monitor: attached to pid " + pid));

    ASSERT_EQ(bgctl({"shell", "complete", "2"}).status, 0);
    EXPECT_THAT(monitor->lineWith("onCaptureFailed").value_or(""),
                ContainsRegex(" in +pid [0-9]+ +vendor\\.tolvek\\.hardware\\.aidlbgservice\\.IEventCallback +"
                              "onCaptureFailed\\([0-9]+\\) +req [0-9]+ +reply [0-9]+ +0 STATUS_OK +[0-9]+us$"));
    // The service's worker sends the request's second event after the first;
    // once it is in, the client is stopped with nothing left in flight.
    ASSERT_TRUE(monitor->lineWith("notifyCallbackInfo").has_value());
    listener->signal(SIGTERM);
    EXPECT_EQ(listener->finish().status, 0);
    EXPECT_THAT(monitor->lineWith("setEventCallback").value_or(""), ContainsRegex(" out +pid [0-9]+ +vendor"));
    EXPECT_EQ(monitor->nextLine(), std::optional<std::string>("monitor: pid " + pid + " ended"));
    EXPECT_EQ(monitor->finish().status, 0);

    const Finished nobody = bgctl({"monitor", "--pid", "1"});
    EXPECT_EQ(nobody.status, 3);
    EXPECT_THAT(nobody.err, HasSubstr("pid 1 has no runtime listener"));
}

TEST_F(Bgctl, ListAndDescribeShowWhatTheServiceSaysOfItself) {
    Program& service = startService();
    const std::string pid = std::to_string(service.pid());
    const std::string uid = std::to_string(::geteuid());
    const std::string descriptor = IBGService::descriptor;

    const Finished table = bgctl({"list"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_THAT(table.out, ContainsRegex("^SERVICE +INTERFACE +VERSION +PID +UID +ANSWERS\n"));
    EXPECT_THAT(table.out, ContainsRegex("\n" + name() + " +" + descriptor + " +1 +" + pid + " +" + uid + " +yes\n"));

    const Finished lines = bgctl({"--json", "list"});
    std::optional<Json> row;
    std::istringstream each(lines.out);
    for (std::string line; std::getline(each, line);) {
        const std::optional<Json> parsed = JsonParser::parse(line);
        ASSERT_TRUE(parsed.has_value()) << line;
        if ((*parsed)["service"].string == name()) row = parsed;
    }
    ASSERT_TRUE(row.has_value()) << lines.out;
    EXPECT_EQ((*row)["interface"].string, descriptor);
    EXPECT_EQ((*row)["version"].number, 1);
    EXPECT_EQ((*row)["pid"].number, service.pid());
    EXPECT_EQ((*row)["uid"].number, ::geteuid());
    EXPECT_TRUE((*row)["answers"].boolean);

    const Finished described = bgctl({"describe", name()});
    EXPECT_EQ(described.status, 0) << described.err;
    for (const std::string& line :
         {"interface: " + descriptor + "\n", std::string("version:   1\n"), "hash:      " + std::string(IBGService::hash) + "\n",
          "pid:       " + pid + "\n", "uid:       " + uid + "\n", std::string("       3  setTimestamps VALUE:int32 TIMESTAMP:int64\n"),
          std::string("16777214  getInterfaceHash -> string\n"),
          std::string("       5  onCaptureFailed FIRST:string VALUE:int32 SECOND:string -> string\n")}) {
        EXPECT_THAT(described.out, HasSubstr(line));
    }
    const std::string json = bgctl({"--json", "describe"}).out;
    ASSERT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << "one object: " << json;
    const std::optional<Json> object = JsonParser::parse(json.substr(0, json.size() - 1));
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ((*object)["hash"].string, IBGService::hash);
    EXPECT_EQ((*object)["methods"]["setRequstCompleted"]["code"].number, 4);
    EXPECT_EQ((*object)["methods"]["getGalleryAvailability"]["result"].string, "int32");
    EXPECT_EQ((*object)["callbackMethods"]["notifyCallback"]["params"].string, "DATA:CallbackData");

    // A service of an interface bgctl has no table for.
    const std::string other = uniqueName("raw");
    ASSERT_EQ(publish(newObjectsServer(std::make_shared<TokenLedger>()), other), "");
    const Finished unknown = bgctl({"describe", other});
    EXPECT_EQ(unknown.status, 0) << unknown.err;
    EXPECT_THAT(unknown.out, ContainsRegex("\nbgctl knows no methods of [^\n]+\n$"));
}

// One service that does not answer costs the listing its deadline at most.
TEST_F(Bgctl, AStoppedServiceIsListedAsNotAnsweringWithinTheDeadline) {
    Program& service = startService();
    service.signal(SIGSTOP);
    const auto start = Clock::now();
    const Finished table = bgctl({"list"});
    const auto took = Clock::now() - start;
    service.signal(SIGCONT);
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_THAT(table.out, ContainsRegex("\n" + name() + " +- +- +" + std::to_string(service.pid()) + " +[0-9]+ +no\n"));
    EXPECT_LT(took, std::chrono::milliseconds(5000 + 3000)) << "the default deadline is 5000 ms";
}

TEST_F(Bgctl, AnUnusableRegistryIsReportedWithItsReasonAndExitStatusThree) {
    const std::string dir = testing::TempDir() + "bgctl-shared-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0770), 0);
    const std::string saved = ::getenv("BGS_SERVICE_DIR");
    ::setenv("BGS_SERVICE_DIR", dir.c_str(), 1);  // for the programs started below
    const Finished listed = bgctl({"list"});
    const Finished called = bgctl({"call", "getInterfaceVersion"});
    const Finished served = Program(BGSERVICE_PATH, {"--name", name()}).finish();
    ::setenv("BGS_SERVICE_DIR", saved.c_str(), 1);
    ::rmdir(dir.c_str());

    const std::string reason = dir + " is group-writable (mode 0770)";
    EXPECT_EQ(listed.status, 3);
    EXPECT_EQ(listed.out, "");
    EXPECT_EQ(listed.err, "bgctl: cannot list the registry " + dir + ": " + reason + "\n");
    EXPECT_EQ(called.status, 3);
    EXPECT_EQ(called.err, "bgctl: the registry is unusable: " + reason + "\n");
    EXPECT_EQ(served.status, 1);
    EXPECT_THAT(served.err, HasSubstr("cannot publish '" + name() + "': registry unusable: " + reason));
}

TEST_F(Bgctl, EveryCommandHasHelpAndTheMethodListShowsArgumentAndResultTypes) {
    for (const char* command : {"list", "describe", "call", "listen", "dump", "shell", "monitor"}) {
        const Finished help = bgctl({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_THAT(help.out, StartsWith(std::string("usage: bgctl [OPTIONS] ") + command)) << command;
    }
    const Finished help = bgctl({"--help"});
    for (const char* line : {"  setTimestamps VALUE:int32 TIMESTAMP:int64\n", "  setRequstCompleted VALUE:int64\n",
                             "  setEventCallback VALUE:int32 CALLBACK:callback -> int32\n",
                             "  setRequstCompletedImageName IMAGE_NAME:string\n", "  getInterfaceHash -> string\n",
                             "  3  the service cannot be reached", "  4  the service did not answer within --timeout",
                             "default: $BGS_SERVICE"}) {
        EXPECT_THAT(help.out, HasSubstr(line));
    }
}

// ---- Any interface, from its definition file ----

namespace everytype = ::aidl::bgs::test::everytype;

// The generated every-type library's probe, served from this process: what
// bgctl --defs writes must decode with the generated readers, and what it
// prints must be what the generated records' toString() makes of the same
// values.
class EchoProbe : public everytype::BnProbe {
  public:
    ::ndk::UniqueAStatus echo(const everytype::Sample& sample, everytype::Sample* out) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        last_ = sample;
        *out = sample;
        return ok();
    }
    ::ndk::UniqueAStatus relabel(const std::vector<everytype::Item>& items, const std::optional<std::string>& label,
                                 std::vector<everytype::Item>* out) override {
        *out = items;
        for (everytype::Item& item : *out) item.label = label;
        return ok();
    }
    ::ndk::UniqueAStatus swap(const std::shared_ptr<everytype::IPeer>& peer,
                              std::shared_ptr<everytype::IPeer>* out) override {
        *out = peer;
        return ok();
    }
    ::ndk::UniqueAStatus flip(bool value, int64_t wide, bool* out) override {
        *out = !value && wide == std::numeric_limits<int64_t>::min();
        return ok();
    }
    ::ndk::UniqueAStatus nothing() override { return ok(); }

    everytype::Sample last() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

  private:
    static ::ndk::UniqueAStatus ok() { return ::ndk::UniqueAStatus(AStatus_newOk()); }
    std::mutex mutex_;
    everytype::Sample last_;
};

class BgctlDefs : public Bgctl {
  protected:
    void SetUp() override {
        Bgctl::SetUp();
        probeName_ = uniqueName("probe");
        ASSERT_EQ(publish(probe_->asBinder(), probeName_), "");
    }
    // bgctl --service <the probe> --defs every_type.bgidl ARGS...
    Finished probeCall(const std::vector<std::string>& args) {
        std::vector<std::string> all{"--defs", EVERY_TYPE_DEFINITION, "--service", probeName_};
        all.insert(all.end(), args.begin(), args.end());
        return bgctl(all);
    }
    const std::shared_ptr<EchoProbe> probe_ = ::ndk::SharedRefBase::makeRef<EchoProbe>();
    std::string probeName_;
};

TEST_F(BgctlDefs, CallsAnyMethodWithTypedArgumentsAndShowsResultsAsTheGeneratedRecordsDo) {
    everytype::Sample sent;
    sent.small = 1;
    sent.text = "x";
    sent.items = {everytype::Item{4032, std::nullopt}};
    const std::string sample = R"({"small":1,"text":"x","items":[{"id":4032}]})";
    const struct {
        std::vector<std::string> args;
        std::string result;  // empty: no result line
    } calls[] = {
            {{"echo", sample}, sent.toString()},
            {{"relabel", R"([{"id":1},{"id":2,"label":"a"}])", "b"},
             R"([Item{id: 1, label: "b"}, Item{id: 2, label: "b"}])"},
            {{"relabel", " [ ] ", "null"}, "[]"},
            {{"flip", "false", "-9223372036854775808"}, "true"},
            {{"swap", "null"}, "null"},
            {{"nothing"}, ""},
            {{"getInterfaceHash"}, "\"notfrozen\""},
    };
    for (const auto& call : calls) {
        std::vector<std::string> args{"call"};
        args.insert(args.end(), call.args.begin(), call.args.end());
        SCOPED_TRACE(testing::PrintToString(args));
        const Finished result = probeCall(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, std::string(kOk) + (call.result.empty() ? "" : "result: " + call.result + "\n"));
    }
    EXPECT_EQ(probe_->last(), sent) << probe_->last().toString();

    // Absent fields take the record's defaults, an explicit null empties a
    // string?; with --json the result is the record as a JSON object.
    const Finished json = probeCall({"--json", "call", "echo", R"({"maybe":null,"nothing":[{},{}]})"});
    ASSERT_EQ(json.status, 0) << json.err;
    everytype::Sample defaults;
    defaults.maybe.reset();
    defaults.nothing.resize(2);
    EXPECT_EQ(probe_->last(), defaults) << probe_->last().toString();
    const std::optional<Json> line = JsonParser::parse(json.out.substr(0, json.out.size() - 1));
    ASSERT_TRUE(line.has_value()) << json.out;
    const Json& echoed = (*line)["result"];
    ASSERT_EQ(echoed.kind, Json::Kind::kObject);
    EXPECT_EQ(echoed["small"].number, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(echoed["large"].number, std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(echoed["on"].boolean);
    EXPECT_EQ(echoed["text"].string, defaults.text);
    EXPECT_EQ(echoed["maybe"].kind, Json::Kind::kNull);
    EXPECT_EQ(echoed["items"].kind, Json::Kind::kArray);
    EXPECT_EQ(echoed["nothing"].array.size(), 2u);
}

TEST_F(BgctlDefs, BadDefinitionsAndArgumentsAreUsageErrorsNamingWhereAndWhat) {
    const std::string bad = testing::TempDir() + "bgctl-bad-" + std::to_string(::getpid()) + ".bgidl";
    std::ofstream(bad) << "package a.b;\nversion 1;\ninterface IX {\n    void f(i33 x);\n}\n";
    const std::string every = EVERY_TYPE_DEFINITION;
    const struct {
        std::vector<std::string> args;  // after --service <the probe>
        int status;
        std::string message;
    } cases[] = {
            {{"--defs", bad, "call", "f", "1"}, 2, bad + ":4:12: error: unknown type 'i33'\n"},
            {{"--defs", bad + ".none", "describe"}, 2, bad + ".none:1:1: error: "},
            {{"--defs", every, "call", "echo", R"({"smal":1})"}, 2,
             "echo: SAMPLE: smal: unknown field of Sample (its fields: small, large, on, text, maybe, items, nothing)"},
            {{"--defs", every, "call", "echo", R"({"items":[{"id":"4"}]})"}, 2,
             "SAMPLE: items[0].id: expected int32, got a string"},
            {{"--defs", every, "call", "echo", R"({"small":2147483648})"}, 2,
             "SAMPLE: small: '2147483648' is out of range for int32"},
            {{"--defs", every, "call", "echo", R"({"large":1e3})"}, 2, "SAMPLE: large: '1e3' is not an int64"},
            {{"--defs", every, "call", "echo", R"({"on":1})"}, 2, "SAMPLE: on: expected true or false, got a number"},
            {{"--defs", every, "call", "echo", R"({"small":1)"}, 2, "SAMPLE: not JSON: expected ',' or '}'"},
            {{"--defs", every, "call", "echo", "[]"}, 2, "SAMPLE: expected a Sample object, got an array"},
            {{"--defs", every, "call", "relabel", R"([{"id":1},7])", "x"}, 2,
             "ITEMS: [1]: expected a Item object, got a number"},
            {{"--defs", every, "call", "flip", "yes", "1"}, 2, "VALUE: 'yes' is not a bool (true or false)"},
            {{"--defs", every, "call", "swap", "peer"}, 2, "PEER: an interface argument (IPeer) takes only 'null'"},
            {{"--defs", every, "call", "nothing", "1"}, 2, "nothing takes 0 arguments, got 1"},
            {{"--defs", every, "call", "echoo", "{}"}, 2, "unknown method 'echoo' (did you mean 'echo'?)"},
            {{"--defs", every, "--interface", "INope", "call", "nothing"}, 2, "--interface: no interface 'INope'"},
            {{"--defs", every, "--defs", every, "call", "nothing"}, 2,
             "bgs.test.everytype.IProbe is defined by several --defs files (" + every + ", " + every +
                     ") for version 2; give one of them"},
            {{"--defs", every, "--interface", "IQuiet", "call", "nothing"}, 3,
             "serves bgs.test.everytype.IProbe, not IQuiet"},
            {{"--defs", PACKAGE_DEFINITION, "call", "nothing"}, 3,
             "serves bgs.test.everytype.IProbe, which no --defs file defines"},
    };
    for (const auto& wrong : cases) {
        SCOPED_TRACE(testing::PrintToString(wrong.args));
        std::vector<std::string> args{"--service", probeName_};
        args.insert(args.end(), wrong.args.begin(), wrong.args.end());
        const Finished result = bgctl(args);
        EXPECT_EQ(result.status, wrong.status);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr(wrong.message));
    }
    ::unlink(bad.c_str());
}

// A service of the probe's descriptor whose replies lie: an OK status, then
// counts and sizes that the rest of the reply cannot hold, a record body
// smaller than its size word, a binder that is not one. Each call fails with
// the reader's status (exit 1), allocates nothing by the lying count and
// prints no result.
binder_status_t serveLies(AIBinder*, transaction_code_t code, const AParcel*, AParcel* out) {
    const ::ndk::UniqueAStatus ok(AStatus_newOk());
    AParcel_writeStatusHeader(out, ok.get());
    switch (code) {
        case 1:  // echo -> Sample: a body claiming nearly 2 GiB
            AParcel_writeInt32(out, 1);
            AParcel_writeInt32(out, 0x7ffffff0);
            break;
        case 2:  // relabel -> list<Item>: 2^31 - 1 elements, then one with a size word of 2
            AParcel_writeInt32(out, 0x7fffffff);
            AParcel_writeInt32(out, 1);
            AParcel_writeInt32(out, 2);
            break;
        case 3:  // swap -> IPeer: a plain word where a binder should be
            AParcel_writeInt32(out, 7);
            break;
        case 10:  // IShapes.split: a good head, then a rest of 2^31 - 1 elements
            AParcel_writeString(out, "a", 1);
            AParcel_writeInt32(out, 0x7fffffff);
            break;
        default:  // flip -> bool: nothing at all
            break;
    }
    return STATUS_OK;
}

TEST_F(BgctlDefs, ALyingReplyFailsTheCallWithTheReadersStatus) {
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.everytype.IProbe", nullptr, nullptr, serveLies);
    const std::string liar = uniqueName("liar");
    ASSERT_EQ(publish(::ndk::SpAIBinder(AIBinder_new(clazz, nullptr)), liar), "");
    for (const std::vector<std::string>& call : std::vector<std::vector<std::string>>{
                 {"echo", "{}"}, {"relabel", "[]", "null"}, {"swap", "null"}, {"flip", "true", "1"}}) {
        SCOPED_TRACE(call.front());
        std::vector<std::string> args{"--service", liar, "--defs", EVERY_TYPE_DEFINITION, "call"};
        args.insert(args.end(), call.begin(), call.end());
        const Finished result = bgctl(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, ContainsRegex("^bgctl: " + call.front() + ": Status\\(-?[0-9]+, EX_TRANSACTION_FAILED\\)"));
    }
}

// describe --defs shows the served interface's methods as its file defines
// them, and the interface it calls back; the package's own file drives a
// call of bgservice like the built-in table does.
TEST_F(BgctlDefs, DescribeShowsTheDefinedMethodsAndThePackageFileCallsTheService) {
    const Finished described = probeCall({"describe"});
    EXPECT_EQ(described.status, 0) << described.err;
    for (const char* line : {"interface: bgs.test.everytype.IProbe\n", "hash:      notfrozen\n",
                             "       1  echo SAMPLE:Sample -> Sample\n",
                             "       2  relabel ITEMS:list<Item> LABEL:string? -> list<Item>\n",
                             "       4  flip VALUE:bool WIDE:int64 -> bool\n", "       5  nothing\n",
                             "callback interface bgs.test.everytype.IPeer (the service calls back):\n",
                             "       1  back PROBE:callback -> callback\n"}) {
        EXPECT_THAT(described.out, HasSubstr(line));
    }
    const Finished json = probeCall({"--json", "describe"});
    const std::optional<Json> object = JsonParser::parse(json.out.substr(0, json.out.size() - 1));
    ASSERT_TRUE(object.has_value()) << json.out;
    EXPECT_EQ((*object)["methods"]["relabel"]["code"].number, 2);
    EXPECT_EQ((*object)["methods"]["swap"]["result"].string, "callback");
    EXPECT_EQ((*object)["callbackInterface"].string, "bgs.test.everytype.IPeer");

    startService();
    const Finished called = bgctl({"--defs", PACKAGE_DEFINITION, "call", "setCapabilities", "hdr"});
    EXPECT_EQ(called.status, 0) << called.err;
    EXPECT_EQ(called.out, kOk);
    const Finished ready = bgctl({"--defs", PACKAGE_DEFINITION, "--json", "call", "getStorageLoadCompletedStatus", "0"});
    EXPECT_THAT(ready.out, HasSubstr("\"result\":1}"));
    // A descriptor that none of the files defines falls back to the built-in definition.
    EXPECT_THAT(bgctl({"--defs", EVERY_TYPE_DEFINITION, "describe"}).out,
                HasSubstr("       3  setTimestamps VALUE:int32 TIMESTAMP:int64\n"));
}

// IShapes from this process: split fills its out values from `text` as
// every_type_test's does (head: the first `keep` bytes, absent for an empty
// text; rest: an item per later byte; result: the size; keep < 0 fails with
// service-specific 7 after filling them). post holds each value until the
// test opens the gate, so a one-way caller is seen not to wait for it;
// posted reports the values' sum through its out parameter and their count
// as result.
class HeldShapes : public everytype::BnShapes {
  public:
    ::ndk::UniqueAStatus post(int32_t value) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return open_; });
        values_.push_back(value);
        return ok();
    }
    ::ndk::UniqueAStatus split(const std::string& text, std::optional<std::string>* head, int64_t keep,
                               std::vector<everytype::Item>* rest, int32_t* size) override {
        const size_t cut = std::min(text.size(), static_cast<size_t>(std::max<int64_t>(keep, 0)));
        if (!text.empty()) *head = text.substr(0, cut);
        for (size_t i = cut; i < text.size(); ++i) rest->push_back(everytype::Item{text[i], std::nullopt});
        *size = static_cast<int32_t>(text.size());
        return keep < 0 ? ::ndk::UniqueAStatus(AStatus_fromServiceSpecificError(7)) : ok();
    }
    ::ndk::UniqueAStatus posted(int64_t* sum, int32_t* count) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        *sum = std::accumulate(values_.begin(), values_.end(), int64_t{0});
        *count = static_cast<int32_t>(values_.size());
        return ok();
    }

    void open() {
        const std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int32_t count() {
        int64_t sum = 0;
        int32_t count = 0;
        posted(&sum, &count);
        return count;
    }
    int64_t sum() {
        int64_t sum = 0;
        int32_t count = 0;
        posted(&sum, &count);
        return sum;
    }
    bool has(int32_t value) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return std::find(values_.begin(), values_.end(), value) != values_.end();
    }

  private:
    static ::ndk::UniqueAStatus ok() { return ::ndk::UniqueAStatus(AStatus_newOk()); }
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    std::vector<int32_t> values_;
};

class BgctlShapes : public Bgctl {
  protected:
    void SetUp() override {
        Bgctl::SetUp();
        shapesName_ = uniqueName("shapes");
        ASSERT_EQ(publish(shapes_->asBinder(), shapesName_), "");
    }
    void TearDown() override {
        shapes_->open();  // no post stays held past the test
        Bgctl::TearDown();
    }
    Finished shapesCall(const std::vector<std::string>& args) {
        std::vector<std::string> all{"--defs", EVERY_TYPE_DEFINITION, "--service", shapesName_};
        all.insert(all.end(), args.begin(), args.end());
        return bgctl(all);
    }
    const std::shared_ptr<HeldShapes> shapes_ = ::ndk::SharedRefBase::makeRef<HeldShapes>();
    std::string shapesName_;
};

// The command line gives the in-arguments only; the out values come back in
// declaration order before the result, and only with an OK status.
TEST_F(BgctlShapes, OutParametersArePrintedInOrderBeforeTheResultOnlyOnSuccess) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // all of stdout; with --json its end
    } calls[] = {
            {{"call", "split", "abc", "1"}, 0,
             std::string(kOk) + "out head: \"a\"\nout rest: [Item{id: 98, label: null}, Item{id: 99, label: null}]\n"
                                "result: 3\n"},
            {{"call", "split", "", "0"}, 0, std::string(kOk) + "out head: null\nout rest: []\nresult: 0\n"},
            {{"call", "split", "xyz", "-1"}, 1, ""},
            {{"call", "posted"}, 0, std::string(kOk) + "out sum: 0\nresult: 0\n"},
            {{"--json", "call", "split", "abc", "2"}, 0,
             "\"out\":{\"head\":\"ab\",\"rest\":[{\"id\":99,\"label\":null}]},\"result\":3}\n"},
            {{"--json", "call", "split", "xyz", "-1"}, 1, "\"timedOut\":false}\n"},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(testing::PrintToString(call.args));
        const Finished result = shapesCall(call.args);
        EXPECT_EQ(result.status, call.status) << result.err;
        if (call.args.front() == "--json") {
            EXPECT_THAT(result.out, testing::EndsWith(call.out));
        } else {
            EXPECT_EQ(result.out, call.out);
        }
    }
    const Finished wrongCount = shapesCall({"call", "split", "abc"});
    EXPECT_EQ(wrongCount.status, 2);
    EXPECT_THAT(wrongCount.err, HasSubstr("split takes 2 arguments, got 1: bgctl call split TEXT:string "
                                          "(out HEAD:string?) KEEP:int64 (out REST:list<Item>)"));

    // A reply whose out value lies fails the call and shows none of the
    // values read before it.
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.everytype.IShapes", nullptr, nullptr, serveLies);
    const std::string liar = uniqueName("liar");
    ASSERT_EQ(publish(::ndk::SpAIBinder(AIBinder_new(clazz, nullptr)), liar), "");
    const Finished lied =
            bgctl({"--service", liar, "--defs", EVERY_TYPE_DEFINITION, "--json", "call", "split", "abc", "1"});
    EXPECT_EQ(lied.status, 1);
    EXPECT_THAT(lied.out, HasSubstr("\"ok\":false"));
    EXPECT_THAT(lied.out, testing::Not(HasSubstr("\"out\"")));
}

// A one-way call returns once the request is handed over, while the service
// still holds it, and what was posted arrives; describe shows the explicit
// codes the calls use. The service's runtime drops a one-way call it has
// not started when its sender ends, as bgctl does at once: a post is sent
// again until one arrives.
TEST_F(BgctlShapes, OnewayCallsReturnWithoutAReplyAndTheirValuesArrive) {
    const Finished sent = shapesCall({"call", "post", "1000"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, "status: sent (one-way)\n");
    EXPECT_EQ(shapes_->count(), 0);  // held (or dropped): bgctl did not wait for it
    shapes_->open();
    bool arrived = false;
    for (int attempt = 0; attempt < 20 && !arrived; ++attempt) {
        const Finished json = shapesCall({"--json", "call", "post", "7"});
        ASSERT_EQ(json.status, 0) << json.err;
        EXPECT_THAT(json.out, HasSubstr("\"ok\":true"));
        EXPECT_THAT(json.out, HasSubstr("\"oneway\":true"));
        EXPECT_THAT(json.out, testing::Not(HasSubstr("\"result\"")));
        arrived = eventually([&] { return shapes_->has(7); }, std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(arrived);
    // Every post sent before the one seen has run or been dropped: they
    // share the object's queue, in order.
    EXPECT_EQ(shapesCall({"call", "posted"}).out,
              std::string(kOk) + "out sum: " + std::to_string(shapes_->sum()) +
                      "\nresult: " + std::to_string(shapes_->count()) + "\n");

    const Finished described = shapesCall({"describe"});
    EXPECT_EQ(described.status, 0) << described.err;
    for (const char* line : {"       3  post VALUE:int32 (oneway)\n",
                             "      10  split TEXT:string (out HEAD:string?) KEEP:int64 (out REST:list<Item>) -> int32\n",
                             "      11  posted (out SUM:int64) -> int32\n"}) {
        EXPECT_THAT(described.out, HasSubstr(line));
    }
    const std::string describedJson = shapesCall({"--json", "describe"}).out;
    const std::optional<Json> object = JsonParser::parse(describedJson.substr(0, describedJson.size() - 1));
    ASSERT_TRUE(object.has_value()) << describedJson;
    EXPECT_EQ((*object)["methods"]["split"]["code"].number, 10);
    EXPECT_TRUE((*object)["methods"]["post"]["oneway"].boolean);
}

// The skeleton daemon of docs/service-guide.md, driven by bgctl: it tells the
// service manager READY=1 once its name is served, answers, drops the
// callback of a client that dies, logs leveled lines on stderr, and leaves
// with 0 on SIGTERM after withdrawing its name.
TEST_F(Bgctl, TheSkeletonDaemonServesNotifiesDropsDeadCallbacksAndStopsCleanly) {
    char dir[] = "/tmp/bgs-notify-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string socketPath = std::string(dir) + "/notify";
    UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto notice = [&] {
        pollfd ready{manager.get(), POLLIN, 0};
        char text[64] = {};
        return ::poll(&ready, 1, static_cast<int>(kPatience.count())) == 1
                ? std::string(text, std::max<ssize_t>(0, ::recv(manager.get(), text, sizeof text, 0)))
                : std::string("(nothing)");
    };

    ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    // Its log (stderr) is read as its output; it writes nothing else.
    Program daemon("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", SKELETON_SERVICE_PATH, "--name", name()});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_EQ(notice(), "READY=1");
    EXPECT_EQ(daemon.nextLine(), std::optional<std::string>("skeleton: info: serving " + name()));
    // Served once ready: no --wait needed.
    EXPECT_EQ(bgctl({"call", "getStorageLoadCompletedStatus", "0"}).out, std::string(kOk) + "result: 0\n");

    {
        const std::unique_ptr<Program> listener = bgctlInBackground({"listen"});
        ASSERT_THAT(listener->nextLine().value_or(""), StartsWith("listening: "));
        ASSERT_EQ(bgctl({"call", "setRequstCompleted", "5"}).status, 0);
        EXPECT_EQ(listener->nextLine(), std::optional<std::string>("notifySnapshotAvailability(5)"));
        listener->signal(SIGKILL);
    }
    EXPECT_EQ(daemon.nextLine(), std::optional<std::string>("skeleton: info: a client's callback died; dropped"));
    EXPECT_EQ(bgctl({"call", "setRequstCompleted", "6"}).status, 0);
    const Finished refused = bgctl({"call", "setRequstCompletedImageName", "x.jpg"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "bgctl: setRequstCompletedImageName: service-specific error 1: the skeleton keeps no "
                           "images: 'x.jpg'\n");

    daemon.signal(SIGTERM);
    EXPECT_EQ(notice(), "STOPPING=1");
    const Finished stopped = daemon.finish();
    EXPECT_EQ(stopped.status, 0);
    EXPECT_EQ(stopped.out, "skeleton: info: Terminated, withdrew " + name() + "\n");
    EXPECT_EQ(bgctl({"call", "getInterfaceVersion"}).status, 3);
    manager = UniqueFd();
    ::unlink(socketPath.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace bgs_process_test
