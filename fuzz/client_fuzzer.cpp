// Client fuzzer: the input scripts a hostile service, and the runtime under
// test is the client that talks to it. The fuzzer process publishes a fake
// service entry in a private registry directory (written and locked as a
// live publisher does, runtime/src/registry/registry.cpp), pointing at a raw
// sequenced-packet listener it owns. A client thread then uses only the
// public API: lookups, transactions on the binders it gets (with a short
// call deadline), pings, death links, dumps, dropping binders. The main
// thread plays the service over raw sockets (docs/runtime.md): it answers
// hellos, joins and calls as the script says, sends calls, releases, death
// frames and raw packets of its own, and hangs up.
//
// Input layout: byte 0 is reserved (flags for later use), then operations
// until the input ends: an op byte whose low 4 bits choose the operation,
// then the operation's argument bytes (missing bytes read as zero).
//   0 lookup   a: bit 0 waitForServiceTimeout (else checkService), bits 1-2 slot
//   1 call     a: bits 0-1 slot, bits 2-4 code, bit 5 one-way;
//              b: an int argument; c: payload (bit 0 the int, bit 1 a new
//              object of the client, bit 2 the client's kept object, bit 3
//              the binder of slot c>>4 (sent home when it is the service's),
//              bit 6 the kept object twice, bit 7 60,000 bytes more, or
//              70,000 with b's high bit, so that the request travels in a
//              sealed file)
//   2 ping     a: slot         3 link     a: slot (bit 2: unlink instead)
//   4 drop     a: slot         5 dump     a: slot
//   6 answer   m, then for a call the bytes m asks for: the oldest request
//              that waits for an answer (a hello, a join, a two-way call),
//              waited for a bounded time, gets the answer m says (see
//              answerHandshake and answerCall)
//   7 call into the client: t, c, f, then a body (see injectCall)
//   8 release  h, n, r: (a handle the client sent, n arrivals, r returns;
//              0 for either: exactly as many as are due); h bit 7 repeats
//              the record in the same frame
//   9 death    n, then 1 + n % 3 handle bytes (under 0x80: one of the
//              service's objects, handles 1 to 4; else the byte itself)
//  10 raw      s, length, bytes: a raw packet on socket s (bit 7: the magic
//              word written over its first four bytes)
//  11 hang up  w: 0 the primary link, 1 the newest channel, else everything
//  12 settle   wait (bounded) until the client has nothing running, answering nothing
//  13 default  every request waiting now gets a well-formed answer
//  14 sleep    1 to 4 ms, reading what comes
//  15 deaf     d: read nothing for 1 + d % 64 ms (the client's sockets fill
//              and its frames wait in its outboxes; the script goes on)
// A body is: r (bits 0-1 object records, bit 2 an interface header first,
// bits 3-4 extra words, bit 5 one record more announced than written, bit 6
// four bytes more of object table announced), then two bytes per record
// (see appendRecord).
//
// After the script the service answers everything well until the client has
// nothing running, the client drops its binders, the service hangs up, and
// the input is over. Checked beyond "no crash", aborting on failure:
// - every public call returns within a bound (its deadline, the stall limit
//   of handshakes, and slack);
// - every packet the client sends is a well-formed frame; every reply it
//   sends answers a call the service made; it never gives back more
//   arrivals of an object than the service sent, nor reports more
//   references sent back than the service read, and sends back only objects
//   the service sent;
// - after the input the process's sockets, body files and event descriptors
//   come back to what they were (the sessions are torn down), and a final
//   well-formed exchange succeeds: a lookup, a call whose reply is checked,
//   and every object the service sent given back once the binder is dropped.
//
// Without BGS_FUZZER_NO_MAIN the file has a main: `--seeds` runs the
// built-in seeds, `--write-seeds DIR` writes them as a corpus, and file
// arguments are replayed.
#include "client_fuzzer.h"

#include <android/binder_ibinder.h>
#include <android/binder_manager.h>
#include <android/binder_parcel.h>
#include <android/binder_process.h>
#include <android/binder_status.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using bgs_fuzz::Bytes;
using bgs_fuzz::ClientAction;
using bgs_fuzz::Data;
using bgs_fuzz::frameBytes;
using bgs_fuzz::header;
using bgs_fuzz::kHeaderSize;
using bgs_fuzz::nowMs;
using bgs_fuzz::objectRecord;
using bgs_fuzz::readHeader;
namespace wire = bgs_fuzz::wire;

constexpr char kServiceName[] = "bgs.fuzz.client";
constexpr char kServiceDescriptor[] = "bgs.fuzz.IFakeService";
constexpr char kClientDescriptor[] = "bgs.fuzz.IClientObject";

// How long things wait, in ms. The fuzzer keeps them short; the seed test
// stretches them (setClientPatience) so that every answer the script gives
// comes in time on a loaded machine.
struct Patience {
    // The runtime's limits in this process, set before it starts: handshakes
    // and lookups wait at most the stall limit; calls made on runtime
    // threads have the default deadline; the client thread's calls have
    // their own.
    int stall = 50;
    int defaultCallTimeout = 100;
    int callTimeout = 20;
    int lookupWait = 30;
    // The fake service: for a request to answer, for the client to finish
    // (a settle, a late answer), and all the script's waits together.
    int answerWait = 20;
    int settle = 100;
    uint64_t scriptBudget = 500;
    // What one public call may take: a lookup's handshake and request each
    // wait up to the stall limit, a broken channel 100 ms more; the rest is
    // slack for a loaded machine.
    uint64_t callBound() const { return 2 * uint64_t(stall) + uint64_t(lookupWait) + 100 + 2500; }
};
Patience gPatience;
constexpr int kFinalPatienceMs = 2000;
// The final exchange waits longer (kFinalPatienceMs for the lookup and the call).
uint64_t finalBound() { return 2 * kFinalPatienceMs + 2 * uint64_t(gPatience.stall) + 2500; }

constexpr size_t kMaxOps = 64;
constexpr size_t kMaxClientOps = 16;
constexpr size_t kMaxConnections = 48;
constexpr size_t kSlots = 4;
constexpr uint64_t kTeardownMs = 3000;
constexpr uint64_t kFakeThread = 0xfa4e5e41ce;
constexpr int32_t kFinalValue = 0x600d;

// The fake service's own objects are handles 1 to 4; the lookup answers handle 1.
constexpr uint32_t kServiceHandle = 1;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "client_fuzzer: %s\n", what);
    std::abort();
}

// ---- Objects of the client ----

AIBinder_Class* gServiceClass = nullptr;  // associated with the fake service's binders
AIBinder_Class* gClientClass = nullptr;   // the client's own objects
std::atomic<uint32_t> gDeaths{0};
int gListener = -1;  // the fake service's listener
int gDevNull = -1;

void* objectCreate(void* args) { return args; }
void objectDestroy(void*) {}

binder_status_t serviceTransact(AIBinder*, transaction_code_t, const AParcel*, AParcel*) {
    return STATUS_UNKNOWN_TRANSACTION;  // the service's objects are never local here
}

// The client's objects, called by the service: echo a word, call a binder
// back, hand out a new object, echo a binder.
binder_status_t clientTransact(AIBinder*, transaction_code_t code, const AParcel* in, AParcel* out) {
    switch (code - FIRST_CALL_TRANSACTION) {
        case 0: {
            int32_t value = 0;
            const binder_status_t status = AParcel_readInt32(in, &value);
            return status != STATUS_OK ? status : AParcel_writeInt32(out, value);
        }
        case 1: {
            AIBinder* target = nullptr;
            binder_status_t status = AParcel_readStrongBinder(in, &target);
            if (status != STATUS_OK) return status;
            if (target == nullptr) return STATUS_UNEXPECTED_NULL;
            AParcel* request = nullptr;
            if (AIBinder_isRemote(target) && AIBinder_associateClass(target, gServiceClass) &&
                AIBinder_prepareTransaction(target, &request) == STATUS_OK) {
                AParcel_writeInt32(request, 1);
                AParcel* reply = nullptr;
                status = AIBinder_transact(target, FIRST_CALL_TRANSACTION, &request, &reply, 0);
                AParcel_delete(reply);
            } else {
                status = STATUS_BAD_TYPE;
            }
            AIBinder_decStrong(target);
            return AParcel_writeInt32(out, status);
        }
        case 2: {
            AIBinder* fresh = AIBinder_new(gClientClass, nullptr);
            const binder_status_t status = AParcel_writeStrongBinder(out, fresh);
            AIBinder_decStrong(fresh);
            return status;
        }
        case 3: {
            AIBinder* echoed = nullptr;
            binder_status_t status = AParcel_readStrongBinder(in, &echoed);
            if (status == STATUS_OK) status = AParcel_writeStrongBinder(out, echoed);
            AIBinder_decStrong(echoed);
            return status;
        }
        default:
            return STATUS_UNKNOWN_TRANSACTION;
    }
}

binder_status_t clientDump(AIBinder*, int fd, const char**, uint32_t) {
    return ::write(fd, "client\n", 7) < 0 ? STATUS_UNKNOWN_ERROR : STATUS_OK;
}

void onDied(void*) { gDeaths.fetch_add(1); }

// ---- The client thread ----

struct ClientOp {
    ClientAction action;
    uint8_t a = 0, b = 0, c = 0;
    bool final = false;   // the final well-formed exchange
    bool record = true;   // an action of the script (its result is kept)
};

// Runs public calls one after another on a thread of its own, so that the
// service can answer them from the main thread.
class Client {
  public:
    Client() : thread_([this] { loop(); }) {}

    void post(const ClientOp& op) {
        const std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(op);
        wake_.notify_all();
    }

    bool idle() {
        const std::lock_guard<std::mutex> guard(mutex_);
        return queue_.empty() && !running_;
    }

    size_t queued() {
        const std::lock_guard<std::mutex> guard(mutex_);
        return queue_.size() + (running_ ? 1 : 0);
    }

    // Drops every binder the client holds (before the service hangs up, so
    // that their releases are sent).
    void postDropAll() {
        for (uint8_t slot = 0; slot <= kSlots; ++slot) {
            ClientOp drop{ClientAction::kDrop, slot < kSlots ? slot : uint8_t{0xff}};
            drop.record = false;
            post(drop);
        }
    }

    std::vector<bgs_fuzz::ClientCall> takeCalls() {
        const std::lock_guard<std::mutex> guard(mutex_);
        std::vector<bgs_fuzz::ClientCall> calls;
        calls.swap(calls_);
        return calls;
    }

    bool finalOk() {
        const std::lock_guard<std::mutex> guard(mutex_);
        return finalOk_;
    }

  private:
    void loop() {
        AIBinder_setCallTimeoutMs(gPatience.callTimeout);
        for (;;) {
            ClientOp op{};
            {
                std::unique_lock<std::mutex> guard(mutex_);
                wake_.wait(guard, [this] { return !queue_.empty(); });
                op = queue_.front();
                queue_.pop_front();
                running_ = true;
            }
            const uint64_t start = nowMs();
            bgs_fuzz::ClientCall call = op.final ? finalExchange() : run(op);
            if (nowMs() - start > (op.final ? finalBound() : gPatience.callBound())) {
                fail("a client call did not return within its bound");
            }
            const std::lock_guard<std::mutex> guard(mutex_);
            if (op.record && !op.final) calls_.push_back(call);
            running_ = false;
        }
    }

    void hold(size_t slot, AIBinder* binder) {
        if (binder != nullptr && AIBinder_isRemote(binder)) AIBinder_associateClass(binder, gServiceClass);
        AIBinder_decStrong(slots_[slot]);
        slots_[slot] = binder;
    }

    AIBinder* kept() {
        if (kept_ == nullptr) kept_ = AIBinder_new(gClientClass, nullptr);
        return kept_;
    }

    bgs_fuzz::ClientCall run(const ClientOp& op) {
        bgs_fuzz::ClientCall call{op.action, STATUS_OK, 0, false};
        AIBinder* target = slots_[op.a & 3];
        switch (op.action) {
            case ClientAction::kLookup: {
                AIBinder* found = (op.a & 1) != 0 ? AServiceManager_waitForServiceTimeout(kServiceName, gPatience.lookupWait)
                                                  : AServiceManager_checkService(kServiceName);
                call.status = found != nullptr ? STATUS_OK : STATUS_NAME_NOT_FOUND;
                hold((op.a >> 1) & 3, found);
                break;
            }
            case ClientAction::kCall:
                call = transact(op);
                break;
            case ClientAction::kPing:
                call.status = AIBinder_ping(target);
                break;
            case ClientAction::kLinkToDeath: {
                void* cookie = reinterpret_cast<void*>(uintptr_t{op.a & 3u} + 1);
                call.status = (op.a & 4) != 0 ? AIBinder_unlinkToDeath(target, recipient(), cookie)
                                              : AIBinder_linkToDeath(target, recipient(), cookie);
                break;
            }
            case ClientAction::kDrop:
                if (op.a == 0xff) {
                    AIBinder_decStrong(kept_);
                    kept_ = nullptr;
                } else {
                    hold(op.a & 3, nullptr);
                }
                break;
            case ClientAction::kDump: {
                const char* args[] = {"-a"};
                call.status = AIBinder_dump(target, gDevNull, args, 1);
                break;
            }
        }
        return call;
    }

    bgs_fuzz::ClientCall transact(const ClientOp& op) {
        bgs_fuzz::ClientCall call{ClientAction::kCall, STATUS_UNEXPECTED_NULL, 0, false};
        const size_t slot = op.a & 3;
        AIBinder* target = slots_[slot];
        AParcel* request = nullptr;
        if (target == nullptr || (call.status = AIBinder_prepareTransaction(target, &request)) != STATUS_OK) {
            return call;
        }
        if ((op.c & 1) != 0) AParcel_writeInt32(request, op.b);
        if ((op.c & 2) != 0) {
            AIBinder* fresh = AIBinder_new(gClientClass, nullptr);
            AParcel_writeStrongBinder(request, fresh);
            AIBinder_decStrong(fresh);
        }
        if ((op.c & 4) != 0) AParcel_writeStrongBinder(request, kept());
        if ((op.c & 8) != 0) AParcel_writeStrongBinder(request, slots_[(op.c >> 4) & 3]);
        if ((op.c & 0x40) != 0) AParcel_writeStrongBinder(request, kept()), AParcel_writeStrongBinder(request, kept());
        if ((op.c & 0x80) != 0) {
            // Nearly a packet, or (with b's high bit) more than one: then the
            // request travels in a sealed file.
            static const std::string large(70000, 'x');
            const int32_t size = (op.b & 0x80) != 0 ? 70000 : 60000;
            AParcel_writeString(request, large.data(), size);
        }
        const auto code = static_cast<transaction_code_t>(FIRST_CALL_TRANSACTION + ((op.a >> 2) & 7));
        AParcel* reply = nullptr;
        call.status = AIBinder_transact(target, code, &request, &reply, (op.a & 0x20) != 0 ? FLAG_ONEWAY : 0);
        if (reply != nullptr) {
            // The first word, and a binder first or after that word.
            AParcel_readInt32(reply, &call.value);
            AIBinder* received = nullptr;
            AParcel_setDataPosition(reply, 0);
            if (AParcel_readStrongBinder(reply, &received) != STATUS_OK) {
                AParcel_setDataPosition(reply, 4);
                if (AParcel_readStrongBinder(reply, &received) != STATUS_OK) received = nullptr;
            }
            if (received != nullptr) {
                call.gotBinder = true;
                hold((slot + 1) & 3, received);
            }
            AParcel_delete(reply);
        }
        return call;
    }

    // Lookup, a call whose reply must echo its argument, and the binder
    // dropped (the service then checks its release).
    bgs_fuzz::ClientCall finalExchange() {
        // Patient: a loaded machine must not pass for a broken runtime.
        AIBinder_setCallTimeoutMs(kFinalPatienceMs);
        bool ok = false;
        binder_status_t status = STATUS_OK;
        AIBinder* service = AServiceManager_waitForServiceTimeout(kServiceName, kFinalPatienceMs);
        AParcel* request = nullptr;
        if (service != nullptr && AIBinder_associateClass(service, gServiceClass) &&
            AIBinder_prepareTransaction(service, &request) == STATUS_OK) {
            AParcel_writeInt32(request, kFinalValue);
            AParcel* reply = nullptr;
            int32_t value = 0;
            status = AIBinder_transact(service, FIRST_CALL_TRANSACTION, &request, &reply, 0);
            ok = status == STATUS_OK && AParcel_readInt32(reply, &value) == STATUS_OK && value == kFinalValue;
            AParcel_delete(reply);
        }
        if (!ok) {
            std::fprintf(stderr, "client_fuzzer: the final exchange's %s failed (status %d)\n",
                         service == nullptr ? "lookup" : "call", static_cast<int>(status));
        }
        AIBinder_decStrong(service);
        AIBinder_setCallTimeoutMs(gPatience.callTimeout);
        const std::lock_guard<std::mutex> guard(mutex_);
        finalOk_ = ok;
        return bgs_fuzz::ClientCall{ClientAction::kCall, ok ? STATUS_OK : STATUS_UNKNOWN_ERROR, 0, false};
    }

    static AIBinder_DeathRecipient* recipient() {
        static AIBinder_DeathRecipient* const made = AIBinder_DeathRecipient_new(onDied);
        return made;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<ClientOp> queue_;
    bool running_ = false;
    std::vector<bgs_fuzz::ClientCall> calls_;
    bool finalOk_ = false;
    // Touched by the client thread only.
    AIBinder* slots_[kSlots] = {};
    AIBinder* kept_ = nullptr;
    std::thread thread_;  // last: it starts once the rest is made
};

// ---- The private registry and the fake listener ----

const char* gDirectory = nullptr;  // the private registry

// Publishes the entry as the runtime's registry does: the four lines
// written to a temporary file that is locked and then renamed over the
// entry name, under the directory's lock. The entry's descriptor stays open,
// its lock held, for the life of the process: that is what makes it live.
void publishEntry(const std::string& address) {
    const int dirfd = ::open(gDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    uint64_t hash = 14695981039346656037ull;  // 64-bit FNV-1a of the name
    for (const char c : std::string(kServiceName)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char entryName[32];
    std::snprintf(entryName, sizeof entryName, "s-%016llx", static_cast<unsigned long long>(hash));
    const std::string tempName = "t-" + std::to_string(::getpid()) + "-fuzz";
    const std::string text =
            "bgs-registry 1\n" + std::to_string(::getpid()) + "\n" + address + "\n" + kServiceName + "\n";
    const int lock = ::openat(dirfd, ".lock", O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    const int entry = ::openat(dirfd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (dirfd < 0 || lock < 0 || entry < 0 || ::flock(lock, LOCK_EX) != 0 ||
        ::write(entry, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::flock(entry, LOCK_EX | LOCK_NB) != 0 || ::renameat(dirfd, tempName.c_str(), dirfd, entryName) != 0) {
        fail("the fake service's registry entry could not be published");
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
    ::close(dirfd);
    // `entry` stays open: its lock is the entry's life.
}

struct Setup {
    int listener = -1;
    int devNull = -1;
    Client* client = nullptr;
    int baseline = -1;  // descriptors open between inputs
};

Setup& setup();

// ---- The fake service ----

struct Conn {
    int fd = -1;
    int session = -1;  // the fake session it belongs to, once introduced
    bool channel = false;
    std::map<uint32_t, uint64_t> sent;  // service objects sent on it (kinds 1 and 3)
};

// A frame of the client that waits for the service's answer.
struct Request {
    size_t conn;
    wire::FrameHeader h;
    Bytes body;
};

// What one session of the client has exchanged with the service: the
// bounds the client's releases must keep to.
struct FakeSession {
    uint64_t token = 0;
    size_t primary = 0;
    bool tainted = false;     // raw packets went out: their objects are unknown
    bool lostFrames = false;  // the service closed a socket with frames perhaps unread
    std::map<uint32_t, uint64_t> sent;           // service objects sent (kinds 1 and 3)
    std::map<uint32_t, uint64_t> mayBeUnread;    // of those, sent on sockets closed since
    std::map<uint32_t, uint64_t> returnsRead;    // service objects the client sent back (kind 2)
    std::map<uint32_t, uint64_t> released;       // arrivals the client gave back
    std::map<uint32_t, uint64_t> returnsReported;
    std::map<uint32_t, uint64_t> clientSent;     // client objects read (kinds 1 and 3)
    std::map<uint32_t, uint64_t> givenBack;      // client objects given back by the service
    std::vector<uint32_t> clientHandles;         // in the order first seen
};

// Reads the input as a stream of bytes; missing bytes read as zero.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class FakeService {
  public:
    explicit FakeService(Client& client) : client_(client) {}
    ~FakeService() { hangUp(); }
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    void run(Reader& in) {
        for (size_t ops = 0; ops < kMaxOps && !in.done(); ++ops) {
            const uint8_t op = in.byte();
            switch (op & 0x0f) {
                case 0: postClient(ClientAction::kLookup, in.byte()); break;
                case 1: {
                    const uint8_t a = in.byte(), b = in.byte(), c = in.byte();
                    postClient(ClientAction::kCall, a, b, c);
                    break;
                }
                case 2: postClient(ClientAction::kPing, in.byte()); break;
                case 3: postClient(ClientAction::kLinkToDeath, in.byte()); break;
                case 4: postClient(ClientAction::kDrop, in.byte() & 3); break;
                case 5: postClient(ClientAction::kDump, in.byte()); break;
                case 6: answerNext(in); break;
                case 7: injectCall(in); break;
                case 8: {
                    const uint8_t h = in.byte(), n = in.byte(), r = in.byte();
                    sendRelease(h, n, r);
                    break;
                }
                case 9: sendDeath(in); break;
                case 10: sendRaw(in); break;
                case 11: hangUpSome(in.byte()); break;
                case 12: waitForClient(gPatience.settle, false); break;
                case 13: answerAll(); break;
                case 14: sleepReading(1 + (op >> 4) % 4); break;
                default: deafUntil_ = nowMs() + 1 + in.byte() % 64; break;
            }
            pump(0);
        }
    }

    // Answers everything well until the client has nothing running; false
    // when that takes longer than its calls may.
    bool serveUntilIdle() {
        deafUntil_ = 0;
        const uint64_t deadline = nowMs() + gPatience.callBound() * (client_.queued() + 1);
        while (!client_.idle() || !pending_.empty()) {
            if (nowMs() > deadline) return false;
            answerAll();
            pump(1);
        }
        // Answers the client's runtime threads may still send (replies to
        // the service's calls, releases).
        for (uint64_t quietUntil = nowMs() + 2; nowMs() < quietUntil;) {
            if (pump(1)) quietUntil = nowMs() + 2;
            answerAll();
        }
        return true;
    }

    // The bounds the client's releases keep to, with every frame read.
    void checkReleases() {
        for (const FakeSession& s : sessions_) {
            if (s.tainted || s.lostFrames) continue;
            for (const auto& entry : s.returnsReported) {
                const auto read = s.returnsRead.find(entry.first);
                if (entry.second > (read == s.returnsRead.end() ? 0 : read->second)) {
                    fail("the client reported more references sent back than the service read");
                }
            }
        }
    }

    // After a well-formed exchange in which the client dropped everything:
    // every arrival of every object the service sent has been given back,
    // but for those sent on a socket closed since (a reply that came after
    // its call gave up, on a channel the client then closed, is never read).
    bool everythingGivenBack() {
        auto done = [this](bool tell) {
            bool all = true;
            for (const FakeSession& s : sessions_) {
                for (const auto& entry : s.sent) {
                    const auto released = s.released.find(entry.first);
                    const auto unread = s.mayBeUnread.find(entry.first);
                    const uint64_t given = released == s.released.end() ? 0 : released->second;
                    const uint64_t lost = unread == s.mayBeUnread.end() ? 0 : unread->second;
                    if (given + lost >= entry.second) continue;
                    all = false;
                    if (tell) {
                        std::fprintf(stderr, "client_fuzzer: handle %u: %llu sent, %llu given back, %llu perhaps unread\n",
                                     entry.first, static_cast<unsigned long long>(entry.second),
                                     static_cast<unsigned long long>(given), static_cast<unsigned long long>(lost));
                    }
                }
            }
            return all;
        };
        // Releases go out when the last reference goes, on runtime threads.
        for (const uint64_t deadline = nowMs() + kFinalPatienceMs; !done(false) && nowMs() < deadline;) pump(1);
        return done(true);
    }

    void hangUp() {
        for (Conn& c : conns_) {
            if (c.fd >= 0) ::close(c.fd);
            c.fd = -1;
        }
        // Connections still in the listener's backlog go too.
        for (int fd; (fd = ::accept4(gListener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(fd);
        pending_.clear();
    }

    bgs_fuzz::ClientOutcome& outcome() { return outcome_; }

  private:
    void postClient(ClientAction action, uint8_t a, uint8_t b = 0, uint8_t c = 0) {
        if (clientOps_++ < kMaxClientOps) client_.post(ClientOp{action, a, b, c});
    }

    bool budgetLeft() const { return waited_ < gPatience.scriptBudget; }

    // Waits, reading, until the client has nothing running or `limitMs`
    // passes; with `answer`, every request is answered well meanwhile.
    void waitForClient(int limitMs, bool answer) {
        const uint64_t start = nowMs();
        const uint64_t deadline = start + std::min<uint64_t>(static_cast<uint64_t>(limitMs), gPatience.scriptBudget - std::min(waited_, gPatience.scriptBudget));
        while (!client_.idle() && nowMs() < deadline) {
            if (answer) answerAll();
            pump(1);
        }
        waited_ += nowMs() - start;
    }

    void sleepReading(int ms) {
        const uint64_t start = nowMs();
        for (const uint64_t end = start + ms; nowMs() < end && budgetLeft();) pump(1);
        waited_ += nowMs() - start;
    }

    // ---- Reading ----

    // Accepts and reads whatever is ready, waiting up to `waitMs` for
    // something; true when anything came.
    bool pump(int waitMs) {
        if (nowMs() < deafUntil_) {
            // Deaf: the client's frames wait in its sockets and outboxes.
            ::poll(nullptr, 0, waitMs);
            return false;
        }
        pollfd polled[kMaxConnections + 1];
        size_t index[kMaxConnections + 1];
        nfds_t count = 0;
        polled[count++] = pollfd{gListener, POLLIN, 0};
        for (size_t i = 0; i < conns_.size(); ++i) {
            if (conns_[i].fd < 0) continue;
            index[count] = i;
            polled[count++] = pollfd{conns_[i].fd, POLLIN, 0};
        }
        if (::poll(polled, count, waitMs) <= 0) return false;
        if (polled[0].revents != 0) acceptAll();
        for (nfds_t i = 1; i < count; ++i) {
            if (polled[i].revents != 0) receive(index[i]);
        }
        return true;
    }

    void acceptAll() {
        for (int fd; (fd = ::accept4(gListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
            if (conns_.size() >= kMaxConnections) {
                ::close(fd);
                continue;
            }
            Conn conn;
            conn.fd = fd;
            conns_.push_back(std::move(conn));
        }
    }

    void closeConn(size_t i) {
        // Frames of the client still unread on it are lost: the references
        // they sent back are never read, though its releases report them.
        if (conns_[i].fd >= 0 && conns_[i].session >= 0) {
            FakeSession& s = sessions_[static_cast<size_t>(conns_[i].session)];
            s.lostFrames = true;
            for (const auto& entry : conns_[i].sent) s.mayBeUnread[entry.first] += entry.second;
        }
        if (conns_[i].fd >= 0) ::close(conns_[i].fd);
        conns_[i].fd = -1;
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [i](const Request& r) { return r.conn == i; }),
                       pending_.end());
    }

    void receive(size_t i) {
        for (;;) {
            if (conns_[i].fd < 0) return;
            Bytes packet(wire::kMaxPacket);
            iovec iov{packet.data(), packet.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (wire::kMaxFds + 1))];
            msghdr message{};
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(conns_[i].fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            std::vector<int> fds;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                for (size_t k = 0; k < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++k) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
                    fds.push_back(fd);
                }
            }
            if (n <= 0) {
                closeConn(i);
                return;
            }
            packet.resize(static_cast<size_t>(n));
            wire::FrameHeader h{};
            Bytes body;
            const bool wellFormed = parse(packet, fds, (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0, &h, &body);
            for (const int fd : fds) ::close(fd);
            if (!wellFormed) fail("the client sent a packet that is not a well-formed frame");
            note(i, h, std::move(body));
        }
    }

    // Reads a packet as the runtime frames it; false for anything the
    // runtime would not send.
    static bool parse(const Bytes& packet, std::vector<int>& fds, bool cut, wire::FrameHeader* h, Bytes* body) {
        if (cut || !readHeader(packet.data(), packet.size(), h) || h->kind < wire::kTransaction ||
            h->kind > wire::kDeath || h->dataSize % 4 != 0 || h->dataSize > wire::kMaxTransactionData) {
            return false;
        }
        const size_t size = size_t{h->dataSize} + h->objectBytes;
        if ((h->flags & wire::kFlagBodyInFile) == 0) {
            if (packet.size() - kHeaderSize != size || fds.size() != h->fdCount) return false;
            body->assign(packet.begin() + kHeaderSize, packet.end());
            return true;
        }
        constexpr int kSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
        struct stat st{};
        if (fds.size() != h->fdCount + 1 || packet.size() != kHeaderSize || size <= wire::kMaxInlineBody) return false;
        const int file = fds.back();
        if ((::fcntl(file, F_GET_SEALS) & kSeals) != kSeals || ::fstat(file, &st) != 0 ||
            static_cast<size_t>(st.st_size) != size) {
            return false;
        }
        body->resize(size);
        return ::pread(file, body->data(), size, 0) == static_cast<ssize_t>(size);
    }

    // The object records of a frame of the client: (kind, handle) each.
    static std::vector<std::pair<uint32_t, uint32_t>> records(const wire::FrameHeader& h, const Bytes& body) {
        std::vector<std::pair<uint32_t, uint32_t>> found;
        size_t at = h.dataSize;
        for (uint32_t i = 0; i < h.objectCount && body.size() - at >= sizeof(wire::ObjectRecord); ++i) {
            wire::ObjectRecord record{};
            std::memcpy(&record, body.data() + at, sizeof record);
            at += sizeof record + ((size_t{record.descriptorLength} + 3) & ~size_t{3});
            found.emplace_back(record.kind, record.handle);
            if (at > body.size()) break;
        }
        return found;
    }

    void countObjects(int session, const wire::FrameHeader& h, const Bytes& body) {
        if (session < 0) return;
        FakeSession& s = sessions_[static_cast<size_t>(session)];
        for (const auto& record : records(h, body)) {
            if (record.first == wire::kReceiverObject) {
                // Only an object the service sent can come home.
                if (!s.tainted && s.sent.count(record.second) == 0) {
                    fail("the client sent back an object the service never sent");
                }
                ++s.returnsRead[record.second];
            } else {
                if (s.clientSent[record.second]++ == 0) s.clientHandles.push_back(record.second);
            }
        }
    }

    void note(size_t i, const wire::FrameHeader& h, Bytes body) {
        const int session = conns_[i].session;
        switch (h.kind) {
            case wire::kHello:
                ++outcome_.hellos;
                pending_.push_back(Request{i, h, std::move(body)});
                return;
            case wire::kJoin:
                ++outcome_.joins;
                pending_.push_back(Request{i, h, std::move(body)});
                return;
            case wire::kTransaction:
                countObjects(session, h, body);
                if ((h.flags & FLAG_ONEWAY) == 0) pending_.push_back(Request{i, h, std::move(body)});
                return;
            case wire::kReply: {
                int32_t word = 0;
                if (h.dataSize >= 4) std::memcpy(&word, body.data(), sizeof word);
                outcome_.clientReplies.push_back(bgs_fuzz::ClientReply{static_cast<int32_t>(h.code), word});
                countObjects(session, h, body);
                auto it = std::find(outstanding_.begin(), outstanding_.end(), std::make_pair(h.seq, h.targetThread));
                if (it == outstanding_.end()) fail("the client sent a reply to no call of the service");
                outstanding_.erase(it);
                return;
            }
            case wire::kRelease: {
                if (session < 0) return;
                FakeSession& s = sessions_[static_cast<size_t>(session)];
                for (size_t at = 0; at + wire::kReleaseRecordSize <= body.size(); at += wire::kReleaseRecordSize) {
                    uint32_t record[3];
                    std::memcpy(record, body.data() + at, sizeof record);
                    ++outcome_.releasesFromClient;
                    s.released[record[0]] += record[1];
                    s.returnsReported[record[0]] += record[2];
                    if (!s.tainted && s.released[record[0]] > s.sent[record[0]]) {
                        fail("the client gave back more arrivals of an object than the service sent");
                    }
                }
                return;
            }
            default:
                return;  // a death relayed from another session of the client
        }
    }

    // ---- Sending ----

    // Sends one packet: the frame as written, or its body in a file.
    // `file`: 0 inline, 1 a sealed file, 2 an unsealed file, 3 a sealed file
    // four bytes longer than the body. `extraFds` descriptors go with it.
    bool send(size_t i, wire::FrameHeader h, const Bytes& data, const Bytes& objects, int file = 0,
              uint32_t extraFds = 0) {
        if (i >= conns_.size() || conns_[i].fd < 0) return false;
        h.dataSize = static_cast<uint32_t>(data.size());
        h.objectBytes = static_cast<uint32_t>(objects.size());
        Bytes packet = bgs_fuzz::headerOnly(h);
        int fds[wire::kMaxFds + 1];
        uint32_t fdCount = 0;
        for (; fdCount < extraFds && fdCount < 3; ++fdCount) fds[fdCount] = gDevNull;
        int memfd = -1;
        if (file != 0) {
            h.flags |= wire::kFlagBodyInFile;
            std::memcpy(packet.data(), &h, kHeaderSize);
            memfd = ::memfd_create("bgs-fuzz-body", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            Bytes body = data;
            body.insert(body.end(), objects.begin(), objects.end());
            if (file == 3) body.resize(body.size() + 4);
            if (memfd < 0 || ::write(memfd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
                if (memfd >= 0) ::close(memfd);
                return false;
            }
            if (file != 2) ::fcntl(memfd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
            fds[fdCount++] = memfd;
        } else {
            packet.insert(packet.end(), data.begin(), data.end());
            packet.insert(packet.end(), objects.begin(), objects.end());
        }
        iovec iov{packet.data(), packet.size()};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (wire::kMaxFds + 1))];
        if (fdCount > 0) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
        }
        const bool sent = ::sendmsg(conns_[i].fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
        if (memfd >= 0) ::close(memfd);
        return sent;
    }

    // A body as the script describes it, with the objects it sends counted
    // for the session it goes to once it has left (see commitCounts).
    struct Body {
        Bytes data;
        Bytes objects;
        uint32_t objectCount = 0;
        std::vector<std::pair<uint32_t, uint32_t>> sentRecords;  // (kind, handle)
    };

    // Record bytes k, v:
    //   k bits 0-1  kind: 1, 2, 3, or (k >> 2) as it is
    //   k bits 2-3  handle: 0 a service object (1 + v % 4), 1 a client
    //               object the service has read (the v-th), 2 v itself,
    //               3 the previous record's handle (a duplicate)
    //   k bits 4-5  descriptor: the service's, the client's, none, or one
    //               holding a zero byte
    //   k bit 6     the offset four bytes off its entry
    void appendRecord(Body& body, int session, uint8_t k, uint8_t v, uint32_t offset, uint32_t* lastHandle) {
        static const uint32_t kinds[3] = {wire::kSenderObject, wire::kReceiverObject, wire::kSenderObjectDead};
        const uint32_t kind = (k & 3) != 3 ? kinds[k & 3] : uint32_t{k} >> 2;
        uint32_t handle = 0;
        switch ((k >> 2) & 3) {
            case 0: handle = 1 + v % 4; break;
            case 1: {
                const auto& handles = clientHandles(session);
                handle = handles.empty() ? v : handles[v % handles.size()];
                break;
            }
            case 2: handle = v; break;
            default: handle = *lastHandle; break;
        }
        *lastHandle = handle;
        static const std::string descriptors[4] = {kServiceDescriptor, kClientDescriptor, "", std::string("a\0b", 3)};
        const std::string& descriptor = kind == wire::kReceiverObject ? descriptors[2] : descriptors[(k >> 4) & 3];
        const Bytes record = objectRecord((k & 0x40) != 0 ? offset + 4 : offset, kind, handle, descriptor);
        body.objects.insert(body.objects.end(), record.begin(), record.end());
        ++body.objectCount;
        body.sentRecords.emplace_back(kind, handle);
    }

    Body readBody(Reader& in, int session, const char* descriptor) {
        const uint8_t r = in.byte();
        Body body;
        Data data;
        if ((r & 4) != 0) data.interfaceHeader(descriptor);
        const unsigned objects = r & 3;
        std::vector<uint32_t> offsets(objects);
        for (unsigned i = 0; i < objects; ++i) data.entry(&offsets[i]);
        for (unsigned i = 0; i < ((r >> 3) & 3u); ++i) data.int32(static_cast<int32_t>(0x10 + i));
        body.data = data.bytes();
        uint32_t lastHandle = kServiceHandle;
        for (unsigned i = 0; i < objects; ++i) {
            const uint8_t k = in.byte();
            appendRecord(body, session, k, in.byte(), offsets[i], &lastHandle);
        }
        if ((r & 0x20) != 0) ++body.objectCount;
        if ((r & 0x40) != 0) body.objects.resize(body.objects.size() + 4);
        return body;
    }

    // Counts the objects of a frame that left on socket `i`.
    void commitCounts(size_t i, const Body& body) {
        if (conns_[i].session < 0) return;
        FakeSession& s = sessions_[static_cast<size_t>(conns_[i].session)];
        for (const auto& record : body.sentRecords) {
            if (record.first == wire::kReceiverObject) {
                ++s.givenBack[record.second];
            } else {
                ++s.sent[record.second];
                ++conns_[i].sent[record.second];
            }
        }
    }

    bool sendBody(size_t i, wire::FrameHeader h, const Body& body, int file, uint32_t extraFds) {
        h.objectCount = body.objectCount;
        Bytes data = body.data;
        // A body that must travel in a file is made larger than a packet.
        if (file != 0 && data.size() + body.objects.size() <= wire::kMaxInlineBody) data.resize(size_t{64} << 10);
        if (!send(i, h, data, body.objects, file, extraFds)) return false;
        commitCounts(i, body);
        return true;
    }

    const std::vector<uint32_t>& clientHandles(int session) const {
        static const std::vector<uint32_t> none;
        return session >= 0 ? sessions_[static_cast<size_t>(session)].clientHandles : none;
    }

    int newestSession() const { return sessions_.empty() ? -1 : static_cast<int>(sessions_.size() - 1); }

    // The primary link of the newest session, or conns_.size() when none.
    size_t primaryConn() const {
        return sessions_.empty() ? conns_.size() : sessions_.back().primary;
    }

    // ---- Answers ----

    bool waitForRequest() {
        const uint64_t start = nowMs();
        while (pending_.empty() && nowMs() - start < static_cast<uint64_t>(gPatience.answerWait) && budgetLeft()) {
            // Nothing will come from a client with nothing to do.
            if (client_.idle() && !pump(2)) break;
            pump(1);
        }
        waited_ += nowMs() - start;
        return !pending_.empty();
    }

    void answerNext(Reader& in) {
        const uint8_t mode = in.byte();
        if (!waitForRequest()) {
            if (mode & 0x80) (void)readBody(in, -1, kServiceDescriptor);  // keep the script aligned
            return;
        }
        Request request = std::move(pending_.front());
        pending_.pop_front();
        if (request.h.kind == wire::kTransaction) {
            answerCall(request, mode, in);
        } else {
            answerHandshake(request, mode);
        }
    }

    // m % 8: 0 accepted, 1 duplicate, 2 the code m >> 3, 3 the wrong token,
    // 4 a reply instead, 5 hung up, 6 accepted after a ping frame, 7 nothing.
    void answerHandshake(const Request& request, uint8_t m) {
        const size_t i = request.conn;
        wire::FrameHeader answer = header(request.h.kind);
        answer.seq = 0;
        answer.senderThread = request.h.senderThread;
        switch (m % 8) {
            case 0: accept(request); return;
            case 1: answer.code = wire::kHelloDuplicate; break;
            case 2:
                answer.code = m >> 3;
                if (answer.code == wire::kHelloAccepted) {
                    accept(request);  // the session's bookkeeping starts
                    return;
                }
                break;
            case 3: answer.senderThread ^= 1; break;
            case 4: answer.kind = wire::kReply; break;
            case 5: closeConn(i); return;
            case 6: {
                const wire::FrameHeader ping = header(wire::kTransaction, 0, wire::kPingTransaction);
                if (send(i, ping, {}, {})) outstanding_.emplace_back(ping.seq, ping.senderThread);
                accept(request);
                return;
            }
            default: return;
        }
        send(i, answer, {}, {});
    }

    void accept(const Request& request) {
        const size_t i = request.conn;
        wire::FrameHeader answer = header(request.h.kind);
        answer.seq = 0;
        answer.senderThread = request.h.senderThread;
        answer.code = wire::kHelloAccepted;
        if (!send(i, answer, {}, {})) return;
        if (request.h.kind == wire::kHello) {
            FakeSession s;
            s.token = request.h.senderThread;
            s.primary = i;
            sessions_.push_back(std::move(s));
            conns_[i].session = static_cast<int>(sessions_.size() - 1);
            return;
        }
        conns_[i].channel = true;
        for (size_t s = 0; s < sessions_.size(); ++s) {
            if (sessions_[s].token == request.h.senderThread) conns_[i].session = static_cast<int>(s);
        }
    }

    // m bits 0-1: status OK, or the next byte as a negative status, or as
    // a positive one, or STATUS_DEAD_OBJECT; bit 2 the wrong seq; bit 3 the
    // wrong thread; bit 4 on another socket of the session; bit 5 late
    // (after the client stopped waiting); bit 6 the body in a file (the
    // next byte: 1 sealed, 2 unsealed, 3 the wrong size) or, with bit 7
    // clear, descriptors beside it; bit 7 a body follows.
    void answerCall(const Request& request, uint8_t m, Reader& in) {
        int32_t status = STATUS_OK;
        switch (m & 3) {
            case 1: status = -static_cast<int32_t>(in.byte()); break;
            case 2: status = in.byte(); break;
            case 3: status = STATUS_DEAD_OBJECT; break;
            default: break;
        }
        int file = 0;
        uint32_t extraFds = 0;
        if ((m & 0x40) != 0) {
            const uint8_t how = in.byte();
            if ((m & 0x80) != 0) {
                file = 1 + how % 3;
            } else {
                extraFds = 1 + how % 3;
            }
        }
        size_t conn = request.conn;
        const int session = conns_[conn].session;
        Body body = (m & 0x80) != 0 ? readBody(in, session, kServiceDescriptor) : defaultBody(request);
        if ((m & 0x10) != 0) conn = otherConn(conn);
        wire::FrameHeader h = header(wire::kReply);
        h.code = static_cast<uint32_t>(status);
        h.seq = request.h.seq + ((m & 4) != 0 ? 1 : 0);
        h.targetThread = request.h.senderThread ^ ((m & 8) != 0 ? 1 : 0);
        h.senderThread = 0;
        h.fdCount = (extraFds != 0 && (m & 0x80) == 0 && (in.byte() & 1) != 0) ? 0 : extraFds;
        if ((m & 0x20) != 0) waitForClient(gPatience.settle, false);
        sendBody(conn, h, body, file, extraFds);
    }

    // Another socket of the same session: the primary link for a channel,
    // the newest channel for the primary link.
    size_t otherConn(size_t i) const {
        if (i >= conns_.size()) return i;
        const int session = conns_[i].session;
        if (session < 0) return i;
        if (conns_[i].channel) return sessions_[static_cast<size_t>(session)].primary;
        for (size_t k = conns_.size(); k-- > 0;) {
            if (k != i && conns_[k].session == session && conns_[k].fd >= 0) return k;
        }
        return i;
    }

    // The well-formed answer: the lookup gets the service (handle 1), a
    // call gets its last word echoed.
    Body defaultBody(const Request& request) {
        Body body;
        if (request.h.handle == 0 && request.h.code == wire::kGetServiceTransaction) {
            uint32_t offset = 0;
            Data data;
            data.entry(&offset);
            body.data = data.bytes();
            body.objects = objectRecord(offset, wire::kSenderObject, kServiceHandle, kServiceDescriptor);
            body.objectCount = 1;
            body.sentRecords.emplace_back(wire::kSenderObject, kServiceHandle);
            return body;
        }
        if (request.h.code >= FIRST_CALL_TRANSACTION && request.h.code <= LAST_CALL_TRANSACTION &&
            request.h.dataSize >= 4) {
            Bytes word(request.body.begin() + request.h.dataSize - 4, request.body.begin() + request.h.dataSize);
            body.data = word;
        }
        return body;
    }

    void answerAll() {
        while (!pending_.empty()) {
            Request request = std::move(pending_.front());
            pending_.pop_front();
            if (request.h.kind != wire::kTransaction) {
                accept(request);
                continue;
            }
            wire::FrameHeader h = header(wire::kReply);
            h.seq = request.h.seq;
            h.targetThread = request.h.senderThread;
            h.senderThread = 0;
            sendBody(request.conn, h, defaultBody(request), 0, 0);
        }
    }

    // ---- Frames the service starts ----

    // t bits 0-1: the target: a client object read (the (t >> 2)-th), the
    // handle t >> 2, handle 0 (the client's process), the newest client
    // object read; c % 8: codes 0 to 3 of the client's objects, ping, dump
    // (one descriptor), getService, code c; f bit 0 one-way, bit 1 nested
    // (to the thread of the oldest call waiting for an answer, on its
    // socket), bit 2 on the newest channel, bits 3-4 descriptors beside it.
    void injectCall(Reader& in) {
        const uint8_t t = in.byte(), c = in.byte(), f = in.byte();
        const int session = newestSession();
        const auto& handles = clientHandles(session);
        uint32_t handle = 0;
        switch (t & 3) {
            case 0: handle = handles.empty() ? 1 : handles[(t >> 2) % handles.size()]; break;
            case 1: handle = t >> 2; break;
            case 2: handle = 0; break;
            default: handle = handles.empty() ? 1 : handles.back(); break;
        }
        static const uint32_t codes[4] = {wire::kPingTransaction, wire::kDumpTransaction,
                                          wire::kGetServiceTransaction, 0};
        const uint32_t code = c % 8 < 4 ? FIRST_CALL_TRANSACTION + c % 8 : codes[c % 8 - 4] != 0 ? codes[c % 8 - 4] : c;
        Body body = readBody(in, session, kClientDescriptor);
        if (code == wire::kGetServiceTransaction) {
            Data name;
            name.string(kServiceName);
            body.data = name.bytes();
        }
        wire::FrameHeader h = header(wire::kTransaction, handle, code, (f & 1) != 0 ? FLAG_ONEWAY : 0);
        h.seq = nextSeq_++;
        h.senderThread = kFakeThread;
        uint32_t extraFds = (f >> 3) & 3;
        if (code == wire::kDumpTransaction && extraFds == 0) extraFds = 1;
        h.fdCount = extraFds;
        size_t conn = primaryConn();
        if ((f & 2) != 0) {
            // A nested call: to the thread of the oldest call still waiting.
            for (const Request& request : pending_) {
                if (request.h.kind != wire::kTransaction) continue;
                conn = request.conn;
                if (!conns_[conn].channel) h.targetThread = request.h.senderThread;
                break;
            }
        } else if ((f & 4) != 0) {
            conn = otherConn(primaryConn());
        }
        if (conn >= conns_.size()) return;
        if (sendBody(conn, h, body, 0, extraFds) && (f & 1) == 0) outstanding_.emplace_back(h.seq, h.senderThread);
    }

    // Gives back arrivals of a client object: n 0 means exactly as many as
    // the service read since its last release of it; r 0 as many references
    // sent back as the service sent.
    void sendRelease(uint8_t h, uint8_t n, uint8_t r) {
        const int session = newestSession();
        if (session < 0) return;
        FakeSession& s = sessions_[static_cast<size_t>(session)];
        const uint32_t handle = s.clientHandles.empty() ? (h & 0x7f) : s.clientHandles[(h & 0x7f) % s.clientHandles.size()];
        const uint32_t count = n != 0 ? n : static_cast<uint32_t>(s.clientSent[handle]);
        const uint32_t returns = r != 0 ? r : static_cast<uint32_t>(s.givenBack[handle]);
        std::vector<std::vector<uint32_t>> records = {{handle, count, returns}};
        if ((h & 0x80) != 0) records.push_back({handle, count, 0});
        if (send(s.primary, header(wire::kRelease), bgs_fuzz::releaseRecords(records), {})) {
            s.clientSent[handle] -= std::min<uint64_t>(s.clientSent[handle], count);
            s.givenBack[handle] = 0;
        }
    }

    void sendDeath(Reader& in) {
        const unsigned count = 1 + in.byte() % 3;
        Bytes body;
        for (unsigned i = 0; i < count; ++i) {
            const uint8_t v = in.byte();
            const uint32_t handle = v < 0x80 ? 1 + v % 4 : v;
            const auto* bytes = reinterpret_cast<const uint8_t*>(&handle);
            body.insert(body.end(), bytes, bytes + 4);
        }
        send(primaryConn(), header(wire::kDeath), body, {});
    }

    // s bits 0-1: the primary link, the newest channel, the oldest socket
    // not yet introduced, the newest socket; bit 7 the magic word first.
    void sendRaw(Reader& in) {
        const uint8_t s = in.byte();
        Bytes packet(in.byte());
        for (uint8_t& b : packet) b = in.byte();
        if ((s & 0x80) != 0 && packet.size() >= 4) std::memcpy(packet.data(), &wire::kFrameMagic, 4);
        size_t conn = conns_.size();
        switch (s & 3) {
            case 0: conn = primaryConn(); break;
            case 1: conn = otherConn(primaryConn()); break;
            case 2:
                for (size_t i = 0; i < conns_.size(); ++i) {
                    if (conns_[i].session < 0 && conns_[i].fd >= 0) {
                        conn = i;
                        break;
                    }
                }
                break;
            default: conn = conns_.empty() ? 0 : conns_.size() - 1; break;
        }
        if (conn >= conns_.size() || conns_[conn].fd < 0) return;
        // Whatever the packet holds is unknown to the release checks; a call
        // in it may be answered.
        if (conns_[conn].session >= 0) sessions_[static_cast<size_t>(conns_[conn].session)].tainted = true;
        wire::FrameHeader h{};
        if (readHeader(packet.data(), packet.size(), &h)) outstanding_.emplace_back(h.seq, h.senderThread);
        ::send(conns_[conn].fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    void hangUpSome(uint8_t w) {
        if (w == 0 && primaryConn() < conns_.size()) {
            closeConn(primaryConn());
        } else if (w == 1 && !conns_.empty()) {
            for (size_t k = conns_.size(); k-- > 0;) {
                if (conns_[k].channel && conns_[k].fd >= 0) {
                    closeConn(k);
                    break;
                }
            }
        } else if (w > 1) {
            for (size_t k = 0; k < conns_.size(); ++k) closeConn(k);
        }
    }

    Client& client_;
    std::vector<Conn> conns_;
    std::deque<Request> pending_;
    std::vector<FakeSession> sessions_;
    std::vector<std::pair<uint32_t, uint64_t>> outstanding_;  // (seq, thread) of calls into the client
    uint32_t nextSeq_ = 1;
    size_t clientOps_ = 0;
    uint64_t waited_ = 0;
    uint64_t deafUntil_ = 0;  // nothing is read until then
    bgs_fuzz::ClientOutcome outcome_;
};

// ---- Between inputs ----

// Descriptors of the kinds the runtime and the fake service open (sockets,
// body files, event and notification descriptors). Others are left out: the
// fuzzing engine opens pipes of its own (to a symbolizer) as it goes.
int countRuntimeDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        char target[64] = {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(path.c_str(), target, sizeof target - 1) <= 0) continue;
        count += std::strncmp(target, "socket:", 7) == 0 || std::strncmp(target, "/memfd:", 7) == 0 ||
                 std::strncmp(target, "anon_inode:", 11) == 0;
    }
    ::closedir(dir);
    return count;
}

void listDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        char target[256] = {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(path.c_str(), target, sizeof target - 1) > 0) std::fprintf(stderr, "  %s -> %s\n", entry->d_name, target);
    }
    ::closedir(dir);
}

// Waits until the process holds no more descriptors than between inputs:
// the client's sessions with the fake service are gone.
void waitForTeardown() {
    const Setup& s = setup();
    int count = countRuntimeDescriptors();
    for (const uint64_t deadline = nowMs() + kTeardownMs; count > s.baseline && nowMs() < deadline;) {
        ::poll(nullptr, 0, 1);
        count = countRuntimeDescriptors();
    }
    if (count > s.baseline) {
        std::fprintf(stderr, "client_fuzzer: %d descriptors open, %d between inputs:\n", count, s.baseline);
        listDescriptors();
        fail("the client's sessions were not torn down");
    }
}

// The client looks the service up, calls it and drops it, all answered
// well; the call must succeed and the binder come back exactly once.
bool finalExchange(Client& client) {
    bool ok;
    {
        FakeService fake(client);
        ClientOp op{ClientAction::kCall};
        op.final = true;
        client.post(op);
        if (!fake.serveUntilIdle()) fail("the final exchange did not finish in time");
        fake.checkReleases();
        ok = client.finalOk() && fake.everythingGivenBack();
    }
    return ok;
}

bgs_fuzz::ClientOutcome gOutcome;

Setup& setup() {
    static Setup* const made = [] {
        auto* s = new Setup;
        // Before the runtime starts: it reads these once.
        gDirectory = bgs_fuzz::makePrivateRegistry("bgs-client-fuzz");
        if (gDirectory == nullptr) fail("no private registry directory");
        ::setenv("BGS_STALL_MS", std::to_string(gPatience.stall).c_str(), 1);
        ::setenv("BGS_CALL_TIMEOUT_MS", std::to_string(gPatience.defaultCallTimeout).c_str(), 1);

        const std::string address = "bgs." + std::to_string(::getpid()) + ".fuzz" + std::to_string(bgs_fuzz::randomToken());
        s->listener = gListener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::memcpy(where.sun_path + 1, address.data(), address.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
        if (s->listener < 0 || ::bind(s->listener, reinterpret_cast<const sockaddr*>(&where), length) != 0 ||
            ::listen(s->listener, 64) != 0) {
            fail("the fake service's listener could not be opened");
        }
        publishEntry(address);
        s->devNull = gDevNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

        gServiceClass = AIBinder_Class_define(kServiceDescriptor, objectCreate, objectDestroy, serviceTransact);
        gClientClass = AIBinder_Class_define(kClientDescriptor, objectCreate, objectDestroy, clientTransact);
        if (gServiceClass == nullptr || gClientClass == nullptr || s->devNull < 0) fail("setup failed");
        AIBinder_Class_setOnDump(gClientClass, clientDump);
        ABinderProcess_setThreadPoolMaxThreadCount(4);
        ABinderProcess_startThreadPool();
        s->client = new Client;  // runs for the life of the process
        return s;
    }();
    if (made->baseline < 0) {
        made->baseline = INT_MAX;  // no check while the first exchange runs
        if (!finalExchange(*made->client)) fail("the first well-formed exchange failed");
        // Runtime threads and their descriptors settle after the first use.
        int count = countRuntimeDescriptors();
        for (int stable = 0; stable < 5;) {
            ::poll(nullptr, 0, 10);
            const int now = countRuntimeDescriptors();
            stable = now == count ? stable + 1 : 0;
            count = now;
        }
        made->baseline = count;
    }
    return *made;
}

}  // namespace

namespace bgs_fuzz {

const ClientOutcome& lastClientOutcome() { return gOutcome; }

uint32_t clientDeathsSoFar() { return gDeaths.load(); }

void setClientPatience(int factor) {
    Patience patient;
    patient.stall *= factor;
    patient.defaultCallTimeout *= factor;
    patient.callTimeout *= factor;
    patient.lookupWait *= factor;
    patient.answerWait *= factor;
    patient.settle *= factor;
    patient.scriptBudget *= static_cast<uint64_t>(factor);
    gPatience = patient;
}

}  // namespace bgs_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup& s = setup();
    Client& client = *s.client;
    {
        FakeService fake(client);
        Reader in(data, size);
        (void)in.byte();  // reserved
        fake.run(in);
        if (!fake.serveUntilIdle()) fail("a client call did not return in time");
        client.postDropAll();
        if (!fake.serveUntilIdle()) fail("dropping the client's binders did not finish in time");
        fake.checkReleases();
        gOutcome = fake.outcome();
        gOutcome.calls = client.takeCalls();
    }
    waitForTeardown();
    if (!finalExchange(client)) fail("a well-formed exchange failed after the input");
    (void)client.takeCalls();
    waitForTeardown();
    return 0;
}

// ---- Seeds ----

namespace {

// Builds an input: the reserved byte, then operations.
class Script {
  public:
    Script() : bytes_{0} {}

    Script& lookup(uint8_t slot = 0, bool wait = false) { return op(0, {uint8_t((wait ? 1 : 0) | slot << 1)}); }
    // payload: bit 0 the int, bit 1 a new object, bit 2 the kept object,
    // bit 3 the binder of slot (payload >> 4).
    Script& call(uint8_t slot, uint8_t code, uint8_t value, uint8_t payload, bool oneway = false) {
        return op(1, {uint8_t(slot | code << 2 | (oneway ? 0x20 : 0)), value, payload});
    }
    Script& ping(uint8_t slot) { return op(2, {slot}); }
    Script& linkToDeath(uint8_t slot) { return op(3, {slot}); }
    Script& drop(uint8_t slot) { return op(4, {slot}); }
    Script& dump(uint8_t slot) { return op(5, {slot}); }
    Script& answer(uint8_t mode, const Bytes& more = {}) {
        Bytes args{mode};
        args.insert(args.end(), more.begin(), more.end());
        return op(6, args);
    }
    // The lookup answered well: hello, join, getService.
    Script& served() { return answer(0).answer(0).answer(0); }
    Script& injectCall(uint8_t target, uint8_t code, uint8_t flags, const Bytes& body) {
        Bytes args{target, code, flags};
        args.insert(args.end(), body.begin(), body.end());
        return op(7, args);
    }
    Script& release(uint8_t handle, uint8_t count, uint8_t returns) { return op(8, {handle, count, returns}); }
    Script& death(uint8_t handle) { return op(9, {0, handle}); }
    Script& raw(uint8_t socket, const Bytes& packet) {
        Bytes args{socket, uint8_t(packet.size())};
        args.insert(args.end(), packet.begin(), packet.end());
        return op(10, args);
    }
    Script& hangUp(uint8_t which) { return op(11, {which}); }
    Script& settle() { return op(12, {}); }
    Script& answerAll() { return op(13, {}); }
    Script& sleep() { return op(14 | 0x30, {}); }
    Script& deaf(uint8_t ms) { return op(15, {ms}); }
    Bytes bytes() const { return bytes_; }

  private:
    Script& op(uint8_t code, const Bytes& args) {
        bytes_.push_back(code);
        bytes_.insert(bytes_.end(), args.begin(), args.end());
        return *this;
    }

    Bytes bytes_;
};

// Body bytes: r, then (k, v) per record (see FakeService::readBody).
constexpr uint8_t kWithHeader = 4;
constexpr uint8_t kOneWord = 1 << 3;
constexpr uint8_t kKind1 = 0, kKind2 = 1, kKind3 = 2;
constexpr uint8_t kServiceObject = 0 << 2, kClientObject = 1 << 2, kRawHandle = 2 << 2, kSameHandle = 3 << 2;
// Answer modes for a call.
constexpr uint8_t kWrongSeq = 4, kWrongThread = 8, kLate = 0x20, kFileOrFds = 0x40, kBody = 0x80;

}  // namespace

namespace bgs_fuzz {

std::vector<Seed> clientSeeds() {
    std::vector<Seed> seeds;
    // Everything answered by the end of the input, well.
    seeds.push_back({"unanswered", Script().lookup().call(0, 0, 5, 1).ping(0).bytes()});
    seeds.push_back({"lookupAndCall", Script().lookup().served().call(0, 0, 5, 1).answer(0).bytes()});
    seeds.push_back({"helloDuplicate", Script().lookup().answer(1).bytes()});
    seeds.push_back({"helloWrongToken", Script().lookup().answer(3).bytes()});
    seeds.push_back({"helloHungUp", Script().lookup().answer(5).bytes()});
    seeds.push_back({"helloAfterPing", Script().lookup().answer(6).bytes()});
    // Answers written as "another code" that happens to be 0: accepted.
    seeds.push_back({"acceptedAsCodeZero", Script().lookup().answer(2).answer(2).answer(0).call(0, 0, 3, 1).bytes()});
    seeds.push_back({"joinRefused",
                     Script().lookup().answer(0).answer(1).answer(0).call(0, 0, 9, 1).answer(0).bytes()});
    // The lookup's reply: the service twice, a dead object, or a forged
    // object of the client's.
    seeds.push_back({"lookupDuplicateAndDead",
                     Script().lookup().answer(0).answer(0)
                             .answer(kBody, {3, kKind1 | kServiceObject, 0, kKind1 | kSameHandle, 0,
                                             kKind3 | kServiceObject, 1})
                             .bytes()});
    seeds.push_back({"lookupForgedHome",
                     Script().lookup().answer(0).answer(0).answer(kBody, {1, kKind2 | kRawHandle, 7}).bytes()});
    seeds.push_back({"replyWrongSeq", Script().lookup().served().call(0, 0, 1, 1).answer(kWrongSeq).bytes()});
    seeds.push_back({"replyWrongThread", Script().lookup().served().call(0, 0, 1, 1).answer(kWrongThread).bytes()});
    seeds.push_back({"lateReplyThenCall",
                     Script().lookup().served().call(0, 0, 1, 1).answer(kLate).call(0, 0, 2, 1).answer(0).bytes()});
    seeds.push_back({"replyInSealedFile", Script().lookup().served().call(0, 0, 1, 1)
                                                  .answer(kFileOrFds | kBody, {0, kOneWord}).bytes()});
    seeds.push_back({"replyInUnsealedFile", Script().lookup().served().call(0, 0, 1, 1)
                                                    .answer(kFileOrFds | kBody, {1, kOneWord}).bytes()});
    seeds.push_back({"replyFileWrongSize", Script().lookup().served().call(0, 0, 1, 1)
                                                   .answer(kFileOrFds | kBody, {2, kOneWord}).bytes()});
    seeds.push_back({"replyWithDescriptor",
                     Script().lookup().served().call(0, 0, 1, 1).answer(kFileOrFds, {0, 0}).bytes()});
    // The client's kept object goes out, then comes home in the reply.
    seeds.push_back({"clientObjectComesHome",
                     Script().lookup().served().call(0, 0, 1, 4)
                             .answer(kBody, {1, kKind2 | kClientObject, 0}).bytes()});
    // The service calls the client's object: on the primary link, then as
    // a nested call to the thread waiting in a call on its channel.
    seeds.push_back({"callIntoClientObject",
                     Script().lookup().served().call(0, 0, 1, 4).answer(0)
                             .injectCall(3, 0, 0, {kWithHeader | kOneWord}).sleep().bytes()});
    seeds.push_back({"nestedCallOnChannel",
                     Script().lookup().served().call(0, 0, 1, 4).sleep()
                             .injectCall(3, 0, 2, {kWithHeader | kOneWord}).sleep().answer(0).bytes()});
    seeds.push_back({"nestedCallOnPrimary",
                     Script().lookup().answer(0).answer(1).answer(0).call(0, 0, 1, 4).answer(1).sleep()
                             .injectCall(3, 0, 2, {kWithHeader | kOneWord}).sleep().answer(0).bytes()});
    // Releases of the client's kept object: exact, then one overrunning.
    seeds.push_back({"releaseExact", Script().lookup().served().call(0, 0, 1, 4).answer(0)
                                             .release(0, 0, 0).sleep().call(0, 0, 2, 4).answer(0).bytes()});
    seeds.push_back({"releaseOverrun", Script().lookup().served().call(0, 0, 1, 4).answer(0)
                                               .release(0, 5, 0).sleep().call(0, 0, 2, 1).bytes()});
    seeds.push_back({"releaseTwiceInFrame", Script().lookup().served().call(0, 0, 1, 4).answer(0)
                                                    .release(0x80, 0, 0).sleep().call(0, 0, 2, 1).bytes()});
    seeds.push_back({"deathOfImport",
                     Script().lookup().served().linkToDeath(0).settle().death(0).sleep().ping(0).bytes()});
    seeds.push_back({"hangUpMidCall", Script().lookup().served().call(0, 0, 1, 1).sleep().hangUp(2).bytes()});
    seeds.push_back({"dump", Script().lookup().served().dump(0).answer(0).bytes()});
    // Requests larger than a packet travel in sealed files.
    seeds.push_back({"largeRequestInFile", Script().lookup().served().call(0, 0, 0x81, 0x81).answer(0).bytes()});
    // A service that stops reading: one-way calls of nearly a packet fill
    // the primary link (its channel refused), the rest wait in the outbox,
    // and a two-way call behind them, carrying the client's object and the
    // service's sent home, gives up and is withdrawn with its counts.
    {
        Script deafened;
        deafened.lookup().answer(0).answer(1).answer(0).deaf(63);
        for (int i = 0; i < 6; ++i) deafened.call(0, 0, 1, 0x80, true);
        seeds.push_back({"deafServiceWithdrawsCall", deafened.call(0, 0, 2, 1 | 4 | 8).answer(1).settle().bytes()});
    }
    // The service's own binder sent home by the client, and a relay.
    seeds.push_back({"serviceSentHome", Script().lookup().served().call(0, 3, 1, 8).answer(0).bytes()});
    {
        Bytes packet = bgs_fuzz::headerOnly(header(wire::kTransaction, 0, wire::kPingTransaction));
        seeds.push_back({"rawPing", Script().lookup().served().raw(0, packet).sleep().bytes()});
    }
    seeds.push_back({"onewayWithDescriptor",
                     Script().lookup().served().call(0, 0, 1, 4).answer(0)
                             .injectCall(3, 0, 1 | 1 << 3, {kWithHeader | kOneWord}).sleep().bytes()});
    return seeds;
}

}  // namespace bgs_fuzz

#ifndef BGS_FUZZER_NO_MAIN
int main(int argc, char** argv) {
    return bgs_fuzz::replayMain(argc, argv, "client_fuzzer", bgs_fuzz::clientSeeds(), LLVMFuzzerTestOneInput);
}
#endif
