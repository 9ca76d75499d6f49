// The objects two processes hold of each other on one session, and the
// counts that tell when each side may let go. A plain state machine: no
// sockets, no threads; the session holds its endpoint's lock around every
// call.
//
// Exports: objects this side sent. An entry keeps its object alive while
// the peer holds arrivals of it and while references the peer sent back
// (kind 2) are still on their way: a release can overtake such a reference
// when they travel on different sockets, so the peer reports in each
// release how many it sent back, and the entry waits until as many have
// been read.
//
// Imports: the peer's objects, one RemoteBinder per handle while any holds
// it. When its last reference goes, a release (handle, arrivals, returns
// sent) is queued for the peer.
//
// Sending and receiving are two-phase: plan* checks everything and
// allocates what the change needs without changing any count; commit*
// cannot fail. A refused frame therefore leaves every count as it was.
#ifndef BINDER_NDK_INTERNAL_OBJECT_TABLE_H
#define BINDER_NDK_INTERNAL_OBJECT_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "../base/binder_internal.h"
#include "../base/parcel_internal.h"
#include "../base/pod_vector.h"
#include "../wire/codec.h"
#include "remote_binder.h"

namespace binder_ndk::internal {

// References to give back once no lock is held: dropping one may end an
// object and run its class's code.
using DropList = std::vector<StrongRef>;

class ObjectTable {
  public:
    // `self` is the endpoint that imports made here stand for.
    explicit ObjectTable(const RemoteEndpoint* self) noexcept : self_(self) {}
    ~ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    struct ExportEntry {
        StrongRef binder;
        uint32_t sent = 0;              // arrivals at the peer not yet given back
        uint64_t returnsReported = 0;   // sent back by the peer, as its releases said
        uint64_t returnsRead = 0;       // sent back by the peer and read here
        bool done() const noexcept { return sent == 0 && returnsRead >= returnsReported; }
    };

    // ---- Sending a parcel's objects ----
    struct SendItem {
        uint32_t offset;
        uint32_t kind;    // wire::ObjectKind
        uint32_t handle;
        AIBinder* binder;  // kept alive by the parcel being sent
    };
    struct SendPlan {
        PodVector<SendItem> items;
        PodVector<uint8_t> table;  // the encoded object table, once committed
        // New export entries, made here and moved into the table on commit
        // (moving a node allocates nothing).
        std::unordered_map<uint32_t, ExportEntry> freshExports;
        std::unordered_map<AIBinder*, uint32_t> freshHandles;
    };
    // Phase 1: classifies every binder of `parcel` and sizes the table.
    // STATUS_BAD_VALUE for a descriptor over the limit,
    // STATUS_FAILED_TRANSACTION for a table over the limit, STATUS_NO_MEMORY.
    binder_status_t planSend(const AParcel& parcel, SendPlan* plan) noexcept;
    // Phase 2: raises the counts and writes plan->table.
    void commitSend(SendPlan* plan) noexcept;
    // A committed frame that never left: the counts go back down.
    void revertSend(const SendPlan& plan, DropList* dropped) noexcept;

    // ---- Receiving a frame's objects ----
    struct ReceivePlan {
        enum class Import : uint8_t {
            kNone,        // kind 2: an export coming home
            kPinned,      // an import that was in the table; the item holds a reference
            kFresh,       // the first record of a new import (made here, holds its first reference)
            kFreshAgain,  // a later record of the same new import
        };
        struct Item {
            wire::ObjectRecord record;
            RemoteBinder* import;
            Import how;
        };
        PodVector<Item> items;
        PodVector<ObjectEntry> objects;
        std::unordered_map<uint32_t, RemoteBinder*> freshImports;
    };
    // Phase 1: checks every record (offsets in order, inside the data, on a
    // binder entry; descriptors bounded; a kind-2 handle in the export
    // table) and readies the imports. STATUS_BAD_VALUE for a malformed or
    // forged table, STATUS_NO_MEMORY. On failure call abandonReceive.
    binder_status_t planReceive(const Frame& frame, const std::shared_ptr<RemoteEndpoint>& owner,
                                ReceivePlan* plan) noexcept;
    // Phase 2: counts arrivals and returns, and gives `parcel` the frame's
    // body with its objects. Export entries that are done go to *dropped;
    // links of imports announced dead go to *fired.
    void commitReceive(ReceivePlan* plan, Frame& frame, AParcel* parcel, DropList* dropped,
                       std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept;
    // Undoes a plan that failed or will not be committed: pins go to
    // *dropped, new imports are discarded.
    void abandonReceive(ReceivePlan* plan, DropList* dropped) noexcept;

    // ---- Releases ----
    // Applies a release frame's records, all or none: STATUS_BAD_VALUE when
    // any gives back more than was sent or names no export.
    binder_status_t applyReleases(const uint8_t* records, size_t count, DropList* dropped) noexcept;
    // `binder`'s last reference went: it leaves the import table and its
    // release is queued. True when the queue was empty before.
    // `links` receives the binder's death links, which can no longer fire.
    // Without `queueRelease` (the session is over) nothing is queued.
    bool importEnded(RemoteBinder& binder, bool queueRelease, std::vector<DeathLink>* links) noexcept;
    // Takes up to kMaxReleasesPerFrame queued releases as a release body;
    // false when none are queued (or memory ran out: they stay queued).
    bool takeReleases(PodVector<uint8_t>* body) noexcept;
    bool releasesQueued() const noexcept { return !pendingReleases_.empty(); }

    // ---- Death ----
    // Handles of exports that are imports of `endpoint` (objects this side
    // relays from a third process).
    void relayedFrom(const RemoteEndpoint* endpoint, std::vector<uint32_t>* handles) const noexcept;
    // The peer relayed the death of these imports.
    void importsDied(const uint8_t* handles, size_t count,
                     std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept;
    // The session ended: every export is given back, queued releases are
    // dropped, and the links of live imports are taken to fire.
    void endSession(DropList* dropped, std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept;

    // The object exported under `handle`, or null.
    AIBinder* exported(uint32_t handle) const noexcept {
        auto it = exports_.find(handle);
        return it != exports_.end() ? it->second.binder.get() : nullptr;
    }
    size_t exportCount() const noexcept { return exports_.size(); }
    size_t importCount() const noexcept { return imports_.size(); }

  private:
    struct PendingRelease {
        uint32_t handle;
        uint32_t count;
        uint32_t returns;
    };
    void retire(std::unordered_map<uint32_t, ExportEntry>::iterator entry, DropList* dropped) noexcept;
    bool ownImport(AIBinder* binder) const noexcept;

    const RemoteEndpoint* const self_;
    std::unordered_map<uint32_t, ExportEntry> exports_;
    std::unordered_map<AIBinder*, uint32_t> exportHandles_;
    std::unordered_map<uint32_t, RemoteBinder*> imports_;
    uint32_t nextHandle_ = 1;
    std::vector<PendingRelease> pendingReleases_;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_OBJECT_TABLE_H
