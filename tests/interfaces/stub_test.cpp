// The transaction functions, fed raw requests: unknown codes, the queries,
// arguments that cannot be read at each position, absent records, null
// strings and binders, failing implementations and untouched results.

#include <gtest/gtest.h>

#include <optional>

#include "registration.h"
#include "test_peers.h"

namespace {

using namespace bgs_test;
using aidl_ns::_aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact;
using aidl_ns::_aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact;
using ndk::SharedRefBase;

using TransactFn = binder_status_t (*)(AIBinder*, transaction_code_t, const AParcel*, AParcel*);

struct Served {
    binder_status_t status;
    std::vector<uint8_t> reply;
};

Served serve(TransactFn transact, AIBinder* binder, transaction_code_t code, const AParcel* in) {
    auto out = newParcel();
    Served served;
    served.status = transact(binder, code, in, out.get());
    served.reply = bytesOf(out.get());
    return served;
}

Served serveBytes(TransactFn transact, AIBinder* binder, transaction_code_t code,
                  const std::vector<uint8_t>& request) {
    auto in = parcelFrom(request);
    return serve(transact, binder, code, in.get());
}

std::vector<uint8_t> request(const std::function<void(ParcelWriter&)>& write) {
    auto parcel = newParcel();
    ParcelWriter writer(parcel.get());
    write(writer);
    return bytesOf(parcel.get());
}

std::vector<uint8_t> statusHeaderBytes(const UniqueAStatus& status) {
    auto parcel = newParcel();
    EXPECT_EQ(AParcel_writeStatusHeader(parcel.get(), status.get()), STATUS_OK);
    return bytesOf(parcel.get());
}

std::vector<uint8_t> okThen(const std::function<void(ParcelWriter&)>& write) {
    auto bytes = statusHeaderBytes(UniqueAStatus::ok());
    auto rest = request(write);
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

class ServiceStub : public ::testing::Test {
  protected:
    Served call(transaction_code_t code, const std::vector<uint8_t>& bytes) {
        return serveBytes(_aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact,
                          binder.get(), code, bytes);
    }
    std::shared_ptr<RecordingService> service = SharedRefBase::makeRef<RecordingService>();
    ndk::SpAIBinder binder = service->asBinder();
};

class CallbackStub : public ::testing::Test {
  protected:
    Served call(transaction_code_t code, const std::vector<uint8_t>& bytes) {
        return serveBytes(_aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact,
                          binder.get(), code, bytes);
    }
    std::shared_ptr<RecordingCallback> callback = SharedRefBase::makeRef<RecordingCallback>();
    ndk::SpAIBinder binder = callback->asBinder();
};

TEST_F(ServiceStub, UnknownCodesAreRefusedWithAnEmptyReply) {
    for (transaction_code_t code : {0u, 9u, 16777213u, 16777216u, 0xffffffffu}) {
        Served served = call(code, request([](ParcelWriter& w) { w.i32(1).i32(2); }));
        EXPECT_EQ(served.status, STATUS_UNKNOWN_TRANSACTION) << code;
        EXPECT_TRUE(served.reply.empty()) << code;
    }
    EXPECT_EQ(service->log.size(), 0u);
}

TEST_F(CallbackStub, UnknownCodesAreRefusedWithAnEmptyReply) {
    for (transaction_code_t code : {0u, 6u, 16777213u}) {
        Served served = call(code, {});
        EXPECT_EQ(served.status, STATUS_UNKNOWN_TRANSACTION) << code;
        EXPECT_TRUE(served.reply.empty()) << code;
    }
    EXPECT_EQ(callback->log.size(), 0u);
}

TEST_F(ServiceStub, QueriesAreAnsweredEvenWhenEveryMethodFails) {
    service->answer.status = [] { return UniqueAStatus::fromExceptionCode(EX_ILLEGAL_STATE); };
    Served version = call(16777215, {});
    EXPECT_EQ(version.status, STATUS_OK);
    EXPECT_EQ(version.reply, okThen([](ParcelWriter& w) { w.i32(1); }));
    Served hash = call(16777214, {});
    EXPECT_EQ(hash.status, STATUS_OK);
    EXPECT_EQ(hash.reply,
              okThen([](ParcelWriter& w) { w.str("47adb550fc6511f9d2e7e89d485edf4b45f48fae"); }));
    EXPECT_EQ(service->log.size(), 0u);
}

TEST_F(CallbackStub, QueriesAreAnsweredWithoutCallingTheImplementation) {
    EXPECT_EQ(call(16777215, {}).reply, okThen([](ParcelWriter& w) { w.i32(1); }));
    EXPECT_EQ(call(16777214, {}).reply, okThen([](ParcelWriter& w) { w.str(IEventCallback::hash); }));
    EXPECT_EQ(callback->log.size(), 0u);
}

// A valid request for every method with arguments; every strict prefix of it
// must fail with an empty reply and no call, and the whole must be served.
struct MethodRequest {
    transaction_code_t code;
    std::function<void(ParcelWriter&)> write;
    std::vector<uint8_t> bytes() const { return request(write); }
};

const std::vector<MethodRequest>& serviceRequests() {
    static const std::vector<MethodRequest> requests = {
            {1, [](ParcelWriter& w) { w.str("caps"); }},
            {2, [](ParcelWriter& w) { w.i32(5).i32(0).i32(0); }},  // value, null binder
            {3, [](ParcelWriter& w) { w.i32(1).i64(2); }},
            {4, [](ParcelWriter& w) { w.i64(3); }},
            {5, [](ParcelWriter& w) { w.i32(6).i32(0).i32(0); }},
            {6, [](ParcelWriter& w) { w.i32(7); }},
            {7, [](ParcelWriter& w) { w.i32(8); }},
            {8, [](ParcelWriter& w) { w.str("name.jpg"); }},
    };
    return requests;
}

const std::vector<MethodRequest>& callbackRequests() {
    static const std::vector<MethodRequest> requests = {
            {1, [](ParcelWriter& w) {
                 w.i32(1).beginBody().i32(1).i32(2).i32(3).i32(4).i64(5).str("t");
                 w.i32(1).i32(1).beginBody().i32(9).endBody();  // one image
                 w.boolean(true).i32(6).endBody();
             }},
            {2, [](ParcelWriter& w) { w.i32(3); }},
            {3, [](ParcelWriter& w) { w.i32(1).beginBody().i32(1).nullStr().str("").i32(2).endBody(); }},
            {4, [](ParcelWriter& w) { w.str("a").i32(1).str("b"); }},
            {5, [](ParcelWriter& w) { w.str("").i32(-1).str("c"); }},
    };
    return requests;
}

// Every strict prefix of each request fails with an empty reply and no call
// (with `prefixStatus` when given); the whole request is served.
void expectEveryPrefixRefused(const std::vector<MethodRequest>& requests, CallLog& log,
                              const std::function<Served(transaction_code_t,
                                                         const std::vector<uint8_t>&)>& call,
                              std::optional<binder_status_t> prefixStatus) {
    for (const MethodRequest& method : requests) {
        const std::vector<uint8_t> full = method.bytes();
        for (size_t length = 0; length < full.size(); ++length) {
            Served served = call(method.code, {full.begin(), full.begin() + length});
            EXPECT_NE(served.status, STATUS_OK) << "code " << method.code << " length " << length;
            if (prefixStatus) {
                EXPECT_EQ(served.status, *prefixStatus) << "length " << length;
            }
            EXPECT_TRUE(served.reply.empty());
        }
        EXPECT_EQ(log.size(), 0u) << "code " << method.code;
        EXPECT_EQ(call(method.code, full).status, STATUS_OK) << "code " << method.code;
        EXPECT_EQ(log.size(), 1u);
        log.clear();
    }
}

TEST_F(ServiceStub, ArgumentThatCannotBeReadEndsTheTransactionBeforeTheCall) {
    expectEveryPrefixRefused(
            serviceRequests(), service->log,
            [&](transaction_code_t code, const std::vector<uint8_t>& bytes) {
                return call(code, bytes);
            },
            STATUS_NOT_ENOUGH_DATA);
}

TEST_F(CallbackStub, ArgumentThatCannotBeReadEndsTheTransactionBeforeTheCall) {
    // A cut inside a record body may also fail its size check.
    expectEveryPrefixRefused(
            callbackRequests(), callback->log,
            [&](transaction_code_t code, const std::vector<uint8_t>& bytes) {
                return call(code, bytes);
            },
            std::nullopt);
}

TEST_F(ServiceStub, NullStringArgumentIsRefused) {
    for (transaction_code_t code : {1u, 8u}) {
        Served served = call(code, request([](ParcelWriter& w) { w.nullStr(); }));
        EXPECT_EQ(served.status, STATUS_UNEXPECTED_NULL);
        EXPECT_TRUE(served.reply.empty());
    }
    EXPECT_EQ(service->log.size(), 0u);
}

TEST_F(CallbackStub, NullStringArgumentIsRefused) {
    EXPECT_EQ(call(4, request([](ParcelWriter& w) { w.str("a").i32(1).nullStr(); })).status,
              STATUS_UNEXPECTED_NULL);
    EXPECT_EQ(call(5, request([](ParcelWriter& w) { w.nullStr().i32(1).str("b"); })).status,
              STATUS_UNEXPECTED_NULL);
    EXPECT_EQ(callback->log.size(), 0u);
}

TEST_F(ServiceStub, NullBinderArgumentCallsWithAnEmptyCallback) {
    for (transaction_code_t code : {2u, 5u}) {
        Served served = call(code, request([](ParcelWriter& w) { w.i32(4).i32(0).i32(0); }));
        ASSERT_EQ(served.status, STATUS_OK);
        EXPECT_EQ(served.reply, okThen([&](ParcelWriter& w) { w.i32(code == 2 ? 11 : 12); }));
    }
    EXPECT_EQ(service->eventCallback, nullptr);
    EXPECT_EQ(service->galleryCallback, nullptr);
    EXPECT_EQ(service->log.size(), 2u);
}

TEST_F(ServiceStub, CallbackBinderArgumentArrivesAsTheLocalObject) {
    auto callback = SharedRefBase::makeRef<RecordingCallback>();
    ndk::SpAIBinder callbackBinder = callback->asBinder();
    auto in = newParcel();
    ParcelWriter(in.get()).i32(4);
    ASSERT_EQ(AParcel_writeStrongBinder(in.get(), callbackBinder.get()), STATUS_OK);
    rewind(in.get());
    Served served = serve(_aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact,
                          binder.get(), 2, in.get());
    ASSERT_EQ(served.status, STATUS_OK);
    EXPECT_EQ(service->eventCallback, callback);
}

TEST_F(CallbackStub, AbsentRecordIsRefusedAndAnyOtherMarkerIsPresent) {
    for (transaction_code_t code : {1u, 3u}) {
        Served absent = call(code, request([](ParcelWriter& w) { w.i32(0); }));
        EXPECT_EQ(absent.status, STATUS_UNEXPECTED_NULL);
        EXPECT_TRUE(absent.reply.empty());
    }
    EXPECT_EQ(callback->log.size(), 0u);
    // Marker 7 with bodies holding only their size word: fields stay default.
    EXPECT_EQ(call(1, request([](ParcelWriter& w) { w.i32(7).i32(4); })).status, STATUS_OK);
    EXPECT_EQ(call(3, request([](ParcelWriter& w) { w.i32(-7).i32(4); })).status, STATUS_OK);
    ASSERT_EQ(callback->data.size(), 1u);
    EXPECT_EQ(callback->data[0], CallbackData());
    EXPECT_EQ(callback->infos.at(0), CallbackInfo());
}

TEST_F(CallbackStub, MalformedRecordBodyEndsTheTransaction) {
    Served served = call(3, request([](ParcelWriter& w) { w.i32(1).i32(3); }));  // size 3
    EXPECT_EQ(served.status, STATUS_BAD_VALUE);
    EXPECT_TRUE(served.reply.empty());
    EXPECT_EQ(callback->log.size(), 0u);
}

TEST_F(ServiceStub, FailingImplementationRepliesWithTheStatusHeaderOnly) {
    service->answer.status = [] {
        return UniqueAStatus::fromServiceSpecificErrorWithMessage(3, "no gallery");
    };
    Served served = call(6, request([](ParcelWriter& w) { w.i32(1); }));  // writes a result
    EXPECT_EQ(served.status, STATUS_OK);
    EXPECT_EQ(served.reply, statusHeaderBytes(service->answer.status()));
    Served noResult = call(4, request([](ParcelWriter& w) { w.i64(1); }));
    EXPECT_EQ(noResult.reply, statusHeaderBytes(service->answer.status()));
}

TEST_F(CallbackStub, FailingImplementationDropsItsResultString) {
    callback->answer.status = [] {
        return UniqueAStatus::fromExceptionCodeWithMessage(EX_UNSUPPORTED_OPERATION, "later");
    };
    Served served = call(2, request([](ParcelWriter& w) { w.i32(1); }));
    EXPECT_EQ(served.status, STATUS_OK);
    EXPECT_EQ(served.reply, statusHeaderBytes(callback->answer.status()));
}

TEST_F(ServiceStub, UntouchedResultIsSentAsZero) {
    service->answer.writeResult = false;
    Served served = call(7, request([](ParcelWriter& w) { w.i32(1); }));
    EXPECT_EQ(served.reply, okThen([](ParcelWriter& w) { w.i32(0); }));
}

TEST_F(CallbackStub, UntouchedResultIsSentAsAnEmptyStringNotANullOne) {
    callback->answer.writeResult = false;
    Served served = call(4, request([](ParcelWriter& w) { w.str("a").i32(1).str("b"); }));
    EXPECT_EQ(served.reply, okThen([](ParcelWriter& w) { w.str(""); }));
}

TEST(StubWithoutObject, TransactionOnABinderWithNoObjectGivesDeadObject) {
    // A binder whose user data holds nothing: the functions must not call
    // through a null object.
    AIBinder_Class* hollow = AIBinder_Class_define(
            "bgs.test.Hollow", [](void*) -> void* { return nullptr; }, [](void*) {},
            [](AIBinder*, transaction_code_t, const AParcel*, AParcel*) -> binder_status_t {
                return STATUS_OK;
            });
    ndk::SpAIBinder binder(AIBinder_new(hollow, nullptr));
    const auto args = request([](ParcelWriter& w) { w.i32(1); });
    for (TransactFn transact : {&_aidl_vendor_tolvek_hardware_aidlbgservice_IBGService_onTransact,
                                &_aidl_vendor_tolvek_hardware_aidlbgservice_IEventCallback_onTransact}) {
        Served served = serveBytes(transact, binder.get(), 2, args);
        EXPECT_EQ(served.status, STATUS_DEAD_OBJECT);
        EXPECT_TRUE(served.reply.empty());
    }
}

}  // namespace
