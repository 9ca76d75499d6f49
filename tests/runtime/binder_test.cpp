// Binder classes, reference counts, weak binders, dump and transactions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime_test_support.h"

namespace {

using bgs_test::bytesOf;
using bgs_test::FakeObject;
using bgs_test::fakeClass;
using bgs_test::newParcel;
using bgs_test::ParcelPtr;
using bgs_test::twinClass;

binder_status_t serveNothing(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }

// ---- Classes ----

TEST(RuntimeBinderClass, DefineRejectsMissingDescriptorOrTransactionFunction) {
    EXPECT_EQ(AIBinder_Class_define(nullptr, nullptr, nullptr, serveNothing), nullptr);
    EXPECT_EQ(AIBinder_Class_define("", nullptr, nullptr, serveNothing), nullptr);
    EXPECT_EQ(AIBinder_Class_define("bgs.test.INoServe", nullptr, nullptr, nullptr), nullptr);
}

TEST(RuntimeBinderClass, DescriptorIsCopied) {
    char descriptor[] = "bgs.test.ICopied";
    AIBinder_Class* clazz = AIBinder_Class_define(descriptor, nullptr, nullptr, serveNothing);
    std::strcpy(descriptor, "xxxxxxxxxxxxxxx");
    EXPECT_STREQ(AIBinder_Class_getDescriptor(clazz), "bgs.test.ICopied");
}

TEST(RuntimeBinderClass, FunctionNameEntryINamesCodeIPlusOne) {
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.INames", nullptr, nullptr, serveNothing);
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(clazz), 0u);
    std::string first = "first";
    const char* names[] = {first.c_str(), nullptr, "third"};
    AIBinder_Class_setTransactionCodeToFunctionNameMap(clazz, names, 3);
    first = "changed";
    AIBinder_Class_setTransactionCodeToFunctionNameMap(clazz, nullptr, 2);  // ignored
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(clazz), 3u);
    EXPECT_STREQ(AIBinder_Class_getFunctionName(clazz, 1), "first");
    EXPECT_EQ(AIBinder_Class_getFunctionName(clazz, 2), nullptr);
    EXPECT_STREQ(AIBinder_Class_getFunctionName(clazz, 3), "third");
    EXPECT_EQ(AIBinder_Class_getFunctionName(clazz, 0), nullptr);
    EXPECT_EQ(AIBinder_Class_getFunctionName(clazz, 4), nullptr);
    const char* replacement[] = {"only"};
    AIBinder_Class_setTransactionCodeToFunctionNameMap(clazz, replacement, 1);
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(clazz), 1u);
    EXPECT_STREQ(AIBinder_Class_getFunctionName(clazz, 1), "only");
}

// ---- Lifecycle ----

TEST(RuntimeBinderLifecycle, LastStrongReferenceRunsOnDestroyOnce) {
    FakeObject object;
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    ASSERT_NE(binder, nullptr);
    EXPECT_EQ(object.created, 1);
    EXPECT_EQ(AIBinder_getUserData(binder), &object);
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 1);
    AIBinder_incStrong(binder);
    AIBinder_decStrong(binder);
    EXPECT_EQ(object.destroyed, 0);
    AIBinder_decStrong(binder);
    EXPECT_EQ(object.destroyed, 1);
}

TEST(RuntimeBinderLifecycle, WithoutOnCreateTheArgumentIsTheUserData) {
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.IPlain", nullptr, nullptr, serveNothing);
    int args = 0;
    AIBinder* binder = AIBinder_new(clazz, &args);
    EXPECT_EQ(AIBinder_getUserData(binder), &args);
    AIBinder_decStrong(binder);
}

TEST(RuntimeBinderLifecycle, WeakPromotesOnlyWhileStrongReferencesExist) {
    FakeObject object;
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    AIBinder_Weak* weak = AIBinder_Weak_new(binder);
    AIBinder* promoted = AIBinder_Weak_promote(weak);
    EXPECT_EQ(promoted, binder);
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 2);
    AIBinder_decStrong(promoted);
    AIBinder_decStrong(binder);
    EXPECT_EQ(object.destroyed, 1);
    // The weak handle keeps the memory, never the object.
    EXPECT_EQ(AIBinder_Weak_promote(weak), nullptr);
    EXPECT_EQ(AIBinder_Weak_promote(weak), nullptr);
    AIBinder_Weak_delete(weak);
}

TEST(RuntimeBinderLifecycle, WeakDeletedBeforeTheBinderLeavesItAlone) {
    FakeObject object;
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    AIBinder_Weak_delete(AIBinder_Weak_new(binder));
    EXPECT_EQ(AIBinder_debugGetRefCount(binder), 1);
    EXPECT_EQ(object.destroyed, 0);
    AIBinder_decStrong(binder);
    EXPECT_EQ(object.destroyed, 1);
}

TEST(RuntimeBinderLifecycle, LocalBinderQueries) {
    FakeObject object;
    AIBinder* binder = AIBinder_new(fakeClass(), &object);
    EXPECT_FALSE(AIBinder_isRemote(binder));
    EXPECT_TRUE(AIBinder_isAlive(binder));
    EXPECT_EQ(AIBinder_getClass(binder), fakeClass());
    EXPECT_FALSE(AIBinder_isVintfStable(binder));
    AIBinder_markVintfStability(binder);
    EXPECT_TRUE(AIBinder_isVintfStable(binder));
    EXPECT_TRUE(AIBinder_associateClass(binder, fakeClass()));
    EXPECT_FALSE(AIBinder_associateClass(binder, twinClass())) << "same descriptor, another class";
    EXPECT_EQ(AIBinder_getClass(binder), fakeClass());
    AIBinder_decStrong(binder);
}

// ---- Dump ----

std::vector<std::string> gDumpArgs;
binder_status_t recordDump(AIBinder*, int fd, const char** args, uint32_t numArgs) {
    gDumpArgs.assign(args, args + numArgs);
    return fd == 3 ? STATUS_OK : STATUS_PERMISSION_DENIED;
}

TEST(RuntimeBinderDump, ForwardsToTheClassDumpOrSucceedsWithoutOne) {
    AIBinder_Class* clazz = AIBinder_Class_define("bgs.test.IDump", nullptr, nullptr, serveNothing);
    AIBinder* binder = AIBinder_new(clazz, nullptr);
    EXPECT_EQ(AIBinder_dump(binder, 3, nullptr, 0), STATUS_OK);
    AIBinder_Class_setOnDump(clazz, recordDump);
    const char* args[] = {"--verbose", "x"};
    EXPECT_EQ(AIBinder_dump(binder, 3, args, 2), STATUS_OK);
    EXPECT_EQ(gDumpArgs, (std::vector<std::string>{"--verbose", "x"}));
    EXPECT_EQ(AIBinder_dump(binder, 4, args, 0), STATUS_PERMISSION_DENIED);
    EXPECT_EQ(AIBinder_dump(binder, 3, nullptr, 1), STATUS_UNEXPECTED_NULL);
    AIBinder_decStrong(binder);
}

// ---- Transactions ----

class RuntimeTransact : public testing::Test {
  protected:
    void SetUp() override {
        binder = AIBinder_new(fakeClass(), &object);
        other = AIBinder_new(fakeClass(), &otherObject);
    }
    void TearDown() override {
        AIBinder_decStrong(binder);
        AIBinder_decStrong(other);
        EXPECT_EQ(object.destroyed, 1);
        EXPECT_EQ(otherObject.destroyed, 1);
    }
    AParcel* prepare(AIBinder* target) {
        AParcel* in = nullptr;
        EXPECT_EQ(AIBinder_prepareTransaction(target, &in), STATUS_OK);
        return in;
    }
    FakeObject object;
    FakeObject otherObject;
    AIBinder* binder = nullptr;
    AIBinder* other = nullptr;
};

TEST_F(RuntimeTransact, RequestStartsWithInterfaceHeader) {
    ParcelPtr in(prepare(binder));
    const std::string descriptor = bgs_test::kFakeDescriptor;
    // Magic "BGIF", the descriptor's length word, its bytes, a zero, padding.
    std::string text = "BGIF";
    text += static_cast<char>(descriptor.size());
    text.append(3, '\0');
    text += descriptor;
    text.append(4 - descriptor.size() % 4, '\0');
    EXPECT_EQ(bytesOf(in.get()), std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(AParcel_getDataPosition(in.get()), AParcel_getDataSize(in.get()));
}

TEST_F(RuntimeTransact, CallRunsOnTransactAfterTheHeaderAndReturnsRewoundReply) {
    object.onTransact = [](AIBinder*, transaction_code_t code, const AParcel* in, AParcel* out) {
        int32_t argument = 0;
        binder_status_t status = AParcel_readInt32(in, &argument);
        if (status == STATUS_OK) status = AParcel_writeInt32(out, argument * static_cast<int32_t>(code));
        return status;
    };
    AParcel* in = prepare(binder);
    ASSERT_EQ(AParcel_writeInt32(in, 21), STATUS_OK);
    AParcel* out = nullptr;
    ASSERT_EQ(AIBinder_transact(binder, 2, &in, &out, 0), STATUS_OK);
    EXPECT_EQ(in, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AParcel_getDataPosition(out), 0);
    int32_t result = 0;
    EXPECT_EQ(AParcel_readInt32(out, &result), STATUS_OK);
    EXPECT_EQ(result, 42);
    AParcel_delete(out);
}

TEST_F(RuntimeTransact, ErrorResultIsReturnedAndTheReplyDropped) {
    object.onTransact = [](AIBinder*, transaction_code_t, const AParcel*, AParcel* out) {
        AParcel_writeInt32(out, 1);
        return STATUS_PERMISSION_DENIED;
    };
    AParcel* in = prepare(binder);
    AParcel* out = newParcel().release();  // must be replaced by null, not deleted
    AParcel* callerParcel = out;
    EXPECT_EQ(AIBinder_transact(binder, LAST_CALL_TRANSACTION, &in, &out, 0), STATUS_PERMISSION_DENIED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(in, nullptr);
    AParcel_delete(callerParcel);
}

TEST_F(RuntimeTransact, OneWayRunsTheCallButGivesNoReplyNorResult) {
    object.onTransact = [](AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_BAD_VALUE; };
    AParcel* in = prepare(binder);
    AParcel* out = nullptr;
    EXPECT_EQ(AIBinder_transact(binder, FIRST_CALL_TRANSACTION, &in, &out, FLAG_ONEWAY), STATUS_OK);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.transactions, 1);
}

// Ways to spoil a prepared request's header; the object must never see them.
struct HeaderDamage {
    const char* name;
    const char* descriptor;  // rewritten after the magic word; null: null string
    int32_t magic;
};
void PrintTo(const HeaderDamage& c, std::ostream* os) { *os << c.name; }

class RuntimeTransactHeader : public RuntimeTransact, public testing::WithParamInterface<HeaderDamage> {};

TEST_P(RuntimeTransactHeader, MismatchIsBadTypeAndNeverReachesTheObject) {
    for (binder_flags_t flags : {binder_flags_t{0}, binder_flags_t{FLAG_ONEWAY}}) {
        const HeaderDamage& c = GetParam();
        AParcel* in = prepare(binder);
        ASSERT_EQ(AParcel_setDataPosition(in, 0), STATUS_OK);
        ASSERT_EQ(AParcel_writeInt32(in, c.magic), STATUS_OK);
        ASSERT_EQ(AParcel_writeString(in, c.descriptor, c.descriptor ? int32_t(std::strlen(c.descriptor)) : -1),
                  STATUS_OK);
        AParcel* out = nullptr;
        EXPECT_EQ(AIBinder_transact(binder, 1, &in, &out, flags), STATUS_BAD_TYPE);
        EXPECT_EQ(in, nullptr);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(object.transactions, 0);
}

constexpr int32_t kMagic = 0x46494742;
INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeTransactHeader,
                         testing::ValuesIn(std::vector<HeaderDamage>{
                                 {"wrongMagic", bgs_test::kFakeDescriptor, kMagic + 1},
                                 {"otherDescriptor", "bgs.test.IOther", kMagic},
                                 {"descriptorPrefix", "bgs.test.IFak", kMagic},
                                 {"descriptorExtended", "bgs.test.IFake2", kMagic},
                                 {"nullDescriptor", nullptr, kMagic},
                         }),
                         bgs_test::CaseName());

TEST_F(RuntimeTransact, TruncatedHeaderIsBadType) {
    AParcel* in = prepare(binder);
    ASSERT_EQ(AParcel_setDataPosition(in, 4), STATUS_OK);
    ASSERT_EQ(AParcel_writeInt32(in, 1000), STATUS_OK);  // descriptor length past the end
    AParcel* out = nullptr;
    EXPECT_EQ(AIBinder_transact(binder, 1, &in, &out, 0), STATUS_BAD_TYPE);
    EXPECT_EQ(object.transactions, 0);
}

struct RejectedCall {
    const char* name;
    transaction_code_t code;
    binder_flags_t flags;
    int request;  // 0: prepared for the binder, 1: for another binder, 2: never prepared
    binder_status_t expected;
};
void PrintTo(const RejectedCall& c, std::ostream* os) { *os << c.name; }

class RuntimeTransactRejected : public RuntimeTransact, public testing::WithParamInterface<RejectedCall> {};

TEST_P(RuntimeTransactRejected, RequestIsTakenAndTheObjectNotCalled) {
    const RejectedCall& c = GetParam();
    AParcel* in = c.request == 0 ? prepare(binder) : c.request == 1 ? prepare(other) : AParcel_create();
    AParcel* out = nullptr;
    EXPECT_EQ(AIBinder_transact(binder, c.code, &in, &out, c.flags), c.expected);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.transactions + otherObject.transactions, 0);
}

INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeTransactRejected,
                         testing::ValuesIn(std::vector<RejectedCall>{
                                 {"codeZero", 0, 0, 0, STATUS_UNKNOWN_TRANSACTION},
                                 {"codeAboveLast", LAST_CALL_TRANSACTION + 1, 0, 0, STATUS_UNKNOWN_TRANSACTION},
                                 {"codeMax", 0xffffffffu, FLAG_ONEWAY, 0, STATUS_UNKNOWN_TRANSACTION},
                                 {"unknownFlag", 1, 0x2, 0, STATUS_BAD_VALUE},
                                 {"preparedForAnother", 1, 0, 1, STATUS_BAD_VALUE},
                                 {"neverPrepared", 1, 0, 2, STATUS_BAD_VALUE},
                         }),
                         bgs_test::CaseName());

// The runtime takes no reference of its own for an in-process call: the
// caller's keeps the object alive, so a reference the object drops during
// its own call ends nothing, and the object ends when the caller lets go.
TEST_F(RuntimeTransact, ObjectDroppingItsOwnReferenceDuringACallEndsWhenTheCallerLetsGo) {
    AIBinder* transient = AIBinder_new(fakeClass(), &otherObject);
    AIBinder_incStrong(transient);  // the object's reference to itself
    otherObject.onTransact = [this](AIBinder* self, transaction_code_t, const AParcel*, AParcel*) {
        AIBinder_decStrong(self);
        return otherObject.destroyed == 0 ? STATUS_OK : STATUS_DEAD_OBJECT;
    };
    AParcel* in = prepare(transient);
    AParcel* out = nullptr;
    EXPECT_EQ(AIBinder_transact(transient, 1, &in, &out, 0), STATUS_OK);
    EXPECT_EQ(otherObject.destroyed, 0);
    AParcel_delete(out);
    AIBinder_decStrong(transient);  // the caller's
    EXPECT_EQ(otherObject.destroyed, 1);
    otherObject.destroyed = 0;  // TearDown counts `other`'s own end
}

TEST_F(RuntimeTransact, NestedCallOnAnotherBinderFromInsideATransaction) {
    otherObject.onTransact = [](AIBinder*, transaction_code_t, const AParcel*, AParcel* out) {
        return AParcel_writeInt32(out, 7);
    };
    object.onTransact = [this](AIBinder*, transaction_code_t, const AParcel*, AParcel* out) {
        AParcel* in = prepare(other);
        AParcel* reply = nullptr;
        binder_status_t status = AIBinder_transact(other, 3, &in, &reply, 0);
        int32_t value = 0;
        if (status == STATUS_OK) status = AParcel_readInt32(reply, &value);
        AParcel_delete(reply);
        return status == STATUS_OK ? AParcel_writeInt32(out, value + 1) : status;
    };
    AParcel* in = prepare(binder);
    AParcel* out = nullptr;
    ASSERT_EQ(AIBinder_transact(binder, 1, &in, &out, 0), STATUS_OK);
    int32_t value = 0;
    EXPECT_EQ(AParcel_readInt32(out, &value), STATUS_OK);
    EXPECT_EQ(value, 8);
    AParcel_delete(out);
}

}  // namespace
