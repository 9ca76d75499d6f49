// Parcel fuzzer: fills a parcel from untrusted bytes and runs a sequence of
// reads chosen by the input, checking every read against parcel_readers.h.
//
// Input layout: byte 0 = n, the number of operation bytes (n % 32); the next
// n bytes are operations; the rest is the parcel data. An operation with the
// top bit set moves the position to (op & 0x7f) * 4 (which may lie past the
// end); otherwise it runs reader op % Reader::kCount.
//
// Built with libFuzzer when BGS_BUILD_FUZZERS is on (clang); the same entry
// point runs over a built-in seed set in the runtime tests. Without
// BGS_FUZZER_NO_MAIN the file has a main that replays input files, for
// reproducing a finding without libFuzzer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "parcel_readers.h"

namespace {

[[noreturn]] void fail(const char* what, int step) {
    std::fprintf(stderr, "parcel_fuzzer: step %d: %s\n", step, what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t opCount = std::min<size_t>(data[0] % 32, size - 1);
    const uint8_t* ops = data + 1;
    const uint8_t* payload = ops + opCount;
    const size_t payloadSize = size - 1 - opCount;

    AParcel* parcel = AParcel_create();
    if (parcel == nullptr) return 0;
    if (AParcel_unmarshal(parcel, payload, payloadSize) != STATUS_OK) fail("unmarshal refused the input", -1);

    for (size_t i = 0; i < opCount; ++i) {
        const uint8_t op = ops[i];
        if ((op & 0x80) != 0) {
            if (AParcel_setDataPosition(parcel, (op & 0x7f) * 4) != STATUS_OK) fail("position refused", int(i));
            continue;
        }
        const auto reader = static_cast<bgs_fuzz::Reader>(op % static_cast<uint8_t>(bgs_fuzz::Reader::kCount));
        const bgs_fuzz::ReadCheck check = bgs_fuzz::checkRead(parcel, reader);
        if (check.violation != nullptr) fail(check.violation, int(i));
    }

    // Reads never change the bytes.
    std::vector<uint8_t> copy(payloadSize);
    if (AParcel_marshal(parcel, copy.data(), 0, payloadSize) != STATUS_OK ||
        (payloadSize > 0 && std::memcmp(copy.data(), payload, payloadSize) != 0)) {
        fail("the bytes changed", -1);
    }
    AParcel_delete(parcel);
    return 0;
}

#ifndef BGS_FUZZER_NO_MAIN
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        std::vector<uint8_t> input;
        for (int c; (c = std::fgetc(file)) != EOF;) input.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        std::printf("%s: ok\n", argv[i]);
    }
    return 0;
}
#endif
