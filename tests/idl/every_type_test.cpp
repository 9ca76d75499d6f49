// The bindings bgidlc generates for every_type.bgidl, called: records keep
// their defaults and survive the wire, and each shape of method (record,
// list and nullable arguments and results, interface references both ways,
// no result) goes through a proxy to a stub and back.
#include <aidl/bgs/test/everytype/BnPeer.h>
#include <aidl/bgs/test/everytype/BnProbe.h>
#include <aidl/bgs/test/everytype/BpProbe.h>
#include <aidl/bgs/test/everytype/IQuiet.h>
#include <android/binder_parcel.h>
#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
