// Every entry point given null handles or null out-pointers answers with a
// code or its documented neutral result instead of crashing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "runtime_test_support.h"

namespace {

bool acceptString(void*, int32_t, char**) { return true; }
bool acceptArray(void*, int32_t) { return true; }
binder_status_t readNothing(const AParcel*, void*, size_t) { return STATUS_OK; }
binder_status_t writeNothing(AParcel*, const void*, size_t) { return STATUS_OK; }
binder_status_t serveNothing(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }

struct NullCall {
    const char* name;
    std::function<int64_t(AParcel* parcel)> call;  // gets a valid empty parcel where one helps
    int64_t expected;
};
void PrintTo(const NullCall& c, std::ostream* os) { *os << c.name; }

class RuntimeArgumentChecks : public testing::TestWithParam<NullCall> {};

TEST_P(RuntimeArgumentChecks, NullArgumentGivesCodeOrNeutralResult) {
    auto parcel = bgs_test::newParcel();
    EXPECT_EQ(GetParam().call(parcel.get()), GetParam().expected);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 0) << "a rejected call wrote nothing";
}

constexpr int64_t kNull = STATUS_UNEXPECTED_NULL;
constexpr int64_t kVoid = 0;  // functions without a result: they must simply return

#define CALL(expr) [](AParcel * p) -> int64_t { return (void)p, static_cast<int64_t>(expr); }
#define VOID_CALL(expr) [](AParcel * p) -> int64_t { return (void)p, (expr), kVoid; }

INSTANTIATE_TEST_SUITE_P(
        Runtime, RuntimeArgumentChecks,
        testing::ValuesIn(std::vector<NullCall>{
                {"parcelDeleteNull", VOID_CALL(AParcel_delete(nullptr)), kVoid},
                {"setPosition", CALL(AParcel_setDataPosition(nullptr, 0)), kNull},
                {"getPosition", CALL(AParcel_getDataPosition(nullptr)), -1},
                {"getSize", CALL(AParcel_getDataSize(nullptr)), -1},
                {"writeInt32", CALL(AParcel_writeInt32(nullptr, 1)), kNull},
                {"writeUint64", CALL(AParcel_writeUint64(nullptr, 1)), kNull},
                {"writeBool", CALL(AParcel_writeBool(nullptr, true)), kNull},
                {"writeString", CALL(AParcel_writeString(nullptr, "a", 1)), kNull},
                {"writeBinder", CALL(AParcel_writeStrongBinder(nullptr, nullptr)), kNull},
                {"writeArrayParcel", CALL(AParcel_writeParcelableArray(nullptr, nullptr, 0, writeNothing)), kNull},
                {"writeArrayWriter", CALL(AParcel_writeParcelableArray(p, nullptr, 1, nullptr)), kNull},
                {"writeStatusParcel", CALL(AParcel_writeStatusHeader(nullptr, AStatus_newOk())), kNull},
                {"writeStatusNull", CALL(AParcel_writeStatusHeader(p, nullptr)), kNull},
                {"readInt32Parcel", CALL(AParcel_readInt32(nullptr, nullptr)), kNull},
                {"readInt32Out", CALL(AParcel_readInt32(p, nullptr)), kNull},
                {"readUint32Out", CALL(AParcel_readUint32(p, nullptr)), kNull},
                {"readInt64Out", CALL(AParcel_readInt64(p, nullptr)), kNull},
                {"readUint64Out", CALL(AParcel_readUint64(p, nullptr)), kNull},
                {"readFloatOut", CALL(AParcel_readFloat(p, nullptr)), kNull},
                {"readDoubleOut", CALL(AParcel_readDouble(p, nullptr)), kNull},
                {"readBoolOut", CALL(AParcel_readBool(p, nullptr)), kNull},
                {"readStringParcel", CALL(AParcel_readString(nullptr, nullptr, acceptString)), kNull},
                {"readStringAllocator", CALL(AParcel_readString(p, nullptr, nullptr)), kNull},
                {"readArrayParcel", CALL(AParcel_readParcelableArray(nullptr, nullptr, acceptArray, readNothing)), kNull},
                {"readArrayAllocator", CALL(AParcel_readParcelableArray(p, nullptr, nullptr, readNothing)), kNull},
                {"readArrayReader", CALL(AParcel_readParcelableArray(p, nullptr, acceptArray, nullptr)), kNull},
                {"readBinderParcel", CALL(AParcel_readStrongBinder(nullptr, nullptr)), kNull},
                {"readBinderOut", CALL(AParcel_readStrongBinder(p, nullptr)), kNull},
                {"readStatusParcel", CALL(AParcel_readStatusHeader(nullptr, nullptr)), kNull},
                {"readStatusOut", CALL(AParcel_readStatusHeader(p, nullptr)), kNull},
                {"marshalParcel", CALL(AParcel_marshal(nullptr, nullptr, 0, 0)), kNull},
                {"marshalBuffer", CALL(AParcel_marshal(p, nullptr, 0, 4)), kNull},
                {"unmarshalParcel", CALL(AParcel_unmarshal(nullptr, nullptr, 0)), kNull},
                {"classDefineNull", CALL(AIBinder_Class_define(nullptr, nullptr, nullptr, nullptr) != nullptr), 0},
                {"classSetOnDump", VOID_CALL(AIBinder_Class_setOnDump(nullptr, nullptr)), kVoid},
                {"classSetShell", VOID_CALL(AIBinder_Class_setHandleShellCommand(nullptr, nullptr)), kVoid},
                {"classSetNames", VOID_CALL(AIBinder_Class_setTransactionCodeToFunctionNameMap(nullptr, nullptr, 3)),
                 kVoid},
                {"classDescriptor", CALL(AIBinder_Class_getDescriptor(nullptr) != nullptr), 0},
                {"classFunctionName", CALL(AIBinder_Class_getFunctionName(nullptr, 1) != nullptr), 0},
                {"classFunctionCount", CALL(AIBinder_Class_getFunctionNameCount(nullptr)), 0},
                {"binderNew", CALL(AIBinder_new(nullptr, nullptr) != nullptr), 0},
                {"markVintf", VOID_CALL(AIBinder_markVintfStability(nullptr)), kVoid},
                {"isVintf", CALL(AIBinder_isVintfStable(nullptr)), 0},
                {"isRemote", CALL(AIBinder_isRemote(nullptr)), 0},
                {"isAlive", CALL(AIBinder_isAlive(nullptr)), 0},
                {"associateNullBinder", CALL(AIBinder_associateClass(nullptr, bgs_test::fakeClass())), 0},
                {"getClass", CALL(AIBinder_getClass(nullptr) != nullptr), 0},
                {"getUserData", CALL(AIBinder_getUserData(nullptr) != nullptr), 0},
                {"incStrong", VOID_CALL(AIBinder_incStrong(nullptr)), kVoid},
                {"decStrong", VOID_CALL(AIBinder_decStrong(nullptr)), kVoid},
                {"refCount", CALL(AIBinder_debugGetRefCount(nullptr)), -1},
                {"dump", CALL(AIBinder_dump(nullptr, 1, nullptr, 0)), kNull},
                {"prepareBinder", CALL(AIBinder_prepareTransaction(nullptr, nullptr)), kNull},
                {"transactAllNull", CALL(AIBinder_transact(nullptr, 1, nullptr, nullptr, 0)), kNull},
                {"weakNew", CALL(AIBinder_Weak_new(nullptr) != nullptr), 0},
                {"weakDelete", VOID_CALL(AIBinder_Weak_delete(nullptr)), kVoid},
                {"weakPromote", CALL(AIBinder_Weak_promote(nullptr) != nullptr), 0},
                {"statusDelete", VOID_CALL(AStatus_delete(nullptr)), kVoid},
        }),
        bgs_test::CaseName());

#undef CALL
#undef VOID_CALL

// Null out-pointers on a live binder.
TEST(RuntimeArgumentChecksBinder, NullArgumentsBesideALiveBinder) {
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.IArgs", nullptr, nullptr, serveNothing);
    AIBinder* binder = AIBinder_new(clazz, nullptr);
    EXPECT_EQ(AIBinder_prepareTransaction(binder, nullptr), STATUS_UNEXPECTED_NULL);
    EXPECT_FALSE(AIBinder_associateClass(binder, nullptr));
    AParcel* in = nullptr;
    AParcel* out = nullptr;
    EXPECT_EQ(AIBinder_transact(binder, 1, &in, &out, 0), STATUS_UNEXPECTED_NULL) << "*in is null";
    EXPECT_EQ(AIBinder_transact(binder, 1, nullptr, &out, 0), STATUS_UNEXPECTED_NULL);
    EXPECT_EQ(out, nullptr);
    // A real request is taken even when another argument is null.
    ASSERT_EQ(AIBinder_prepareTransaction(binder, &in), STATUS_OK);
    EXPECT_EQ(AIBinder_transact(binder, 1, &in, nullptr, 0), STATUS_UNEXPECTED_NULL);
    EXPECT_EQ(in, nullptr);
    ASSERT_EQ(AIBinder_prepareTransaction(binder, &in), STATUS_OK);
    EXPECT_EQ(AIBinder_transact(nullptr, 1, &in, &out, 0), STATUS_UNEXPECTED_NULL);
    EXPECT_EQ(in, nullptr);
    AIBinder_decStrong(binder);
}

}  // namespace
