// Untrusted bytes: every reader over pseudo-random buffers and over every
// truncation of valid encodings must fail with a code, keep its position and
// size allocations by the bytes present (the rules in fuzz/parcel_readers.h).
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "parcel_readers.h"
#include "runtime_test_support.h"

namespace {

using bgs_fuzz::checkRead;
using bgs_fuzz::Reader;
using Bytes = std::vector<uint8_t>;

constexpr int kReaderCount = static_cast<int>(Reader::kCount);

// Runs every reader at a spread of positions (aligned, unaligned, at and past
// the end) and reports each broken rule.
void expectEveryReaderSafe(const Bytes& bytes) {
    auto parcel = bgs_test::parcelOf(bytes);
    const int32_t size = static_cast<int32_t>(bytes.size());
    std::vector<int32_t> positions = {size, size + 4, 1, 2};
    for (int32_t p = 0; p < size; p += 4) positions.push_back(p);
    for (int r = 0; r < kReaderCount; ++r) {
        for (int32_t position : positions) {
            ASSERT_EQ(AParcel_setDataPosition(parcel.get(), position), STATUS_OK);
            const bgs_fuzz::ReadCheck check = checkRead(parcel.get(), static_cast<Reader>(r));
            EXPECT_EQ(check.violation, nullptr)
                    << check.violation << " (reader " << bgs_fuzz::readerName(static_cast<Reader>(r))
                    << ", position " << position << ", " << bytes.size() << " bytes)";
        }
    }
}

TEST(RuntimeHostileInput, PseudoRandomBuffersNeverBreakAReader) {
    std::mt19937 random(20240611);  // fixed seed: the same buffers on every run
    for (int round = 0; round < 300; ++round) {
        Bytes bytes;
        const size_t words = random() % 13;
        for (size_t w = 0; w < words; ++w) {
            // Half the words are small values, which land on the interesting
            // lengths, counts, kinds and exception codes.
            const uint32_t word = random() % 2 ? static_cast<uint32_t>(static_cast<int32_t>(random() % 20) - 10)
                                               : static_cast<uint32_t>(random());
            for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(word >> (8 * b)));
        }
        bytes.resize(bytes.size() - random() % 4 * (bytes.empty() ? 0 : 1));  // ragged ends too
        expectEveryReaderSafe(bytes);
        if (HasFailure()) return;
    }
}

struct Encoding {
    const char* name;
    Reader reader;
    std::function<void(AParcel*)> write;
};
void PrintTo(const Encoding& c, std::ostream* os) { *os << c.name; }

binder_status_t writeElement(AParcel* parcel, const void*, size_t index) {
    return AParcel_writeInt32(parcel, static_cast<int32_t>(index));
}

binder_status_t writeStatus(AParcel* parcel, AStatus* status) {
    binder_status_t result = AParcel_writeStatusHeader(parcel, status);
    AStatus_delete(status);
    return result;
}

const std::vector<Encoding>& encodings() {
    static const std::vector<Encoding> all = {
            {"int32", Reader::kInt32, [](AParcel* p) { AParcel_writeInt32(p, -5); }},
            {"int64", Reader::kInt64, [](AParcel* p) { AParcel_writeInt64(p, -5); }},
            {"bool", Reader::kBool, [](AParcel* p) { AParcel_writeBool(p, true); }},
            {"double", Reader::kDouble, [](AParcel* p) { AParcel_writeDouble(p, 2.5); }},
            {"string", Reader::kString, [](AParcel* p) { AParcel_writeString(p, "hello", 5); }},
            {"emptyString", Reader::kString, [](AParcel* p) { AParcel_writeString(p, "", 0); }},
            {"nullString", Reader::kString, [](AParcel* p) { AParcel_writeString(p, nullptr, -1); }},
            {"array", Reader::kArray, [](AParcel* p) { AParcel_writeParcelableArray(p, nullptr, 3, writeElement); }},
            {"nullArray", Reader::kArray, [](AParcel* p) { AParcel_writeParcelableArray(p, nullptr, -1, writeElement); }},
            {"nullBinder", Reader::kBinder, [](AParcel* p) { AParcel_writeStrongBinder(p, nullptr); }},
            {"okStatus", Reader::kStatusHeader, [](AParcel* p) { writeStatus(p, AStatus_newOk()); }},
            {"serviceStatus", Reader::kStatusHeader,
             [](AParcel* p) { writeStatus(p, AStatus_fromServiceSpecificErrorWithMessage(3, "no disk")); }},
            {"failedStatus", Reader::kStatusHeader, [](AParcel* p) { writeStatus(p, AStatus_fromStatus(STATUS_TIMED_OUT)); }},
    };
    return all;
}

class RuntimeHostileTruncation : public testing::TestWithParam<Encoding> {};

TEST_P(RuntimeHostileTruncation, EveryPrefixIsNotEnoughDataAndSafeForAllReaders) {
    auto parcel = bgs_test::newParcel();
    GetParam().write(parcel.get());
    const Bytes full = bgs_test::bytesOf(parcel.get());
    ASSERT_FALSE(full.empty());
    for (size_t length = 0; length <= full.size(); ++length) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        auto truncated = bgs_test::parcelOf(prefix);
        const bgs_fuzz::ReadCheck check = checkRead(truncated.get(), GetParam().reader);
        EXPECT_EQ(check.violation, nullptr) << check.violation;
        EXPECT_EQ(check.status, length == full.size() ? STATUS_OK : STATUS_NOT_ENOUGH_DATA)
                << length << " of " << full.size() << " bytes";
        expectEveryReaderSafe(prefix);
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeHostileTruncation, testing::ValuesIn(encodings()),
                         bgs_test::CaseName());

}  // namespace
