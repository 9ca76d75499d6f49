// The bindings bgidlc generates for every_type.bgidl, called: records keep
// their defaults and survive the wire, and each shape of method (record,
// list and nullable arguments and results, interface references both ways,
// no result, out parameters, one-way, codes with gaps) goes through a proxy
// to a stub and back, in this process and from another.
#include <aidl/bgs/test/everytype/BnPeer.h>
#include <aidl/bgs/test/everytype/BnProbe.h>
#include <aidl/bgs/test/everytype/BnShapes.h>
#include <aidl/bgs/test/everytype/BpProbe.h>
#include <aidl/bgs/test/everytype/BpShapes.h>
#include <aidl/bgs/test/everytype/IQuiet.h>
#include <android/binder_parcel.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>

#include "process_test_support.h"

namespace {

using namespace aidl::bgs::test::everytype;
using ndk::SharedRefBase;
using ndk::UniqueAStatus;

UniqueAStatus ok() { return UniqueAStatus(AStatus_newOk()); }

class Probe : public BnProbe {
  public:
    UniqueAStatus echo(const Sample& sample, Sample* out) override {
        *out = sample;
        return ok();
    }
    UniqueAStatus relabel(const std::vector<Item>& items, const std::optional<std::string>& label,
                          std::vector<Item>* out) override {
        *out = items;
        for (Item& item : *out) item.label = label;
        return ok();
    }
    UniqueAStatus swap(const std::shared_ptr<IPeer>& peer, std::shared_ptr<IPeer>* out) override {
        *out = peer;
        return ok();
    }
    UniqueAStatus flip(bool value, int64_t wide, bool* out) override {
        *out = !value && wide == std::numeric_limits<int64_t>::min();
        return ok();
    }
    UniqueAStatus nothing() override {
        ++calls;
        return ok();
    }
    int calls = 0;
};

class Peer : public BnPeer {
  public:
    UniqueAStatus back(const std::shared_ptr<IProbe>& probe, std::shared_ptr<IProbe>* out) override {
        *out = probe;
        return ok();
    }
};

TEST(EveryType, RecordsKeepTheirDefaultsAndSurviveTheWire) {
    const Sample fresh;
    EXPECT_EQ(fresh.small, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(fresh.large, std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(fresh.on);
    EXPECT_EQ(fresh.text, "q\"\\\n\t");
    EXPECT_EQ(fresh.maybe, "x");

    Sample sample;
    sample.maybe.reset();
    sample.items = {Item{1, std::nullopt}, Item{2, ""}};
    sample.nothing.resize(3);
    AParcel* parcel = AParcel_create();
    ASSERT_EQ(sample.writeToParcel(parcel), STATUS_OK);
    AParcel_setDataPosition(parcel, 0);
    Sample read;
    ASSERT_EQ(read.readFromParcel(parcel), STATUS_OK);
    AParcel_delete(parcel);
    EXPECT_EQ(read, sample) << read.toString();
    EXPECT_EQ(Item{}.toString(), "Item{id: 0, label: null}");
}

TEST(EveryType, EachMethodShapeGoesThroughAProxyAndBack) {
    const auto probe = SharedRefBase::makeRef<Probe>();
    const auto proxy = SharedRefBase::makeRef<BpProbe>(probe->asBinder());

    Sample sample;
    sample.items = {Item{7, "seven"}};
    Sample echoed;
    ASSERT_TRUE(AStatus_isOk(proxy->echo(sample, &echoed).get()));
    EXPECT_EQ(echoed, sample);

    std::vector<Item> relabelled;
    ASSERT_TRUE(AStatus_isOk(proxy->relabel({Item{1, "a"}, Item{2, "b"}}, std::nullopt, &relabelled).get()));
    EXPECT_EQ(relabelled, (std::vector<Item>{Item{1, std::nullopt}, Item{2, std::nullopt}}));

    const auto peer = SharedRefBase::makeRef<Peer>();
    std::shared_ptr<IPeer> swapped;
    ASSERT_TRUE(AStatus_isOk(proxy->swap(peer, &swapped).get()));
    EXPECT_EQ(swapped, peer);  // a local binder comes back as the object itself
    ASSERT_TRUE(AStatus_isOk(proxy->swap(nullptr, &swapped).get()));
    EXPECT_EQ(swapped, nullptr);

    bool flipped = false;
    ASSERT_TRUE(AStatus_isOk(proxy->flip(false, std::numeric_limits<int64_t>::min(), &flipped).get()));
    EXPECT_TRUE(flipped);
    ASSERT_TRUE(AStatus_isOk(proxy->nothing().get()));
    EXPECT_EQ(probe->calls, 1);

    // A version not frozen answers the marker for its hash.
    int32_t version = 0;
    std::string hash;
    ASSERT_TRUE(AStatus_isOk(proxy->getInterfaceVersion(&version).get()));
    ASSERT_TRUE(AStatus_isOk(proxy->getInterfaceHash(&hash).get()));
    EXPECT_EQ(version, 2);
    EXPECT_EQ(hash, "notfrozen");
    EXPECT_STREQ(IQuiet::descriptor, "bgs.test.everytype.IQuiet");
}

/*
 * post(v) adds v to the posted values, and refuses a negative v; post(kHeld)
 * first waits for the next call of posted (at most bgs_process_test::
 * kPatience, then it is dropped), so that it is counted only when its
 * caller did not wait for it. split
 * writes every out value, then fails with service-specific 7 for keep < 0:
 * head is the first `keep` bytes (absent for an empty text), rest an item
 * per byte after them, the result the text's size.
 */
class Shapes : public BnShapes {
  public:
    static constexpr int32_t kRefused = 7;
    static constexpr int32_t kHeld = 1000;

    UniqueAStatus post(int32_t value) override {
        if (value < 0) return UniqueAStatus(AStatus_fromExceptionCode(EX_ILLEGAL_ARGUMENT));
        std::unique_lock<std::mutex> lock(mutex_);
        const int queries = queries_;
        if (value == kHeld &&
            !queried_.wait_for(lock, bgs_process_test::kPatience, [&] { return queries_ != queries; })) {
            return UniqueAStatus(AStatus_fromExceptionCode(EX_ILLEGAL_STATE));
        }
        ++count_;
        sum_ += value;
        return ok();
    }
    UniqueAStatus split(const std::string& text, std::optional<std::string>* head, int64_t keep,
                        std::vector<Item>* rest, int32_t* size) override {
        const size_t cut = std::min(text.size(), static_cast<size_t>(std::max<int64_t>(keep, 0)));
        if (!text.empty()) *head = text.substr(0, cut);
        for (size_t i = cut; i < text.size(); ++i) rest->push_back(Item{text[i], std::nullopt});
        *size = static_cast<int32_t>(text.size());
        return keep < 0 ? UniqueAStatus(AStatus_fromServiceSpecificError(kRefused)) : ok();
    }
    UniqueAStatus posted(int64_t* sum, int32_t* count) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        *sum = sum_;
        *count = count_;
        ++queries_;
        queried_.notify_all();
        return ok();
    }

  private:
    std::mutex mutex_;
    std::condition_variable queried_;
    int queries_ = 0;
    int32_t count_ = 0;
    int64_t sum_ = 0;
};

// Out values arrive in parameter order, and only with a successful status.
void expectSplitOutValues(IShapes& shapes) {
    std::optional<std::string> head;
    std::vector<Item> rest;
    int32_t size = 0;
    ASSERT_TRUE(AStatus_isOk(shapes.split("abc", &head, 1, &rest, &size).get()));
    EXPECT_EQ(head, "a");
    EXPECT_EQ(rest, (std::vector<Item>{Item{'b', std::nullopt}, Item{'c', std::nullopt}}));
    EXPECT_EQ(size, 3);

    ASSERT_TRUE(AStatus_isOk(shapes.split("", &head, 0, &rest, &size).get()));
    EXPECT_EQ(head, std::nullopt);  // untouched by the implementation: goes out absent
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(size, 0);

    head = "kept";
    rest = {Item{42, "kept"}};
    size = -1;
    const UniqueAStatus refused = shapes.split("xyz", &head, -1, &rest, &size);
    EXPECT_EQ(AStatus_getServiceSpecificError(refused.get()), Shapes::kRefused);
    EXPECT_EQ(head, "kept");
    EXPECT_EQ(rest, (std::vector<Item>{Item{42, "kept"}}));
    EXPECT_EQ(size, -1);
}

// One-way posts, a refused one included, all report OK to the sender; the
// accepted ones are eventually counted.
void expectPostsCounted(IShapes& shapes, const std::vector<int32_t>& values, int32_t accepted, int64_t total) {
    for (int32_t value : values) EXPECT_TRUE(AStatus_isOk(shapes.post(value).get())) << value;
    int64_t sum = 0;
    int32_t count = 0;
    EXPECT_TRUE(bgs_process_test::eventually([&] {
        return AStatus_isOk(shapes.posted(&sum, &count).get()) && count == accepted;
    }));
    EXPECT_EQ(count, accepted);
    EXPECT_EQ(sum, total);
}

// A raw transaction on `binder`: `write` fills the request after its header.
binder_status_t transactRaw(AIBinder* binder, transaction_code_t code, binder_flags_t flags,
                            ndk::UniqueAParcel* reply, const std::function<binder_status_t(AParcel*)>& write = {}) {
    ndk::UniqueAParcel request;
    binder_status_t status = AIBinder_prepareTransaction(binder, request.outPtr());
    if (status == STATUS_OK && write) status = write(request.get());
    return status == STATUS_OK ? AIBinder_transact(binder, code, request.outPtr(), reply->outPtr(), flags)
                               : status;
}

// Codes 1..11 with methods at 3, 10 and 11 only.
void expectCodeGapsUnknown(AIBinder* binder) {
    for (transaction_code_t code : {1u, 2u, 4u, 9u, 12u}) {
        ndk::UniqueAParcel reply;
        EXPECT_EQ(transactRaw(binder, code, 0, &reply), STATUS_UNKNOWN_TRANSACTION) << code;
    }
}

TEST(EveryType, OutParametersComeBackInOrderOnlyOnSuccess) {
    const auto shapes = SharedRefBase::makeRef<Shapes>();
    expectSplitOutValues(*SharedRefBase::makeRef<BpShapes>(shapes->asBinder()));

    // On the wire: the status header, the out parameters in declaration
    // order, then the result, and nothing after.
    ndk::UniqueAParcel reply;
    ASSERT_EQ(transactRaw(shapes->asBinder().get(), IShapes::TRANSACTION_split, 0, &reply,
                          [](AParcel* request) {
                              binder_status_t status = ndk::AParcel_writeData(request, std::string("abc"));
                              return status == STATUS_OK ? AParcel_writeInt64(request, 2) : status;
                          }),
              STATUS_OK);
    UniqueAStatus header;
    std::optional<std::string> head;
    std::vector<Item> rest;
    int32_t size = 0;
    ASSERT_EQ(AParcel_readStatusHeader(reply.get(), header.outPtr()), STATUS_OK);
    ASSERT_TRUE(AStatus_isOk(header.get()));
    ASSERT_EQ(ndk::AParcel_readData(reply.get(), &head), STATUS_OK);
    ASSERT_EQ(ndk::AParcel_readData(reply.get(), &rest), STATUS_OK);
    ASSERT_EQ(AParcel_readInt32(reply.get(), &size), STATUS_OK);
    EXPECT_EQ(head, "ab");
    EXPECT_EQ(rest, (std::vector<Item>{Item{'c', std::nullopt}}));
    EXPECT_EQ(size, 3);
    EXPECT_EQ(AParcel_getDataPosition(reply.get()), AParcel_getDataSize(reply.get()));
}

TEST(EveryType, OnewayMethodsWriteNoReplyAndCodesKeepTheirGaps) {
    const auto shapes = SharedRefBase::makeRef<Shapes>();
    const ndk::SpAIBinder binder = shapes->asBinder();
    expectPostsCounted(*SharedRefBase::makeRef<BpShapes>(binder), {5, -1, 7}, 2, 12);

    // Sent two-way by a caller that does not know better: served, but the
    // reply stays empty (no status header).
    ndk::UniqueAParcel reply;
    ASSERT_EQ(transactRaw(binder.get(), IShapes::TRANSACTION_post, 0, &reply,
                          [](AParcel* request) { return AParcel_writeInt32(request, 1); }),
              STATUS_OK);
    EXPECT_EQ(AParcel_getDataSize(reply.get()), 0);

    expectCodeGapsUnknown(binder.get());
    // The runtime names each code by the method that has it, and no other.
    const AIBinder_Class* clazz = AIBinder_getClass(binder.get());
    EXPECT_EQ(AIBinder_Class_getFunctionNameCount(clazz), 11u);
    const std::vector<std::pair<transaction_code_t, const char*>> names = {
            {1, nullptr}, {3, "post"}, {4, nullptr}, {9, nullptr}, {10, "split"}, {11, "posted"}, {12, nullptr}};
    for (const auto& [code, name] : names) {
        const char* found = AIBinder_Class_getFunctionName(clazz, code);
        EXPECT_EQ(found == nullptr ? std::string("(none)") : std::string(found),
                  name == nullptr ? std::string("(none)") : std::string(name))
                << code;
    }
}

// ---- From another process ----

BGS_TEST_ROLE(shapesService) {
    return bgs_process_test::serve(
            bgs_process_test::publish(SharedRefBase::makeRef<Shapes>()->asBinder(), args.text(0)));
}

class ProcessEveryType : public bgs_process_test::ProcessTest {};

TEST_F(ProcessEveryType, OutParametersOnewayCallsAndCodeGapsAcrossProcesses) {
    const std::string name = uniqueName("shapes");
    bgs_process_test::ChildProcess& server = spawn("shapesService", {name});
    const ndk::SpAIBinder binder = bgs_process_test::waitForBinder(name, &server);
    ASSERT_NE(binder.get(), nullptr);
    const std::shared_ptr<IShapes> shapes = IShapes::fromBinder(binder);
    ASSERT_NE(shapes, nullptr);
    ASSERT_TRUE(shapes->isRemote());
    expectSplitOutValues(*shapes);
    // The held post is counted only if this process went on to ask while
    // the service still held it: a caller that waited for it cannot.
    expectPostsCounted(*shapes, {5, -1, Shapes::kHeld, 7}, 3, 1012);
    expectCodeGapsUnknown(binder.get());
}

}  // namespace
