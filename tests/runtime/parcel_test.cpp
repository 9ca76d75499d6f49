// Parcels: values, strings, arrays, binder entries, positions and raw bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "runtime_test_support.h"

namespace {

using bgs_test::bytesOf;
using bgs_test::FakeObject;
using bgs_test::newParcel;
using bgs_test::parcelOf;
using bgs_test::ParcelPtr;
using bgs_test::StringSink;
using Bytes = std::vector<uint8_t>;

std::vector<uint8_t> wordsToBytes(const std::vector<int32_t>& words) {
    auto parcel = newParcel();
    for (int32_t word : words) AParcel_writeInt32(parcel.get(), word);
    return bytesOf(parcel.get());
}

// ---- Fixed-size values ----

template <typename T>
T readBack(const AParcel* parcel, binder_status_t (*read)(const AParcel*, T*)) {
    T value{};
    EXPECT_EQ(read(parcel, &value), STATUS_OK);
    return value;
}

TEST(RuntimeParcelValues, EveryTypeRoundTripsInSequence) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), std::numeric_limits<int32_t>::min()), STATUS_OK);
    ASSERT_EQ(AParcel_writeUint32(parcel.get(), 0xfffffffeu), STATUS_OK);
    ASSERT_EQ(AParcel_writeInt64(parcel.get(), std::numeric_limits<int64_t>::min() + 1), STATUS_OK);
    ASSERT_EQ(AParcel_writeUint64(parcel.get(), 0xfedcba9876543210u), STATUS_OK);
    ASSERT_EQ(AParcel_writeFloat(parcel.get(), -0.0f), STATUS_OK);
    ASSERT_EQ(AParcel_writeDouble(parcel.get(), std::nan("")), STATUS_OK);
    ASSERT_EQ(AParcel_writeBool(parcel.get(), true), STATUS_OK);
    ASSERT_EQ(AParcel_writeBool(parcel.get(), false), STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 4 + 4 + 8 + 8 + 4 + 8 + 4 + 4);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), AParcel_getDataSize(parcel.get()));

    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    const AParcel* in = parcel.get();
    EXPECT_EQ(readBack(in, AParcel_readInt32), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(readBack(in, AParcel_readUint32), 0xfffffffeu);
    EXPECT_EQ(readBack(in, AParcel_readInt64), std::numeric_limits<int64_t>::min() + 1);
    EXPECT_EQ(readBack(in, AParcel_readUint64), 0xfedcba9876543210u);
    const float negativeZero = readBack(in, AParcel_readFloat);
    EXPECT_TRUE(negativeZero == 0.0f && std::signbit(negativeZero));
    EXPECT_TRUE(std::isnan(readBack(in, AParcel_readDouble)));
    EXPECT_TRUE(readBack(in, AParcel_readBool));
    EXPECT_FALSE(readBack(in, AParcel_readBool));
    int32_t i32 = 0;
    EXPECT_EQ(AParcel_readInt32(parcel.get(), &i32), STATUS_NOT_ENOUGH_DATA);
}

TEST(RuntimeParcelValues, BoolWordOtherThanZeroOrOneIsRejectedInPlace) {
    for (int32_t word : {2, -1, 256}) {
        auto parcel = parcelOf(wordsToBytes({word}));
        bool value = false;
        EXPECT_EQ(AParcel_readBool(parcel.get(), &value), STATUS_BAD_VALUE) << word;
        EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
    }
}

TEST(RuntimeParcelValues, PartialEightByteValueIsNotEnoughData) {
    auto parcel = parcelOf(wordsToBytes({7}));
    int64_t value = 0;
    EXPECT_EQ(AParcel_readInt64(parcel.get(), &value), STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
}

// The exact bytes of each item; docs/wire-format.md shows the same examples.
struct WireCase {
    const char* name;
    std::function<binder_status_t(AParcel*)> write;
    Bytes bytes;
};
void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class RuntimeWireFormat : public testing::TestWithParam<WireCase> {};

TEST_P(RuntimeWireFormat, ItemHasDocumentedBytes) {
    auto parcel = newParcel();
    ASSERT_EQ(GetParam().write(parcel.get()), STATUS_OK);
    EXPECT_EQ(bytesOf(parcel.get()), GetParam().bytes);
}

binder_status_t writeNoElement(AParcel*, const void*, size_t) { return STATUS_BAD_VALUE; }

INSTANTIATE_TEST_SUITE_P(
        Runtime, RuntimeWireFormat,
        testing::ValuesIn(std::vector<WireCase>{
                {"int32", [](AParcel* p) { return AParcel_writeInt32(p, 0x01020304); }, {4, 3, 2, 1}},
                {"int64", [](AParcel* p) { return AParcel_writeInt64(p, 0x0102030405060708); },
                 {8, 7, 6, 5, 4, 3, 2, 1}},
                {"boolTrue", [](AParcel* p) { return AParcel_writeBool(p, true); }, {1, 0, 0, 0}},
                {"float", [](AParcel* p) { return AParcel_writeFloat(p, 1.0f); }, {0, 0, 0x80, 0x3f}},
                {"double", [](AParcel* p) { return AParcel_writeDouble(p, 1.0); },
                 {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},
                {"string3", [](AParcel* p) { return AParcel_writeString(p, "abc", 3); },
                 {3, 0, 0, 0, 'a', 'b', 'c', 0}},
                {"string4", [](AParcel* p) { return AParcel_writeString(p, "abcd", 4); },
                 {4, 0, 0, 0, 'a', 'b', 'c', 'd', 0, 0, 0, 0}},
                {"emptyString", [](AParcel* p) { return AParcel_writeString(p, "", 0); }, {0, 0, 0, 0, 0, 0, 0, 0}},
                {"nullString", [](AParcel* p) { return AParcel_writeString(p, nullptr, -1); },
                 {0xff, 0xff, 0xff, 0xff}},
                {"nullArray", [](AParcel* p) { return AParcel_writeParcelableArray(p, nullptr, -1, writeNoElement); },
                 {0xff, 0xff, 0xff, 0xff}},
                {"nullBinder", [](AParcel* p) { return AParcel_writeStrongBinder(p, nullptr); },
                 {0, 0, 0, 0, 0, 0, 0, 0}},
                {"okStatus", [](AParcel* p) { return AParcel_writeStatusHeader(p, AStatus_newOk()); }, {0, 0, 0, 0}},
                {"serviceSpecificStatus",
                 [](AParcel* p) {
                     AStatus* s = AStatus_fromServiceSpecificErrorWithMessage(42, "disk full");
                     binder_status_t r = AParcel_writeStatusHeader(p, s);
                     AStatus_delete(s);
                     return r;
                 },
                 {0xf8, 0xff, 0xff, 0xff, 9, 0, 0, 0, 'd', 'i', 's', 'k', ' ', 'f', 'u', 'l', 'l', 0, 0, 0, 42, 0, 0, 0}},
        }),
        bgs_test::CaseName());

// ---- Positions ----

TEST(RuntimeParcelPosition, SetPositionAcceptsZeroToLimitAndRejectsTheRest) {
    auto parcel = newParcel();
    for (int32_t bad : {-1, std::numeric_limits<int32_t>::min(), APARCEL_MAX_DATA_SIZE + 1}) {
        EXPECT_EQ(AParcel_setDataPosition(parcel.get(), bad), STATUS_BAD_VALUE) << bad;
        EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
    }
    EXPECT_EQ(AParcel_setDataPosition(parcel.get(), APARCEL_MAX_DATA_SIZE), STATUS_OK);
    int32_t value = 0;
    EXPECT_EQ(AParcel_readInt32(parcel.get(), &value), STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), APARCEL_MAX_DATA_SIZE);
}

TEST(RuntimeParcelPosition, WritePastTheEndZeroFillsTheGap) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 6), STATUS_OK);
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), -1), STATUS_OK);
    EXPECT_EQ(bytesOf(parcel.get()), (Bytes{0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
}

TEST(RuntimeParcelPosition, WriteAfterMovingBackOverwritesInPlace) {
    auto parcel = newParcel();
    for (int32_t v : {1, 2, 3}) AParcel_writeInt32(parcel.get(), v);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 4), STATUS_OK);
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), 9), STATUS_OK);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 8);
    EXPECT_EQ(bytesOf(parcel.get()), wordsToBytes({1, 9, 3}));
}

TEST(RuntimeParcelPosition, OverwritingWithAStringZeroesItsPadding) {
    auto parcel = parcelOf(wordsToBytes({-1, -1, -1}));
    ASSERT_EQ(AParcel_writeString(parcel.get(), "a", 1), STATUS_OK);
    EXPECT_EQ(bytesOf(parcel.get()), (Bytes{1, 0, 0, 0, 'a', 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
}

TEST(RuntimeParcelPosition, WriteBeyondSizeLimitFailsAndChangesNothing) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), APARCEL_MAX_DATA_SIZE - 2), STATUS_OK);
    EXPECT_EQ(AParcel_writeInt32(parcel.get(), 1), STATUS_NO_MEMORY);
    EXPECT_EQ(AParcel_writeString(parcel.get(), "x", 1), STATUS_NO_MEMORY);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 0);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), APARCEL_MAX_DATA_SIZE - 2);
}

// ---- Strings ----

struct StringCase {
    const char* name;
    std::string text;
    bool isNull;
};
void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class RuntimeParcelStrings : public testing::TestWithParam<StringCase> {};

TEST_P(RuntimeParcelStrings, RoundTripAsksAllocatorForLengthPlusOne) {
    const StringCase& c = GetParam();
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeString(parcel.get(), c.isNull ? nullptr : c.text.data(),
                                  c.isNull ? -1 : static_cast<int32_t>(c.text.size())),
              STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()) % 4, 0);
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), 77), STATUS_OK);  // the next item must still line up
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    StringSink sink;
    ASSERT_EQ(AParcel_readString(parcel.get(), &sink, StringSink::allocate), STATUS_OK);
    EXPECT_EQ(sink.requests, std::vector<int32_t>{c.isNull ? -1 : static_cast<int32_t>(c.text.size()) + 1});
    EXPECT_EQ(sink.isNull, c.isNull);
    EXPECT_EQ(sink.text(), c.text);
    if (!c.isNull) {
        EXPECT_EQ(sink.value.back(), '\0');
    }
    int32_t next = 0;
    EXPECT_EQ(AParcel_readInt32(parcel.get(), &next), STATUS_OK);
    EXPECT_EQ(next, 77);
}

INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeParcelStrings,
                         testing::ValuesIn(std::vector<StringCase>{
                                 {"null", "", true},
                                 {"empty", "", false},
                                 {"word", "hello", false},
                                 {"embeddedZeros", std::string("a\0b\0", 4), false},
                                 {"long", std::string(1001, 'z'), false},
                         }),
                         bgs_test::CaseName());

TEST(RuntimeParcelStrings, WriteRejectsInconsistentLength) {
    const std::vector<std::pair<const char*, int32_t>> cases = {{nullptr, 0}, {nullptr, 3}, {"x", -1}, {"x", -7}};
    auto parcel = newParcel();
    for (const auto& [text, length] : cases) {
        EXPECT_EQ(AParcel_writeString(parcel.get(), text, length), STATUS_BAD_VALUE) << length;
    }
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 0);
}

struct StringReadFailure {
    const char* name;
    Bytes bytes;
    StringSink sink;
    binder_status_t expected;
    std::vector<int32_t> requests;  // what the allocator must have been asked
};
void PrintTo(const StringReadFailure& c, std::ostream* os) { *os << c.name; }

class RuntimeParcelStringFailures : public testing::TestWithParam<StringReadFailure> {};

TEST_P(RuntimeParcelStringFailures, FailWithCodeAndKeepPosition) {
    StringReadFailure c = GetParam();
    auto parcel = parcelOf(c.bytes);
    EXPECT_EQ(AParcel_readString(parcel.get(), &c.sink, StringSink::allocate), c.expected);
    EXPECT_EQ(c.sink.requests, c.requests);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
}

StringSink refusing() {
    StringSink sink;
    sink.accept = false;
    return sink;
}
StringSink nullBuffer() {
    StringSink sink;
    sink.giveNullBuffer = true;
    return sink;
}

INSTANTIATE_TEST_SUITE_P(
        Runtime, RuntimeParcelStringFailures,
        testing::ValuesIn(std::vector<StringReadFailure>{
                {"noLength", {}, {}, STATUS_NOT_ENOUGH_DATA, {}},
                {"lengthBelowMinusOne", wordsToBytes({-2, 0}), {}, STATUS_BAD_VALUE, {}},
                {"lengthBeyondData", wordsToBytes({9, 0}), {}, STATUS_NOT_ENOUGH_DATA, {}},
                {"hugeLength", wordsToBytes({0x7fffffff}), {}, STATUS_NOT_ENOUGH_DATA, {}},
                {"terminatorMissing", {3, 0, 0, 0, 'a', 'b', 'c', 'd'}, {}, STATUS_BAD_VALUE, {}},
                {"nullRefused", wordsToBytes({-1}), refusing(), STATUS_UNEXPECTED_NULL, {-1}},
                {"presentRefused", {1, 0, 0, 0, 'a', 0, 0, 0}, refusing(), STATUS_NO_MEMORY, {2}},
                {"presentGivenNullBuffer", {1, 0, 0, 0, 'a', 0, 0, 0}, nullBuffer(), STATUS_NO_MEMORY, {2}},
                {"emptyGivenNullBuffer", wordsToBytes({0, 0}), nullBuffer(), STATUS_NO_MEMORY, {1}},
        }),
        bgs_test::CaseName());

// ---- Parcelable arrays ----

struct ArrayData {
    std::vector<int32_t> values;
    bool accept = true;
    int32_t allocated = -2;
    size_t failAt = SIZE_MAX;
    std::vector<size_t> visited;
};

binder_status_t writeElement(AParcel* parcel, const void* data, size_t index) {
    auto* array = static_cast<ArrayData*>(const_cast<void*>(data));
    array->visited.push_back(index);
    return index == array->failAt ? STATUS_BAD_VALUE : AParcel_writeInt32(parcel, array->values[index]);
}
bool allocateArray(void* data, int32_t length) {
    auto* array = static_cast<ArrayData*>(data);
    array->allocated = length;
    if (array->accept && length > 0) array->values.assign(static_cast<size_t>(length), 0);
    return array->accept;
}
binder_status_t readElement(const AParcel* parcel, void* data, size_t index) {
    auto* array = static_cast<ArrayData*>(data);
    array->visited.push_back(index);
    return index == array->failAt ? STATUS_BAD_TYPE : AParcel_readInt32(parcel, &array->values[index]);
}

TEST(RuntimeParcelArrays, RoundTripVisitsElementsInOrder) {
    for (const std::vector<int32_t>& values : {std::vector<int32_t>{}, std::vector<int32_t>{5, -6, 7}}) {
        ArrayData in;
        in.values = values;
        auto parcel = newParcel();
        ASSERT_EQ(AParcel_writeParcelableArray(parcel.get(), &in, static_cast<int32_t>(values.size()), writeElement),
                  STATUS_OK);
        ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
        ArrayData out;
        ASSERT_EQ(AParcel_readParcelableArray(parcel.get(), &out, allocateArray, readElement), STATUS_OK);
        EXPECT_EQ(out.allocated, static_cast<int32_t>(values.size()));
        EXPECT_EQ(out.values, values);
        EXPECT_EQ(out.visited, in.visited);
    }
}

TEST(RuntimeParcelArrays, NullArrayAllocatesMinusOneAndReadsNoElement) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeParcelableArray(parcel.get(), nullptr, -1, writeElement), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    ArrayData out;
    ASSERT_EQ(AParcel_readParcelableArray(parcel.get(), &out, allocateArray, readElement), STATUS_OK);
    EXPECT_EQ(out.allocated, -1);
    EXPECT_TRUE(out.visited.empty());
}

TEST(RuntimeParcelArrays, FirstFailingElementEndsTheWrite) {
    ArrayData in;
    in.values = {1, 2, 3};
    in.failAt = 1;
    auto parcel = newParcel();
    EXPECT_EQ(AParcel_writeParcelableArray(parcel.get(), &in, 3, writeElement), STATUS_BAD_VALUE);
    EXPECT_EQ(in.visited, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(AParcel_writeParcelableArray(parcel.get(), &in, -2, writeElement), STATUS_BAD_VALUE);
    auto empty = newParcel();
    EXPECT_EQ(AParcel_writeParcelableArray(empty.get(), nullptr, -1, nullptr), STATUS_OK) << "no element to write";
    EXPECT_EQ(AParcel_writeParcelableArray(empty.get(), nullptr, 0, nullptr), STATUS_OK);
}

struct ArrayReadFailure {
    const char* name;
    std::vector<int32_t> words;
    bool accept;
    size_t failAt;
    binder_status_t expected;
    int32_t allocated;  // -2: the allocator must not have been called
    std::vector<size_t> visited;
};
void PrintTo(const ArrayReadFailure& c, std::ostream* os) { *os << c.name; }

class RuntimeParcelArrayFailures : public testing::TestWithParam<ArrayReadFailure> {};

TEST_P(RuntimeParcelArrayFailures, FailWithCodeAndKeepPosition) {
    const ArrayReadFailure& c = GetParam();
    auto parcel = parcelOf(wordsToBytes(c.words));
    ArrayData out;
    out.accept = c.accept;
    out.failAt = c.failAt;
    EXPECT_EQ(AParcel_readParcelableArray(parcel.get(), &out, allocateArray, readElement), c.expected);
    EXPECT_EQ(out.allocated, c.allocated);
    EXPECT_EQ(out.visited, c.visited);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(
        Runtime, RuntimeParcelArrayFailures,
        testing::ValuesIn(std::vector<ArrayReadFailure>{
                {"noCount", {}, true, SIZE_MAX, STATUS_NOT_ENOUGH_DATA, -2, {}},
                {"countBelowMinusOne", {-2}, true, SIZE_MAX, STATUS_BAD_VALUE, -2, {}},
                {"countBeyondData", {3, 1, 2}, true, SIZE_MAX, STATUS_NOT_ENOUGH_DATA, -2, {}},
                {"hugeCount", {0x7fffffff, 1}, true, SIZE_MAX, STATUS_NOT_ENOUGH_DATA, -2, {}},
                {"nullRefused", {-1}, false, SIZE_MAX, STATUS_UNEXPECTED_NULL, -1, {}},
                {"presentRefused", {1, 5}, false, SIZE_MAX, STATUS_NO_MEMORY, 1, {}},
                {"elementFails", {3, 1, 2, 3}, true, 1, STATUS_BAD_TYPE, 3, {0, 1}},
        }),
        bgs_test::CaseName());

// ---- Binder entries and raw bytes ----

class RuntimeParcelBinders : public testing::Test {
  protected:
    void SetUp() override { binder = AIBinder_new(bgs_test::fakeClass(), &object); }
    void TearDown() override {
        AIBinder_decStrong(binder);
        EXPECT_EQ(object.destroyed, 1);
    }
    FakeObject object;
    AIBinder* binder = nullptr;
};

TEST_F(RuntimeParcelBinders, WrittenBinderIsHeldAndReadBackAsOwnedReference) {
    auto parcel = newParcel();
    const std::vector<AIBinder*> written = {binder, nullptr, binder};
    for (AIBinder* b : written) ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), b), STATUS_OK);
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 3);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    for (AIBinder* expected : written) {
        AIBinder* read = reinterpret_cast<AIBinder*>(0x1);
        ASSERT_EQ(AParcel_readStrongBinder(parcel.get(), &read), STATUS_OK);
        EXPECT_EQ(read, expected);
        if (read != nullptr) {
            EXPECT_EQ(AIBinder_debugGetRefCount(binder), 4) << "the reader owns a reference";
            AIBinder_decStrong(read);
        }
    }
    parcel.reset();
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 1);
}

TEST_F(RuntimeParcelBinders, OverlappingWriteDropsTheEntryAndItsReference) {
    struct Case {
        int32_t position;
        int32_t words;  // zero words written there
        bool released;
        binder_status_t readAtEntry;  // a dropped entry whose kind word survives is no object
    };
    // The entry occupies bytes 4..12.
    for (const Case& c : {Case{0, 1, false, STATUS_OK}, Case{12, 1, false, STATUS_OK}, Case{0, 2, true, STATUS_OK},
                          Case{8, 1, true, STATUS_BAD_TYPE}, Case{4, 1, true, STATUS_OK},
                          Case{2, 3, true, STATUS_OK}}) {
        SCOPED_TRACE(testing::Message() << "write " << c.words << " words at " << c.position);
        auto parcel = newParcel();
        ASSERT_EQ(AParcel_writeInt32(parcel.get(), 0), STATUS_OK);
        ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
        ASSERT_EQ(AParcel_setDataPosition(parcel.get(), c.position), STATUS_OK);
        for (int32_t i = 0; i < c.words; ++i) ASSERT_EQ(AParcel_writeInt32(parcel.get(), 0), STATUS_OK);
        EXPECT_EQ(AIBinder_debugGetRefCount(binder), c.released ? 1 : 2);
        ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 4), STATUS_OK);
        AIBinder* read = nullptr;
        EXPECT_EQ(AParcel_readStrongBinder(parcel.get(), &read), c.readAtEntry);
        EXPECT_EQ(read, c.released ? nullptr : binder);
        AIBinder_decStrong(read);
    }
}

TEST_F(RuntimeParcelBinders, RewritingAnEntryWithTheSameBinderKeepsOneReference) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 2);
}

TEST_F(RuntimeParcelBinders, ForgedEntryBesideARealOneIsBadType) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), 1), STATUS_OK);  // kind 1 with no table entry
    ASSERT_EQ(AParcel_writeInt32(parcel.get(), 0), STATUS_OK);
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    AIBinder* read = nullptr;
    EXPECT_EQ(AParcel_readStrongBinder(parcel.get(), &read), STATUS_BAD_TYPE);
    EXPECT_EQ(read, nullptr);
}

TEST_F(RuntimeParcelBinders, MarshalledBytesCarryNoObject) {
    auto parcel = newParcel();
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
    ASSERT_EQ(AParcel_writeStrongBinder(parcel.get(), nullptr), STATUS_OK);
    const Bytes bytes = bytesOf(parcel.get());
    EXPECT_EQ(bytes, wordsToBytes({1, 0, 0, 0}));
    auto copy = parcelOf(bytes);
    AIBinder* read = nullptr;
    EXPECT_EQ(AParcel_readStrongBinder(copy.get(), &read), STATUS_BAD_TYPE);
    EXPECT_EQ(AParcel_getDataPosition(copy.get()), 0);
    ASSERT_EQ(AParcel_setDataPosition(copy.get(), 8), STATUS_OK);
    EXPECT_EQ(AParcel_readStrongBinder(copy.get(), &read), STATUS_OK);
    EXPECT_EQ(read, nullptr);
    // Unmarshalling over a parcel that holds a binder releases it.
    ASSERT_EQ(AParcel_unmarshal(parcel.get(), bytes.data(), bytes.size()), STATUS_OK);
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 1);
    EXPECT_EQ(AParcel_readStrongBinder(parcel.get(), &read), STATUS_BAD_TYPE);
}

TEST(RuntimeParcelBinderEntries, MalformedEntriesAreBadType) {
    for (const auto& words : {std::vector<int32_t>{2, 0}, std::vector<int32_t>{-1, 0}, std::vector<int32_t>{0, 1}}) {
        auto parcel = parcelOf(wordsToBytes(words));
        AIBinder* read = nullptr;
        EXPECT_EQ(AParcel_readStrongBinder(parcel.get(), &read), STATUS_BAD_TYPE) << words[0] << "," << words[1];
        EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
    }
}

TEST(RuntimeParcelRawBytes, MarshalCopiesRangesInsideTheDataOnly) {
    auto parcel = parcelOf(wordsToBytes({0x04030201, 0x08070605}));
    uint8_t out[8] = {};
    EXPECT_EQ(AParcel_marshal(parcel.get(), out, 2, 4), STATUS_OK);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{3, 4, 5, 6}));
    EXPECT_EQ(AParcel_marshal(parcel.get(), out, 8, 0), STATUS_OK);
    EXPECT_EQ(AParcel_marshal(parcel.get(), out, 9, 0), STATUS_BAD_VALUE);
    EXPECT_EQ(AParcel_marshal(parcel.get(), out, 4, 5), STATUS_BAD_VALUE);
    EXPECT_EQ(AParcel_marshal(parcel.get(), out, SIZE_MAX, 2), STATUS_BAD_VALUE);
}

TEST(RuntimeParcelRawBytes, UnmarshalRejectsBadInputAndKeepsTheParcel) {
    auto parcel = parcelOf(wordsToBytes({5}));
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 4), STATUS_OK);
    const uint8_t byte = 0;
    EXPECT_EQ(AParcel_unmarshal(parcel.get(), &byte, size_t{APARCEL_MAX_DATA_SIZE} + 1), STATUS_BAD_VALUE);
    EXPECT_EQ(AParcel_unmarshal(parcel.get(), nullptr, 4), STATUS_BAD_VALUE);
    EXPECT_EQ(bytesOf(parcel.get()), wordsToBytes({5}));
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 4);
    EXPECT_EQ(AParcel_unmarshal(parcel.get(), nullptr, 0), STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 0);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
}

}  // namespace
