// The per-session object state machine.
#include "../base/public_api.h"

#include "object_table.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace binder_ndk::internal {
namespace {

constexpr size_t padded4(size_t size) noexcept { return (size + 3) & ~size_t{3}; }

}  // namespace

bool ObjectTable::ownImport(AIBinder* binder) const noexcept {
    RemoteBinder* remote = asRemote(binder);
    return remote != nullptr && &remote->endpoint() == self_;
}

// ---- Sending ----

binder_status_t ObjectTable::planSend(const AParcel& parcel, SendPlan* plan) noexcept {
    plan->items.clear();
    plan->table.clear();
    const size_t count = parcel.objectCount();
    if (count == 0) return STATUS_OK;
    if (!plan->items.reserve(count)) return STATUS_NO_MEMORY;
    size_t tableBytes = 0;
    uint32_t next = nextHandle_;
    try {
        plan->freshExports.clear();
        plan->freshHandles.clear();
        for (size_t i = 0; i < count; ++i) {
            const ObjectEntry& entry = parcel.objects()[i];
            AIBinder* binder = entry.binder;
            SendItem item{entry.offset, wire::kReceiverObject, 0, binder};
            if (ownImport(binder)) {
                item.handle = asRemote(binder)->handle();
                tableBytes += sizeof(wire::ObjectRecord);
            } else {
                const size_t length = std::strlen(binder->descriptor());
                if (length == 0 || length > wire::kMaxDescriptorLength) return STATUS_BAD_VALUE;
                item.kind = binder->isRemote() && !binder->isAlive() ? wire::kSenderObjectDead : wire::kSenderObject;
                auto known = exportHandles_.find(binder);
                auto staged = plan->freshHandles.find(binder);
                if (known != exportHandles_.end()) {
                    item.handle = known->second;
                } else if (staged != plan->freshHandles.end()) {
                    item.handle = staged->second;
                } else {
                    // Handles are not reused while in use; 0 names the process.
                    while (next == 0 || exports_.count(next) != 0) ++next;
                    item.handle = next++;
                    plan->freshExports.emplace(item.handle, ExportEntry{StrongRef(binder)});
                    plan->freshHandles.emplace(binder, item.handle);
                }
                tableBytes += sizeof(wire::ObjectRecord) + padded4(length);
            }
            plan->items.insert(plan->items.size(), item);
        }
        if (tableBytes > wire::kMaxObjectBytes) return STATUS_FAILED_TRANSACTION;
        exports_.reserve(exports_.size() + plan->freshExports.size());
        exportHandles_.reserve(exportHandles_.size() + plan->freshHandles.size());
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    if (!plan->table.resize(tableBytes)) return STATUS_NO_MEMORY;
    return STATUS_OK;
}

void ObjectTable::commitSend(SendPlan* plan) noexcept {
    uint8_t* at = plan->table.data();
    for (size_t i = 0; i < plan->items.size(); ++i) {
        const SendItem& item = plan->items[i];
        wire::ObjectRecord record{item.offset, item.kind, item.handle, 0};
        const char* descriptor = "";
        if (item.kind == wire::kReceiverObject) {
            ++asRemote(item.binder)->counts.returnsSent;
        } else {
            descriptor = item.binder->descriptor();
            record.descriptorLength = static_cast<uint32_t>(std::strlen(descriptor));
            auto entry = exports_.find(item.handle);
            if (entry == exports_.end()) {
                entry = exports_.insert(plan->freshExports.extract(item.handle)).position;
                exportHandles_.insert(plan->freshHandles.extract(item.binder));
                if (item.handle >= nextHandle_) nextHandle_ = item.handle + 1;
            }
            ++entry->second.sent;
        }
        std::memcpy(at, &record, sizeof record);
        at += sizeof record;
        std::memcpy(at, descriptor, record.descriptorLength);
        at += padded4(record.descriptorLength);
    }
}

void ObjectTable::revertSend(const SendPlan& plan, DropList* dropped) noexcept {
    for (size_t i = 0; i < plan.items.size(); ++i) {
        const SendItem& item = plan.items[i];
        if (item.kind == wire::kReceiverObject) {
            --asRemote(item.binder)->counts.returnsSent;
            continue;
        }
        auto entry = exports_.find(item.handle);
        if (entry == exports_.end() || entry->second.sent == 0) continue;
        --entry->second.sent;
        if (entry->second.done()) retire(entry, dropped);
    }
}

// ---- Receiving ----

binder_status_t ObjectTable::planReceive(const Frame& frame, const std::shared_ptr<RemoteEndpoint>& owner,
                                         ReceivePlan* plan) noexcept {
    using Import = ReceivePlan::Import;
    const wire::FrameHeader& h = frame.header;
    plan->items.clear();
    plan->objects.clear();
    if (h.objectCount == 0) return h.objectBytes == 0 ? STATUS_OK : STATUS_BAD_VALUE;
    if (!plan->items.reserve(h.objectCount) || !plan->objects.reserve(h.objectCount)) return STATUS_NO_MEMORY;
    const uint8_t* data = frame.body.data();
    const uint8_t* table = data + h.dataSize;
    size_t at = 0;
    size_t nextFree = 0;
    try {
        plan->freshImports.clear();
        for (uint32_t i = 0; i < h.objectCount; ++i) {
            wire::ObjectRecord record{};
            if (h.objectBytes - at < sizeof record) return STATUS_BAD_VALUE;
            std::memcpy(&record, table + at, sizeof record);
            at += sizeof record;
            if (record.offset % 4 != 0 || record.offset < nextFree || record.offset > h.dataSize ||
                h.dataSize - record.offset < kBinderEntrySize ||
                loadWord(data + record.offset) != uint32_t{kBinderKindObject} ||
                loadWord(data + record.offset + 4) != 0) {
                return STATUS_BAD_VALUE;
            }
            nextFree = record.offset + kBinderEntrySize;
            ReceivePlan::Item item{record, nullptr, Import::kNone};
            if (record.kind == wire::kReceiverObject) {
                if (record.descriptorLength != 0 || exports_.count(record.handle) == 0) return STATUS_BAD_VALUE;
            } else if (record.kind == wire::kSenderObject || record.kind == wire::kSenderObjectDead) {
                if (record.handle == 0 || record.descriptorLength == 0 ||
                    record.descriptorLength > wire::kMaxDescriptorLength ||
                    h.objectBytes - at < padded4(record.descriptorLength)) {
                    return STATUS_BAD_VALUE;
                }
                const char* descriptor = reinterpret_cast<const char*>(table + at);
                if (std::memchr(descriptor, 0, record.descriptorLength) != nullptr) return STATUS_BAD_VALUE;
                at += padded4(record.descriptorLength);
                auto staged = plan->freshImports.find(record.handle);
                auto known = imports_.find(record.handle);
                if (staged != plan->freshImports.end()) {
                    item.import = staged->second;
                    item.how = Import::kFreshAgain;
                } else if (known != imports_.end() && known->second->tryIncStrong()) {
                    item.import = known->second;
                    item.how = Import::kPinned;
                } else {
                    RemoteBinder* made =
                            new RemoteBinder(owner, record.handle, std::string(descriptor, record.descriptorLength));
                    try {
                        plan->freshImports.emplace(record.handle, made);
                    } catch (const std::bad_alloc&) {
                        delete made;
                        throw;
                    }
                    item.import = made;
                    item.how = Import::kFresh;
                }
            } else {
                return STATUS_BAD_VALUE;
            }
            plan->items.insert(plan->items.size(), item);
        }
        if (at != h.objectBytes) return STATUS_BAD_VALUE;
        imports_.reserve(imports_.size() + plan->freshImports.size());
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    return STATUS_OK;
}

void ObjectTable::abandonReceive(ReceivePlan* plan, DropList* dropped) noexcept {
    using Import = ReceivePlan::Import;
    for (size_t i = 0; i < plan->items.size(); ++i) {
        ReceivePlan::Item& item = plan->items[i];
        if (item.how == Import::kPinned) {
            try {
                dropped->push_back(StrongRef::adopt(item.import));
            } catch (const std::bad_alloc&) {
                // Not the last reference (the import table names it), so
                // it can go here, lock held or not.
                item.import->decStrong();
            }
        }
    }
    // New imports were never seen by anyone: they go without a release.
    for (auto& fresh : plan->freshImports) delete fresh.second;
    plan->freshImports.clear();
    plan->items.clear();
}

void ObjectTable::commitReceive(ReceivePlan* plan, Frame& frame, AParcel* parcel, DropList* dropped,
                                std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept {
    using Import = ReceivePlan::Import;
    bool anyReturns = false;
    for (size_t i = 0; i < plan->items.size(); ++i) {
        ReceivePlan::Item& item = plan->items[i];
        AIBinder* binder = nullptr;
        switch (item.how) {
            case Import::kNone: {
                ExportEntry& entry = exports_.find(item.record.handle)->second;
                ++entry.returnsRead;
                binder = entry.binder.get();
                binder->incStrong();
                anyReturns = true;
                break;
            }
            case Import::kPinned:
                ++item.import->counts.received;
                binder = item.import;
                break;
            case Import::kFresh: {
                auto known = imports_.find(item.record.handle);
                if (known != imports_.end()) {
                    // The previous binder of the handle is ending; its
                    // release goes separately and the owner subtracts both.
                    known->second = item.import;
                } else {
                    imports_.insert(plan->freshImports.extract(item.record.handle));
                }
                binder = item.import;
                break;
            }
            case Import::kFreshAgain:
                item.import->incStrong();
                ++item.import->counts.received;
                binder = item.import;
                break;
        }
        if (item.record.kind == wire::kSenderObjectDead && item.import->isAlive()) {
            std::vector<DeathLink> links = item.import->markDeadLocked();
            if (!links.empty()) {
                item.import->incStrong();
                try {
                    fired->emplace_back(StrongRef::adopt(item.import), std::move(links));
                } catch (const std::bad_alloc&) {
                    item.import->decStrong();  // the parcel still holds it
                }
            }
        }
        plan->objects.insert(plan->objects.size(), ObjectEntry{item.record.offset, binder});
    }
    // Entries leave only after every record is counted: a frame may carry
    // the same returning object more than once.
    if (anyReturns) {
        for (size_t i = 0; i < plan->items.size(); ++i) {
            if (plan->items[i].how != Import::kNone) continue;
            auto entry = exports_.find(plan->items[i].record.handle);
            if (entry != exports_.end() && entry->second.done()) retire(entry, dropped);
        }
    }
    plan->freshImports.clear();
    plan->items.clear();
    parcel->adoptWire(std::move(frame.body), frame.header.dataSize, std::move(plan->objects));
}

// ---- Releases ----

void ObjectTable::retire(std::unordered_map<uint32_t, ExportEntry>::iterator entry, DropList* dropped) noexcept {
    try {
        dropped->push_back(std::move(entry->second.binder));
    } catch (const std::bad_alloc&) {
        return;  // keep the entry rather than lose the reference
    }
    exportHandles_.erase(dropped->back().get());
    exports_.erase(entry);
}

binder_status_t ObjectTable::applyReleases(const uint8_t* records, size_t count, DropList* dropped) noexcept {
    // Every record is checked, summed per handle, before any count moves.
    try {
        std::unordered_map<uint32_t, uint64_t> totals;
        totals.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* at = records + i * wire::kReleaseRecordSize;
            const uint32_t handle = loadWord(at);
            const uint32_t given = loadWord(at + 4);
            auto entry = exports_.find(handle);
            if (entry == exports_.end() || given == 0) return STATUS_BAD_VALUE;
            uint64_t& total = totals[handle];
            total += given;
            if (total > entry->second.sent) return STATUS_BAD_VALUE;
        }
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* at = records + i * wire::kReleaseRecordSize;
        ExportEntry& entry = exports_.find(loadWord(at))->second;
        entry.sent -= loadWord(at + 4);
        entry.returnsReported += loadWord(at + 8);
    }
    for (size_t i = 0; i < count; ++i) {
        auto entry = exports_.find(loadWord(records + i * wire::kReleaseRecordSize));
        // A newer send that crossed the release, or a reference sent back
        // and not yet read, keeps the entry.
        if (entry != exports_.end() && entry->second.done()) retire(entry, dropped);
    }
    return STATUS_OK;
}

bool ObjectTable::importEnded(RemoteBinder& binder, bool queueRelease, std::vector<DeathLink>* links) noexcept {
    auto it = imports_.find(binder.handle());
    if (it != imports_.end() && it->second == &binder) imports_.erase(it);
    links->swap(binder.links);
    if (!queueRelease) return false;
    try {
        pendingReleases_.push_back(PendingRelease{binder.handle(), binder.counts.received, binder.counts.returnsSent});
    } catch (const std::bad_alloc&) {
        return false;  // the peer keeps the object until the session ends
    }
    return pendingReleases_.size() == 1;
}

bool ObjectTable::takeReleases(PodVector<uint8_t>* body) noexcept {
    const size_t count = pendingReleases_.size() < wire::kMaxReleasesPerFrame ? pendingReleases_.size()
                                                                               : wire::kMaxReleasesPerFrame;
    if (count == 0 || !body->resize(count * wire::kReleaseRecordSize)) return false;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* at = body->data() + i * wire::kReleaseRecordSize;
        storeWord(at, pendingReleases_[i].handle);
        storeWord(at + 4, pendingReleases_[i].count);
        storeWord(at + 8, pendingReleases_[i].returns);
    }
    pendingReleases_.erase(pendingReleases_.begin(), pendingReleases_.begin() + static_cast<ptrdiff_t>(count));
    return true;
}

// ---- Death ----

void ObjectTable::relayedFrom(const RemoteEndpoint* endpoint, std::vector<uint32_t>* handles) const noexcept {
    for (const auto& entry : exports_) {
        RemoteBinder* remote = asRemote(entry.second.binder.get());
        if (remote == nullptr || &remote->endpoint() != endpoint) continue;
        try {
            handles->push_back(entry.first);
        } catch (const std::bad_alloc&) {
            return;
        }
    }
}

void ObjectTable::importsDied(const uint8_t* handles, size_t count,
                              std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept {
    // Room first: a reference taken here must never be dropped under the
    // lock, where ending the binder would take the lock again.
    try {
        fired->reserve(fired->size() + count);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        auto it = imports_.find(loadWord(handles + i * 4));
        if (it == imports_.end() || !it->second->isAlive()) continue;
        RemoteBinder* binder = it->second;
        // A binder whose last reference is going has given up its links.
        if (binder->links.empty() || !binder->tryIncStrong()) {
            binder->markDeadLocked();
            continue;
        }
        fired->emplace_back(StrongRef::adopt(binder), binder->markDeadLocked());
    }
}

void ObjectTable::endSession(DropList* dropped,
                             std::vector<std::pair<StrongRef, std::vector<DeathLink>>>* fired) noexcept {
    try {
        dropped->reserve(dropped->size() + exports_.size());
        fired->reserve(fired->size() + imports_.size());
    } catch (const std::bad_alloc&) {
        // Without room, the references stay in the table until it goes.
        return;
    }
    for (auto& entry : exports_) dropped->push_back(std::move(entry.second.binder));
    exports_.clear();
    exportHandles_.clear();
    pendingReleases_.clear();
    for (auto& entry : imports_) {
        RemoteBinder* binder = entry.second;
        if (binder->links.empty() || !binder->tryIncStrong()) continue;
        std::vector<DeathLink> links;
        links.swap(binder->links);
        fired->emplace_back(StrongRef::adopt(binder), std::move(links));
    }
}

}  // namespace binder_ndk::internal
