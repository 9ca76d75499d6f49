// bgctl as a user drives it: the real executable against a real bgservice,
// both started as child processes in the test process's private registry
// directory, their output read through pipes and their exit statuses
// checked.
#include "process_test_support.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
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
// pipes. Killed and reaped at destruction if still running.
class Program {
  public:
    Program(const char* path, const std::vector<std::string>& args) {
        Pipe out;
        Pipe err;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out.writeEnd.get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err.writeEnd.get(), STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(path)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, path, &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << path;
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
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
    enum class Kind { kString, kNumber, kBool, kNull, kObject } kind = Kind::kNull;
    std::string string;
    int64_t number = 0;
    bool boolean = false;
    std::map<std::string, Json> object;

    const Json& operator[](const std::string& key) const {
        static const Json absent;
        const auto found = object.find(key);
        return found == object.end() ? absent : found->second;
    }
};

// Parses one whole value; the rest must be empty. Anything bgctl should
// never write (arrays, fractions, raw control characters, bad escapes) fails.
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
    Finished bgctl(const std::vector<std::string>& args) { return Program(BGCTL_PATH, withService(args)).finish(); }

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

    refused = bgctl({"call", "setRequstCompletedImageName", "none.jpg"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("Status(-8, EX_SERVICE_SPECIFIC): '1: no completed request"));
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

TEST_F(Bgctl, ListenerExitsOneWhenTheServiceDies) {
    Program& service = startService();
    const std::unique_ptr<Program> listener = bgctlInBackground({"listen"});
    ASSERT_THAT(listener->nextLine().value_or(""), StartsWith("listening: "));
    service.signal(SIGKILL);
    const Finished ended = listener->finish();
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(ended.err, "bgctl: listen: the service died\n");
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
    EXPECT_THAT(unknown.err, HasSubstr("bgctl: shell: Status(-129, EX_TRANSACTION_FAILED): 'STATUS_BAD_VALUE'"));
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
            {{"call", "noSuchMethod"}, 2, "unknown method 'noSuchMethod'"},
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
    for (const char* command : {"list", "describe", "call", "listen", "dump", "shell"}) {
        const Finished help = bgctl({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_THAT(help.out, StartsWith(std::string("usage: bgctl [OPTIONS] ") + command)) << command;
    }
    const Finished help = bgctl({"--help"});
    for (const char* line : {"  setTimestamps VALUE:int32 TIMESTAMP:int64\n", "  setRequstCompleted VALUE:int64\n",
                             "  setEventCallback VALUE:int32 CALLBACK:callback -> int32\n",
                             "  setRequstCompletedImageName IMAGE_NAME:string\n", "  getInterfaceHash -> string\n",
                             "  3  the service cannot be reached"}) {
        EXPECT_THAT(help.out, HasSubstr(line));
    }
}

}  // namespace
}  // namespace bgs_process_test
