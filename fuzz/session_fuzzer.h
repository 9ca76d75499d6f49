// The session fuzzer's seeds and what an input got back, for the test that
// replays the seeds (tests/runtime/session_fuzz_seed_test.cpp) and for the
// replay program. The input format is described in session_fuzzer.cpp.
#ifndef BGS_FUZZ_SESSION_FUZZER_H
#define BGS_FUZZ_SESSION_FUZZER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace bgs_fuzz {

using SessionSeed = Seed;

// One input per kind of frame a hostile peer can send, valid or not.
std::vector<SessionSeed> sessionSeeds();

// A reply frame as the hostile peer received it.
struct SeenReply {
    int socket;  // 0 primary, 1 and 2 the channel sockets, 3 and up fresh sockets
    int32_t status;
    uint32_t objectCount;
    std::vector<uint8_t> data;  // the first bytes of its parcel data (at most 16)
};

// What the service sent back to the last input, in arrival order per socket.
struct SessionOutcome {
    std::vector<SeenReply> replies;
    uint32_t hellos = 0;
    uint32_t transactions = 0;  // calls the service made back into the peer
    uint32_t releases = 0;
    uint32_t closedSockets = 0;  // sockets the service hung up
};
const SessionOutcome& lastSessionOutcome();

// How long an input waits for the service: `quietMs` without anything
// arriving ends it once no answer is due; `limitMs` bounds it. The fuzzer
// keeps these short; the seed test waits longer for a deterministic outcome.
void setSessionPatience(int quietMs, int limitMs);

}  // namespace bgs_fuzz

#endif  // BGS_FUZZ_SESSION_FUZZER_H
