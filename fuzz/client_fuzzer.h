// The client fuzzer's seeds and what the client got from the last input,
// for the test that replays the seeds (tests/runtime/client_fuzz_seed_test.cpp)
// and for the replay program. The input format is described in
// client_fuzzer.cpp.
#ifndef BGS_FUZZ_CLIENT_FUZZER_H
#define BGS_FUZZ_CLIENT_FUZZER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace bgs_fuzz {

// One input per kind of answer a hostile service can give a client.
std::vector<Seed> clientSeeds();

enum class ClientAction : uint8_t { kLookup, kCall, kPing, kLinkToDeath, kDrop, kDump };

// One public call the client made, in the order made.
struct ClientCall {
    ClientAction action;
    int32_t status;      // the call's result (a lookup: STATUS_OK when it found a binder)
    int32_t value;       // a call's reply: its first word, when it had one
    bool gotBinder;      // a call's reply held a binder
};

// The client's answer to a call the service made into it.
struct ClientReply {
    int32_t status;
    int32_t value;  // the first word of its data, or 0
};

struct ClientOutcome {
    std::vector<ClientCall> calls;
    std::vector<ClientReply> clientReplies;
    uint32_t hellos = 0;              // hellos the fake service read
    uint32_t joins = 0;               // channels the client tried to join
    uint32_t releasesFromClient = 0;  // release records
};
const ClientOutcome& lastClientOutcome();

// Death notifications delivered to the client so far (they run on runtime
// threads, after the frame that caused them).
uint32_t clientDeathsSoFar();

// Stretches every wait of the client and the fake service `factor` times.
// The runtime's own limits among them are read when it starts: call this
// before the first input.
void setClientPatience(int factor);

}  // namespace bgs_fuzz

#endif  // BGS_FUZZ_CLIENT_FUZZER_H
