// Runs the parcel fuzzer's entry point over built-in seeds, so the fuzz
// target and its checks are exercised by every test run (a broken rule
// aborts the test).
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "runtime_test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// A fuzz input: operation bytes, then the parcel data they read.
Bytes seed(const Bytes& ops, const std::function<void(AParcel*)>& write) {
    auto parcel = bgs_test::newParcel();
    write(parcel.get());
    Bytes input = {static_cast<uint8_t>(ops.size())};
    input.insert(input.end(), ops.begin(), ops.end());
    const Bytes data = bgs_test::bytesOf(parcel.get());
    input.insert(input.end(), data.begin(), data.end());
    return input;
}

binder_status_t writeElement(AParcel* parcel, const void*, size_t index) {
    return AParcel_writeInt32(parcel, static_cast<int32_t>(index));
}

TEST(RuntimeFuzzSeeds, EntryPointAcceptsEverySeed) {
    constexpr uint8_t kRewind = 0x80;  // operation: position 0
    const Bytes allReaders = {0, kRewind, 1, kRewind, 2, kRewind, 3, kRewind, 4, kRewind,
                              5, kRewind, 6, kRewind, 7, kRewind, 8, kRewind, 9};
    const std::vector<Bytes> seeds = {
            {},
            {0},
            {31, 1, 2, 3},
            seed(allReaders, [](AParcel*) {}),
            seed(allReaders, [](AParcel* p) { AParcel_writeInt64(p, 1); }),
            seed({4, 4, 4, 0x81, 4}, [](AParcel* p) {
                AParcel_writeString(p, "seed", 4);
                AParcel_writeString(p, nullptr, -1);
                AParcel_writeString(p, "", 0);
            }),
            seed({6, kRewind, 7}, [](AParcel* p) { AParcel_writeParcelableArray(p, nullptr, 2, writeElement); }),
            seed({8, 8, 0xff, 8}, [](AParcel* p) {
                AParcel_writeStrongBinder(p, nullptr);
                AParcel_writeInt32(p, 1);
                AParcel_writeInt32(p, 0);
            }),
            seed({9, 9}, [](AParcel* p) {
                AStatus* status = AStatus_fromServiceSpecificErrorWithMessage(5, "seed");
                AParcel_writeStatusHeader(p, status);
                AStatus_delete(status);
                AParcel_writeStatusHeader(p, AStatus_newOk());
            }),
    };
    for (const Bytes& input : seeds) EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
}

}  // namespace
