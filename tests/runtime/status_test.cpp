// Status objects, code names and the reply status header.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime_test_support.h"

namespace {

using bgs_test::newParcel;

struct StatusCase {
    const char* name;
    std::function<AStatus*()> make;
    bool ok;
    binder_exception_t exception;
    int32_t serviceSpecific;
    binder_status_t status;
    const char* message;
    const char* description;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

const std::vector<StatusCase>& statusCases() {
    static const std::vector<StatusCase> cases = {
            {"newOk", [] { return AStatus_newOk(); }, true, EX_NONE, 0, STATUS_OK, "", "Status(0, EX_NONE)"},
            {"fromStatusOk", [] { return AStatus_fromStatus(STATUS_OK); }, true, EX_NONE, 0, STATUS_OK, "",
             "Status(0, EX_NONE)"},
            {"fromStatus", [] { return AStatus_fromStatus(STATUS_BAD_VALUE); }, false, EX_TRANSACTION_FAILED, 0,
             STATUS_BAD_VALUE, "", "Status(-129, EX_TRANSACTION_FAILED): 'STATUS_BAD_VALUE'"},
            // The code a parcel also gives past its size limit: the description says so.
            {"fromStatusNoMemory", [] { return AStatus_fromStatus(STATUS_NO_MEMORY); }, false,
             EX_TRANSACTION_FAILED, 0, STATUS_NO_MEMORY, "",
             "Status(-129, EX_TRANSACTION_FAILED): "
             "'STATUS_NO_MEMORY (out of memory or over the parcel size limit)'"},
            {"fromStatusUnnamed", [] { return AStatus_fromStatus(-1234); }, false, EX_TRANSACTION_FAILED, 0, -1234,
             "", "Status(-129, EX_TRANSACTION_FAILED): '-1234'"},
            {"fromExceptionNone", [] { return AStatus_fromExceptionCode(EX_NONE); }, true, EX_NONE, 0, STATUS_OK,
             "", "Status(0, EX_NONE)"},
            {"fromExceptionTransactionFailed", [] { return AStatus_fromExceptionCode(EX_TRANSACTION_FAILED); },
             false, EX_TRANSACTION_FAILED, 0, STATUS_FAILED_TRANSACTION, "",
             "Status(-129, EX_TRANSACTION_FAILED): 'STATUS_FAILED_TRANSACTION'"},
            {"fromExceptionServiceSpecific", [] { return AStatus_fromExceptionCode(EX_SERVICE_SPECIFIC); }, false,
             EX_SERVICE_SPECIFIC, 0, STATUS_FAILED_TRANSACTION, "", "Status(-8, EX_SERVICE_SPECIFIC): '0'"},
            {"fromExceptionWithMessage",
             [] { return AStatus_fromExceptionCodeWithMessage(EX_ILLEGAL_ARGUMENT, "bad arg"); }, false,
             EX_ILLEGAL_ARGUMENT, 0, STATUS_FAILED_TRANSACTION, "bad arg",
             "Status(-3, EX_ILLEGAL_ARGUMENT): 'bad arg'"},
            {"fromExceptionNullMessage", [] { return AStatus_fromExceptionCodeWithMessage(EX_SECURITY, nullptr); },
             false, EX_SECURITY, 0, STATUS_FAILED_TRANSACTION, "", "Status(-1, EX_SECURITY)"},
            {"okDropsMessage", [] { return AStatus_fromExceptionCodeWithMessage(EX_NONE, "dropped"); }, true,
             EX_NONE, 0, STATUS_OK, "", "Status(0, EX_NONE)"},
            {"transactionFailedWithMessage",
             [] { return AStatus_fromExceptionCodeWithMessage(EX_TRANSACTION_FAILED, "closed"); }, false,
             EX_TRANSACTION_FAILED, 0, STATUS_FAILED_TRANSACTION, "closed",
             "Status(-129, EX_TRANSACTION_FAILED): 'STATUS_FAILED_TRANSACTION: closed'"},
            {"serviceSpecific", [] { return AStatus_fromServiceSpecificError(-7); }, false, EX_SERVICE_SPECIFIC, -7,
             STATUS_FAILED_TRANSACTION, "", "Status(-8, EX_SERVICE_SPECIFIC): '-7'"},
            {"serviceSpecificWithMessage",
             [] { return AStatus_fromServiceSpecificErrorWithMessage(42, "disk full"); }, false,
             EX_SERVICE_SPECIFIC, 42, STATUS_FAILED_TRANSACTION, "disk full",
             "Status(-8, EX_SERVICE_SPECIFIC): '42: disk full'"},
            {"multiLineMessage", [] { return AStatus_fromExceptionCodeWithMessage(EX_ILLEGAL_STATE, "a\nb\tc"); },
             false, EX_ILLEGAL_STATE, 0, STATUS_FAILED_TRANSACTION, "a\nb\tc",
             "Status(-5, EX_ILLEGAL_STATE): 'a b c'"},
            {"nullStatus", [] { return static_cast<AStatus*>(nullptr); }, false, EX_TRANSACTION_FAILED, 0,
             STATUS_UNEXPECTED_NULL, "", "Status(-129, EX_TRANSACTION_FAILED): 'STATUS_UNEXPECTED_NULL'"},
    };
    return cases;
}

class RuntimeStatusObjects : public testing::TestWithParam<StatusCase> {};

TEST_P(RuntimeStatusObjects, GettersAndDescriptionMatchTheConstructor) {
    const StatusCase& c = GetParam();
    AStatus* status = c.make();
    EXPECT_EQ(AStatus_isOk(status), c.ok);
    EXPECT_EQ(AStatus_getExceptionCode(status), c.exception);
    EXPECT_EQ(AStatus_getServiceSpecificError(status), c.serviceSpecific);
    EXPECT_EQ(AStatus_getStatus(status), c.status);
    EXPECT_STREQ(AStatus_getMessage(status), c.message);
    const char* description = AStatus_getDescription(status);
    EXPECT_STREQ(description, c.description);
    AStatus_deleteDescription(description);
    AStatus_delete(status);
}

TEST_P(RuntimeStatusObjects, StatusHeaderRoundTripKeepsEverything) {
    const StatusCase& c = GetParam();
    AStatus* status = c.make();
    auto parcel = newParcel();
    if (status == nullptr) {
        EXPECT_EQ(AParcel_writeStatusHeader(parcel.get(), status), STATUS_UNEXPECTED_NULL);
        return;
    }
    ASSERT_EQ(AParcel_writeStatusHeader(parcel.get(), status), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    AStatus* read = nullptr;
    ASSERT_EQ(AParcel_readStatusHeader(parcel.get(), &read), STATUS_OK);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), AParcel_getDataSize(parcel.get()));
    EXPECT_EQ(AStatus_getExceptionCode(read), c.exception);
    EXPECT_EQ(AStatus_getServiceSpecificError(read), c.serviceSpecific);
    EXPECT_EQ(AStatus_getStatus(read), c.status);
    EXPECT_STREQ(AStatus_getMessage(read), c.message);
    if (c.ok) {
        EXPECT_EQ(AParcel_getDataSize(parcel.get()), 4) << "OK is the exception word alone";
    }
    AStatus_delete(read);
    AStatus_delete(status);
}

INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeStatusObjects, testing::ValuesIn(statusCases()),
                         bgs_test::CaseName());

TEST(RuntimeStatus, OkIsOneSharedObjectThatDeleteIgnores) {
    AStatus* ok = AStatus_newOk();
    EXPECT_EQ(ok, AStatus_fromStatus(STATUS_OK));
    AStatus_delete(ok);
    AStatus_delete(ok);
    EXPECT_TRUE(AStatus_isOk(AStatus_newOk()));
    AStatus_delete(nullptr);
}

TEST(RuntimeStatus, MessageIsCopied) {
    char text[] = "original";
    AStatus* status = AStatus_fromServiceSpecificErrorWithMessage(1, text);
    std::strcpy(text, "changed!");
    EXPECT_STREQ(AStatus_getMessage(status), "original");
    AStatus_delete(status);
}

TEST(RuntimeStatus, CodeAndExceptionNames) {
    const std::vector<std::pair<int32_t, const char*>> codes = {
            {STATUS_OK, "STATUS_OK"},
            {STATUS_BAD_TYPE, "STATUS_BAD_TYPE"},
            {STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
            {STATUS_UNEXPECTED_NULL, "STATUS_UNEXPECTED_NULL"},
            {STATUS_UNKNOWN_TRANSACTION, "STATUS_UNKNOWN_TRANSACTION"},
            {12345, "STATUS_UNKNOWN_CODE"}};
    for (const auto& [code, name] : codes) EXPECT_STREQ(AStatus_codeName(code), name) << code;
    const std::vector<std::pair<int32_t, const char*>> exceptions = {
            {EX_NONE, "EX_NONE"},
            {EX_SERVICE_SPECIFIC, "EX_SERVICE_SPECIFIC"},
            {EX_TRANSACTION_FAILED, "EX_TRANSACTION_FAILED"},
            {-10, "EX_UNKNOWN"}};
    for (const auto& [code, name] : exceptions) EXPECT_STREQ(AStatus_exceptionName(code), name) << code;
}

TEST(RuntimeStatusHeader, StatusWithUnknownExceptionIsNotWritten) {
    AStatus* status = AStatus_fromExceptionCode(-77);
    auto parcel = newParcel();
    EXPECT_EQ(AParcel_writeStatusHeader(parcel.get(), status), STATUS_BAD_VALUE);
    EXPECT_EQ(AParcel_getDataSize(parcel.get()), 0);
    AStatus_delete(status);
}

struct MalformedHeader {
    const char* name;
    std::vector<int32_t> words;
    binder_status_t expected;
};
void PrintTo(const MalformedHeader& c, std::ostream* os) { *os << c.name; }

class RuntimeMalformedStatusHeader : public testing::TestWithParam<MalformedHeader> {};

TEST_P(RuntimeMalformedStatusHeader, FailsWithoutMovingOrYieldingAStatus) {
    const MalformedHeader& c = GetParam();
    auto parcel = newParcel();
    for (int32_t word : c.words) ASSERT_EQ(AParcel_writeInt32(parcel.get(), word), STATUS_OK);
    ASSERT_EQ(AParcel_setDataPosition(parcel.get(), 0), STATUS_OK);
    AStatus* untouched = reinterpret_cast<AStatus*>(0x1);
    AStatus* status = untouched;
    EXPECT_EQ(AParcel_readStatusHeader(parcel.get(), &status), c.expected);
    EXPECT_EQ(status, untouched);
    EXPECT_EQ(AParcel_getDataPosition(parcel.get()), 0);
}

constexpr int32_t kAbcx = 'a' | 'b' << 8 | 'c' << 16 | 'X' << 24;  // "abc" without its zero

INSTANTIATE_TEST_SUITE_P(
        Runtime, RuntimeMalformedStatusHeader,
        testing::ValuesIn(std::vector<MalformedHeader>{
                {"empty", {}, STATUS_NOT_ENOUGH_DATA},
                {"exceptionOnly", {EX_ILLEGAL_STATE}, STATUS_NOT_ENOUGH_DATA},
                {"detailMissing", {EX_SERVICE_SPECIFIC, -1}, STATUS_NOT_ENOUGH_DATA},
                {"messageRunsPastEnd", {EX_SERVICE_SPECIFIC, 100, 0}, STATUS_NOT_ENOUGH_DATA},
                {"unknownException", {-77, -1, 0}, STATUS_BAD_VALUE},
                {"transactionFailedWithOk", {EX_TRANSACTION_FAILED, -1, STATUS_OK}, STATUS_BAD_VALUE},
                {"detailOnPlainException", {EX_ILLEGAL_ARGUMENT, -1, 5}, STATUS_BAD_VALUE},
                {"negativeMessageLength", {EX_SERVICE_SPECIFIC, -2, 0}, STATUS_BAD_VALUE},
                {"messageWithoutZero", {EX_SERVICE_SPECIFIC, 3, kAbcx, 1}, STATUS_BAD_VALUE},
        }),
        bgs_test::CaseName());

}  // namespace
