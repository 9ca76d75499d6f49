// Proxies against a scripted remote side: the exact request each method
// sends, the fallback to the default implementation on an unknown code, the
// version and hash caches, and replies that cannot be read.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "case_name.h"
#include "test_peers.h"

namespace {

using namespace bgs_test;
using aidl_ns::BpBGService;
using aidl_ns::BpEventCallback;
using ndk::SharedRefBase;

class ServiceProxyAgainstFake : public ::testing::Test {
  protected:
    FakeRemote remote{IBGService::descriptor};
    std::shared_ptr<IBGService> proxy = IBGService::fromBinder(remote.binder());
};

class CallbackProxyAgainstFake : public ::testing::Test {
  protected:
    FakeRemote remote{IEventCallback::descriptor};
    std::shared_ptr<IEventCallback> proxy = IEventCallback::fromBinder(remote.binder());
};

// The bytes `write` appends to a fresh parcel.
std::vector<uint8_t> bytesWritten(const std::function<void(ParcelWriter&, AParcel*)>& write) {
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    write(writer, parcel.get());
    return bytesOf(parcel.get());
}

std::vector<uint8_t> binderEntryBytes(AIBinder* binder) {
    auto parcel = newParcel();
    EXPECT_EQ(AParcel_writeStrongBinder(parcel.get(), binder), STATUS_OK);
    return bytesOf(parcel.get());
}

// The remote side received exactly `expected`, code and bytes, in order.
void expectRequests(const FakeRemote& remote, const std::vector<FakeRemote::Request>& expected) {
    const auto sent = remote.requests();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].code, expected[i].code) << i;
        EXPECT_EQ(sent[i].bytes, expected[i].bytes) << "code " << expected[i].code;
    }
}

TEST_F(ServiceProxyAgainstFake, FromBinderGivesAProxyForAForeignClassOfTheSameDescriptor) {
    ASSERT_NE(proxy, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<BpBGService>(proxy), nullptr);
    EXPECT_EQ(IEventCallback::fromBinder(remote.binder()), nullptr);  // another descriptor
}

TEST_F(ServiceProxyAgainstFake, EachMethodSendsItsCodeAndArgumentsExactly) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t { return replyOk(out); };
    auto callback = SharedRefBase::makeRef<RecordingCallback>();
    ndk::SpAIBinder callbackBinder = callback->asBinder();
    int32_t result = 0;
    // Replies carry no result, so calls with one fail after sending: the
    // request is what is checked here.
    proxy->setCapabilities("abc");
    proxy->setEventCallback(-2, callback, &result);
    proxy->setTimestamps(3, -4);
    proxy->setRequstCompleted(int64_t{5} << 33);
    proxy->setGalleryEventCallback(6, nullptr, &result);
    proxy->getGalleryAvailability(7, &result);
    proxy->getStorageLoadCompletedStatus(8, &result);
    proxy->setRequstCompletedImageName("");

    auto concat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<FakeRemote::Request> expected = {
            {1, bytesWritten([](ParcelWriter& w, AParcel*) { w.str("abc"); })},
            {2, concat(bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(-2); }),
                       binderEntryBytes(callbackBinder.get()))},
            {3, bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(3).i64(-4); })},
            {4, bytesWritten([](ParcelWriter& w, AParcel*) { w.i64(int64_t{5} << 33); })},
            {5, concat(bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(6); }),
                       binderEntryBytes(nullptr))},
            {6, bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(7); })},
            {7, bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(8); })},
            {8, bytesWritten([](ParcelWriter& w, AParcel*) { w.str(""); })},
    };
    expectRequests(remote, expected);
}

TEST_F(CallbackProxyAgainstFake, EachMethodSendsItsCodeAndArgumentsExactly) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t { return replyOk(out); };
    CallbackData data;
    data.text = "t";
    data.images = {Image{1, 2, 3}};
    CallbackInfo info;
    info.text2 = "x";
    std::string result;
    proxy->notifyCallback(data, &result);
    proxy->notifySnapshotAvailability(-1, &result);
    proxy->notifyCallbackInfo(info, &result);
    proxy->onCaptureCompleted("", 9, "", &result);
    proxy->onCaptureFailed("a", 0, "b", &result);

    const std::vector<FakeRemote::Request> expected = {
            {1, bytesWritten([&](ParcelWriter& w, AParcel* p) {
                 w.i32(1);
                 ASSERT_EQ(data.writeToParcel(p), STATUS_OK);
             })},
            {2, bytesWritten([](ParcelWriter& w, AParcel*) { w.i32(-1); })},
            {3, bytesWritten([&](ParcelWriter& w, AParcel* p) {
                 w.i32(1);
                 ASSERT_EQ(info.writeToParcel(p), STATUS_OK);
             })},
            // Two empty strings, never null ones.
            {4, bytesWritten([](ParcelWriter& w, AParcel*) { w.str("").i32(9).str(""); })},
            {5, bytesWritten([](ParcelWriter& w, AParcel*) { w.str("a").i32(0).str("b"); })},
    };
    expectRequests(remote, expected);
}

TEST_F(ServiceProxyAgainstFake, UnknownCodeWithoutDefaultGivesUnknownTransaction) {
    ASSERT_EQ(IBGService::getDefaultImpl(), nullptr);
    int32_t result = 5;
    UniqueAStatus status = proxy->getGalleryAvailability(1, &result);
    EXPECT_EQ(status.getStatus(), STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(status.getExceptionCode(), EX_TRANSACTION_FAILED);
    EXPECT_EQ(result, 5);
}

TEST_F(CallbackProxyAgainstFake, UnknownCodeWithoutDefaultGivesUnknownTransaction) {
    ASSERT_EQ(IEventCallback::getDefaultImpl(), nullptr);
    std::string result = "kept";
    EXPECT_EQ(proxy->onCaptureFailed("a", 1, "b", &result).getStatus(),
              STATUS_UNKNOWN_TRANSACTION);
    EXPECT_EQ(result, "kept");
}

// Installing a default implementation lasts for the process, so these run in
// a child process and report through the exit code.
#define EXPECT_IN_CHILD(body) EXPECT_EXIT({ body; std::exit(::testing::Test::HasFailure() ? 1 : 0); }, ::testing::ExitedWithCode(0), "")

class ServiceDefault : public aidl_ns::IBGServiceDefault {
  public:
    CallLog log;
    UniqueAStatus getGalleryAvailability(int32_t value, int32_t* result) override {
        log.add(describe("getGalleryAvailability", value));
        *result = 321;
        return UniqueAStatus::fromServiceSpecificErrorWithMessage(77, "from default");
    }
};

TEST_F(ServiceProxyAgainstFake, UnknownCodeWithDefaultRunsItWithTheCallersArguments) {
    EXPECT_IN_CHILD({
        auto fallback = SharedRefBase::makeRef<ServiceDefault>();
        ASSERT_TRUE(IBGService::setDefaultImpl(fallback));
        int32_t result = 0;
        UniqueAStatus status = proxy->getGalleryAvailability(9, &result);
        EXPECT_EQ(status.getServiceSpecificError(), 77);
        EXPECT_STREQ(status.getMessage(), "from default");
        EXPECT_EQ(result, 321);
        EXPECT_EQ(fallback->log.calls(), std::vector<std::string>{"getGalleryAvailability(9)"});
        // A plain default answers the other methods with -74 again.
        EXPECT_EQ(proxy->setCapabilities("x").getStatus(), STATUS_UNKNOWN_TRANSACTION);
        // And the queries with 0 and "", which are not cached.
        int32_t version = -1;
        std::string hash = "x";
        EXPECT_TRUE(proxy->getInterfaceVersion(&version).isOk());
        EXPECT_TRUE(proxy->getInterfaceHash(&hash).isOk());
        EXPECT_EQ(version, 0);
        EXPECT_EQ(hash, "");
        const size_t before = remote.transactions();
        proxy->getInterfaceVersion(&version);
        proxy->getInterfaceHash(&hash);
        EXPECT_EQ(remote.transactions(), before + 2);
    });
}

TEST_F(CallbackProxyAgainstFake, UnknownCodeWithDefaultRunsItWithTheCallersArguments) {
    EXPECT_IN_CHILD({
        auto fallback = SharedRefBase::makeRef<RecordingCallback>();
        ASSERT_TRUE(IEventCallback::setDefaultImpl(fallback));
        std::string result;
        EXPECT_TRUE(proxy->onCaptureFailed("a", 1, "b", &result).isOk());
        EXPECT_EQ(result, "onCaptureFailed:ok");
        EXPECT_EQ(fallback->log.calls(), std::vector<std::string>{"onCaptureFailed(a, 1, b)"});
    });
}

// setDefaultImpl may replace the object while other threads' calls fall
// back to it: each call runs in an object it keeps alive and answers from it.
// The race itself is what ThreadSanitizer (and, through the released object,
// AddressSanitizer) would report.
TEST_F(ServiceProxyAgainstFake, DefaultImplReplacedWhileCallsFallBackToIt) {
    EXPECT_IN_CHILD({
        ASSERT_TRUE(IBGService::setDefaultImpl(SharedRefBase::makeRef<ServiceDefault>()));
        std::atomic<bool> calling{true};
        std::thread setter([&] {
            while (calling.load()) {
                IBGService::setDefaultImpl(SharedRefBase::makeRef<ServiceDefault>());
            }
        });
        std::atomic<int> wrong{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 2; ++t) {
            callers.emplace_back([&] {
                for (int i = 0; i < 2000; ++i) {
                    int32_t result = 0;
                    UniqueAStatus status = proxy->getGalleryAvailability(i, &result);
                    if (status.getServiceSpecificError() != 77 || result != 321) ++wrong;
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        calling = false;
        setter.join();
        EXPECT_EQ(wrong.load(), 0);
    });
}

TEST_F(ServiceProxyAgainstFake, VersionIsAskedOnceThenCached) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        binder_status_t status = replyOk(out);
        return status != STATUS_OK ? status : AParcel_writeInt32(out, 3);
    };
    int32_t version = 0;
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, 3);
    ASSERT_EQ(remote.transactions(), 1u);
    EXPECT_EQ(remote.requests()[0].code, 16777215u);
    EXPECT_TRUE(remote.requests()[0].bytes.empty());
}

TEST_F(ServiceProxyAgainstFake, FailedOrUnknownVersionIsAskedAgain) {
    int32_t answer = -1;
    bool fail = true;
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        if (fail) return replyStatus(out, UniqueAStatus::fromExceptionCode(EX_ILLEGAL_STATE));
        binder_status_t status = replyOk(out);
        return status != STATUS_OK ? status : AParcel_writeInt32(out, answer);
    };
    int32_t version = 0;
    EXPECT_FALSE(proxy->getInterfaceVersion(&version).isOk());  // failure status
    fail = false;
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());  // remote -1: not a value
    EXPECT_EQ(version, -1);
    answer = 2;
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, 2);
    EXPECT_EQ(remote.transactions(), 3u);
}

TEST_F(ServiceProxyAgainstFake, UnreadableVersionIsNotCached) {
    bool truncated = true;
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        binder_status_t status = replyOk(out);
        return status != STATUS_OK || truncated ? status : AParcel_writeInt32(out, 4);
    };
    int32_t version = 0;
    EXPECT_EQ(proxy->getInterfaceVersion(&version).getStatus(), STATUS_NOT_ENOUGH_DATA);
    truncated = false;
    ASSERT_TRUE(proxy->getInterfaceVersion(&version).isOk());
    EXPECT_EQ(version, 4);
    EXPECT_EQ(remote.transactions(), 2u);
}

TEST_F(CallbackProxyAgainstFake, UnreadableHashIsNotCached) {
    bool nullHash = true;
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        binder_status_t status = replyOk(out);
        if (status != STATUS_OK) return status;
        return nullHash ? AParcel_writeString(out, nullptr, -1)
                        : ndk::AParcel_writeData(out, std::string("h2"));
    };
    std::string hash = "kept";
    EXPECT_FALSE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, "kept");
    nullHash = false;
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, "h2");
    EXPECT_EQ(remote.transactions(), 2u);
}

TEST_F(CallbackProxyAgainstFake, HashIsCachedOnceReadAndMinusOneNeverIs) {
    std::string answer = "-1";
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        binder_status_t status = replyOk(out);
        return status != STATUS_OK ? status : ndk::AParcel_writeData(out, answer);
    };
    std::string hash;
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, "-1");
    answer = "abc";
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    answer = "changed";
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, "abc");
    EXPECT_EQ(remote.transactions(), 2u);
    EXPECT_EQ(remote.requests()[0].code, 16777214u);
}

TEST_F(CallbackProxyAgainstFake, FailedHashQueryIsAskedAgain) {
    bool fail = true;
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        if (fail) return STATUS_DEAD_OBJECT;  // transport failure
        binder_status_t status = replyOk(out);
        return status != STATUS_OK ? status : ndk::AParcel_writeData(out, std::string("h"));
    };
    std::string hash = "before";
    EXPECT_EQ(proxy->getInterfaceHash(&hash).getStatus(), STATUS_DEAD_OBJECT);
    EXPECT_EQ(hash, "before");
    fail = false;
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    ASSERT_TRUE(proxy->getInterfaceHash(&hash).isOk());
    EXPECT_EQ(hash, "h");
    EXPECT_EQ(remote.transactions(), 2u);
}

// Replies that are not what the proxy expects after an OK status header.
struct BadReply {
    const char* name;
    std::function<binder_status_t(AParcel*)> write;
    binder_status_t expected;
};
void PrintTo(const BadReply& c, std::ostream* os) { *os << c.name; }

class UnreadableReply : public ServiceProxyAgainstFake,
                        public ::testing::WithParamInterface<BadReply> {};

TEST_P(UnreadableReply, GivesAStatusFromTheReadsCode) {
    remote.handler = [&](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        return GetParam().write(out);
    };
    int32_t result = 0;
    UniqueAStatus status = proxy->getStorageLoadCompletedStatus(1, &result);
    EXPECT_EQ(status.getExceptionCode(), EX_TRANSACTION_FAILED);
    EXPECT_EQ(status.getStatus(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Replies, UnreadableReply,
        ::testing::Values(
                BadReply{"OkHeaderWithoutResult", [](AParcel* out) { return replyOk(out); },
                         STATUS_NOT_ENOUGH_DATA},
                BadReply{"EmptyReply", [](AParcel*) { return STATUS_OK; },
                         STATUS_NOT_ENOUGH_DATA},
                BadReply{"HalfAResult",
                         [](AParcel* out) {
                             // An OK header, then two bytes of the int32.
                             const uint8_t bytes[] = {0, 0, 0, 0, 7, 0};
                             return AParcel_unmarshal(out, bytes, sizeof(bytes));
                         },
                         STATUS_NOT_ENOUGH_DATA}),
        bgs_test::CaseName());

TEST_F(CallbackProxyAgainstFake, NullStringResultFailsAndKeepsTheCallersString) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t {
        binder_status_t status = replyOk(out);
        return status != STATUS_OK ? status : AParcel_writeString(out, nullptr, -1);
    };
    std::string result = "earlier";
    UniqueAStatus status = proxy->notifySnapshotAvailability(1, &result);
    EXPECT_FALSE(status.isOk());
    EXPECT_EQ(result, "earlier");
}

TEST_F(ServiceProxyAgainstFake, TransportFailureIsReturnedAsItsStatusCode) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel*) -> binder_status_t {
        return STATUS_FAILED_TRANSACTION;
    };
    EXPECT_EQ(proxy->setRequstCompleted(1).getStatus(), STATUS_FAILED_TRANSACTION);
}

TEST_F(ServiceProxyAgainstFake, OkWithoutResultIsAFreshOkStatus) {
    remote.handler = [](transaction_code_t, const AParcel*, AParcel* out) -> binder_status_t { return replyOk(out); };
    UniqueAStatus status = proxy->setTimestamps(1, 2);
    EXPECT_TRUE(status.isOk());
    EXPECT_EQ(status.getExceptionCode(), EX_NONE);
}

TEST(ProxyWriteFailure, RecordThatCannotBeWrittenSendsNothing) {
    FakeRemote remote{IEventCallback::descriptor};
    auto proxy = IEventCallback::fromBinder(remote.binder());
    CallbackData huge;
    huge.text.assign(APARCEL_MAX_DATA_SIZE, 'x');  // larger than any parcel may hold
    std::string result = "kept";
    UniqueAStatus status = proxy->notifyCallback(huge, &result);
    EXPECT_EQ(status.getStatus(), STATUS_NO_MEMORY);
    EXPECT_NE(status.getDescription().find("over the parcel size limit"), std::string::npos)
            << status.getDescription();
    EXPECT_EQ(remote.transactions(), 0u);
    EXPECT_EQ(result, "kept");
}

}  // namespace
