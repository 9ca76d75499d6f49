// The per-session object table, driven directly: frames as a peer would
// send them, with no socket and no thread. It links only the runtime's
// lower layers (base, wire, transport).
#include "transport/object_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace binder_ndk::internal {
namespace {

// ---- Local objects whose ends are counted ----

int gDestroyed = 0;

void* onCreate(void* args) { return args; }
void onDestroy(void*) { ++gDestroyed; }
binder_status_t onTransact(AIBinder*, transaction_code_t, const AParcel*, AParcel*) { return STATUS_OK; }

const AIBinder_Class* tableClass(const std::string& descriptor = "bgs.test.ITable") {
    return AIBinder_Class_define(descriptor.c_str(), onCreate, onDestroy, onTransact);
}

// A parcel holding `binders` as consecutive binder entries.
AParcel* parcelWith(const std::vector<AIBinder*>& binders) {
    AParcel* parcel = AParcel_create();
    for (AIBinder* binder : binders) EXPECT_EQ(AParcel_writeStrongBinder(parcel, binder), STATUS_OK);
    return parcel;
}

// ---- A peer that is only a table ----

class FakeEndpoint final : public RemoteEndpoint {
  public:
    FakeEndpoint() : table(this) {}
    bool alive() const noexcept override { return true; }
    pid_t peerPid() const noexcept override { return 1; }
    binder_status_t call(RemoteBinder&, uint32_t, const AParcel&, AParcel**, uint32_t, const int*,
                         uint32_t) noexcept override {
        return STATUS_DEAD_OBJECT;
    }
    void importEnded(RemoteBinder& binder) noexcept override {
        std::vector<DeathLink> links;
        const std::lock_guard<std::mutex> guard(lock());
        table.importEnded(binder, true, &links);
    }
    ObjectTable table;
};

// A frame of `entries` binder entries with one object record each.
struct Record {
    uint32_t kind;
    uint32_t handle;
    std::string descriptor;
    int32_t offsetShift = 0;  // moves the record's offset off its entry
};

FramePtr frameWith(const std::vector<Record>& records) {
    FramePtr frame(newFrame());
    std::vector<uint8_t> data(records.size() * kBinderEntrySize);
    std::vector<uint8_t> table;
    for (size_t i = 0; i < records.size(); ++i) {
        storeWord(data.data() + i * kBinderEntrySize, kBinderKindObject);
        const wire::ObjectRecord record{static_cast<uint32_t>(i * kBinderEntrySize + records[i].offsetShift),
                                        records[i].kind, records[i].handle,
                                        static_cast<uint32_t>(records[i].descriptor.size())};
        const size_t at = table.size();
        table.resize(at + sizeof record + ((records[i].descriptor.size() + 3) & ~size_t{3}));
        std::memcpy(table.data() + at, &record, sizeof record);
        std::memcpy(table.data() + at + sizeof record, records[i].descriptor.data(), records[i].descriptor.size());
    }
    frame->header = wire::makeHeader(wire::kTransaction);
    frame->header.dataSize = static_cast<uint32_t>(data.size());
    frame->header.objectBytes = static_cast<uint32_t>(table.size());
    frame->header.objectCount = static_cast<uint32_t>(records.size());
    EXPECT_TRUE(frame->body.resize(data.size() + table.size()));
    std::memcpy(frame->body.data(), data.data(), data.size());
    if (!table.empty()) std::memcpy(frame->body.data() + data.size(), table.data(), table.size());
    return frame;
}

std::vector<uint8_t> releaseRecords(const std::vector<std::array<uint32_t, 3>>& records) {
    std::vector<uint8_t> bytes(records.size() * wire::kReleaseRecordSize);
    for (size_t i = 0; i < records.size(); ++i) {
        for (size_t j = 0; j < 3; ++j) storeWord(bytes.data() + i * wire::kReleaseRecordSize + 4 * j, records[i][j]);
    }
    return bytes;
}

class ObjectTableTest : public testing::Test {
  protected:
    void SetUp() override { gDestroyed = 0; }

    // Sends `parcel`'s objects; the handles they got.
    std::vector<uint32_t> send(AParcel* parcel) {
        ObjectTable::SendPlan plan;
        const std::lock_guard<std::mutex> guard(peer->lock());
        EXPECT_EQ(peer->table.planSend(*parcel, &plan), STATUS_OK);
        peer->table.commitSend(&plan);
        std::vector<uint32_t> handles;
        for (size_t i = 0; i < plan.items.size(); ++i) handles.push_back(plan.items[i].handle);
        return handles;
    }

    binder_status_t receive(Frame& frame, AParcel* into, DropList* dropped) {
        ObjectTable::ReceivePlan plan;
        std::vector<std::pair<StrongRef, std::vector<DeathLink>>> fired;
        const std::lock_guard<std::mutex> guard(peer->lock());
        const binder_status_t status = peer->table.planReceive(frame, peer, &plan);
        if (status == STATUS_OK) {
            peer->table.commitReceive(&plan, frame, into, dropped, &fired);
        } else {
            peer->table.abandonReceive(&plan, dropped);
        }
        return status;
    }

    binder_status_t release(const std::vector<std::array<uint32_t, 3>>& records, DropList* dropped) {
        const std::vector<uint8_t> bytes = releaseRecords(records);
        const std::lock_guard<std::mutex> guard(peer->lock());
        return peer->table.applyReleases(bytes.data(), records.size(), dropped);
    }

    std::shared_ptr<FakeEndpoint> peer = std::make_shared<FakeEndpoint>();
};

// The peer gives its arrival back, reporting two references it sent home
// meanwhile; both then arrive in one frame. The entry must stay until both
// are read, and go only after the whole frame is counted.
TEST_F(ObjectTableTest, AReferenceReturnedTwiceInOneFrameAfterItsReleaseIsCountedBeforeTheEntryGoes) {
    AIBinder* object = AIBinder_new(tableClass(), nullptr);
    AParcel* sent = parcelWith({object});
    const std::vector<uint32_t> handles = send(sent);
    AParcel_delete(sent);
    ASSERT_EQ(handles.size(), 1u);

    DropList dropped;
    ASSERT_EQ(release({{handles[0], 1, 2}}, &dropped), STATUS_OK);
    EXPECT_TRUE(dropped.empty()) << "two returns are still on their way";
    EXPECT_EQ(peer->table.exportCount(), 1u);

    FramePtr frame = frameWith({{wire::kReceiverObject, handles[0], ""}, {wire::kReceiverObject, handles[0], ""}});
    AParcel* received = AParcel_create();
    ASSERT_EQ(receive(*frame, received, &dropped), STATUS_OK);
    EXPECT_EQ(peer->table.exportCount(), 0u);
    ASSERT_EQ(received->objectCount(), 2u);
    EXPECT_EQ(received->objects()[0].binder, object);
    EXPECT_EQ(received->objects()[1].binder, object);

    dropped.clear();
    AParcel_delete(received);
    EXPECT_EQ(gDestroyed, 0);
    AIBinder_decStrong(object);
    EXPECT_EQ(gDestroyed, 1);
}

TEST_F(ObjectTableTest, ASendThatCannotBePlannedChangesNoCount) {
    AIBinder* object = AIBinder_new(tableClass(), nullptr);
    AIBinder* unsendable = AIBinder_new(tableClass(std::string(wire::kMaxDescriptorLength + 1, 'd')), nullptr);
    AParcel* parcel = parcelWith({object, unsendable});
    const int32_t before = AIBinder_debugGetRefCount(object);
    ObjectTable::SendPlan plan;
    {
        const std::lock_guard<std::mutex> guard(peer->lock());
        EXPECT_EQ(peer->table.planSend(*parcel, &plan), STATUS_BAD_VALUE);
    }
    plan = ObjectTable::SendPlan();
    EXPECT_EQ(peer->table.exportCount(), 0u);
    EXPECT_EQ(AIBinder_debugGetRefCount(object), before);
    AParcel_delete(parcel);
    AIBinder_decStrong(object);
    AIBinder_decStrong(unsendable);
    EXPECT_EQ(gDestroyed, 2);
}

TEST_F(ObjectTableTest, AFrameThatNeverLeftGivesItsCountsBack) {
    AIBinder* object = AIBinder_new(tableClass(), nullptr);
    AParcel* parcel = parcelWith({object, object});
    ObjectTable::SendPlan plan;
    DropList dropped;
    {
        const std::lock_guard<std::mutex> guard(peer->lock());
        ASSERT_EQ(peer->table.planSend(*parcel, &plan), STATUS_OK);
        peer->table.commitSend(&plan);
        EXPECT_EQ(peer->table.exportCount(), 1u);
        peer->table.revertSend(plan, &dropped);
    }
    EXPECT_EQ(peer->table.exportCount(), 0u);
    dropped.clear();
    AParcel_delete(parcel);
    AIBinder_decStrong(object);
    EXPECT_EQ(gDestroyed, 1) << "the table kept a reference";
}

// Records of one release frame are summed per handle before any applies.
TEST_F(ObjectTableTest, AReleaseFrameGivingBackMoreThanWasSentIsRefusedWhole) {
    AIBinder* object = AIBinder_new(tableClass(), nullptr);
    AParcel* parcel = parcelWith({object});
    const uint32_t handle = send(parcel)[0];
    AParcel_delete(parcel);
    DropList dropped;
    EXPECT_EQ(release({{handle, 1, 0}, {handle, 1, 0}}, &dropped), STATUS_BAD_VALUE);
    EXPECT_EQ(release({{handle + 7, 1, 0}}, &dropped), STATUS_BAD_VALUE);
    EXPECT_EQ(peer->table.exportCount(), 1u);
    EXPECT_EQ(release({{handle, 1, 0}}, &dropped), STATUS_OK);
    EXPECT_EQ(peer->table.exportCount(), 0u);
    AIBinder_decStrong(object);
    EXPECT_EQ(gDestroyed, 0) << "the released entry's reference is the caller's to drop";
    dropped.clear();
    EXPECT_EQ(gDestroyed, 1);
}

TEST_F(ObjectTableTest, AMalformedObjectTableMakesNoImportAndTakesNoReference) {
    // An import the peer sent before, held here.
    FramePtr first = frameWith({{wire::kSenderObject, 5, "bgs.test.IPeer"}});
    AParcel* held = AParcel_create();
    DropList dropped;
    ASSERT_EQ(receive(*first, held, &dropped), STATUS_OK);
    AIBinder* import = held->objects()[0].binder;
    const int32_t before = AIBinder_debugGetRefCount(import);

    const std::vector<std::vector<Record>> malformed = {
            {{wire::kSenderObject, 5, "bgs.test.IPeer"}, {wire::kSenderObject, 6, "bgs.test.IPeer", 4}},
            {{wire::kSenderObject, 6, "bgs.test.IPeer"}, {wire::kReceiverObject, 99, ""}},
            {{wire::kSenderObject, 6, "bgs.test.IPeer"}, {wire::kSenderObject, 7, ""}},
            {{wire::kSenderObject, 5, "bgs.test.IPeer"}, {9, 7, ""}},
    };
    for (const auto& records : malformed) {
        FramePtr frame = frameWith(records);
        AParcel* into = AParcel_create();
        EXPECT_EQ(receive(*frame, into, &dropped), STATUS_BAD_VALUE);
        dropped.clear();
        EXPECT_EQ(peer->table.importCount(), 1u);
        EXPECT_EQ(AIBinder_debugGetRefCount(import), before);
        AParcel_delete(into);
    }
    AParcel_delete(held);
    EXPECT_EQ(peer->table.importCount(), 0u);
    PodVector<uint8_t> body;
    {
        const std::lock_guard<std::mutex> guard(peer->lock());
        ASSERT_TRUE(peer->table.takeReleases(&body));
    }
    ASSERT_EQ(body.size(), wire::kReleaseRecordSize);
    EXPECT_EQ(loadWord(body.data()), 5u);
    EXPECT_EQ(loadWord(body.data() + 4), 1u) << "one arrival, given back once";
}

}  // namespace
}  // namespace binder_ndk::internal
