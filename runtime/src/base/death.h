// Death recipients: what a recipient shares with the links made through it.
#ifndef BINDER_NDK_INTERNAL_DEATH_H
#define BINDER_NDK_INTERNAL_DEATH_H

#include "public_api.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace binder_ndk::internal {

// What a death recipient shares with its links: the callback, a lock that
// lets deletion wait for a callback that is running, and the record of its
// live links (binder and cookie, each holding a weak reference on the
// binder), so that deleting the recipient can undo them. A link leaves the
// record when it fires, is unlinked, or its binder ends.
//
// Lock order: linksMutex, then the lock of the binder's connection; never
// the reverse.
struct DeathRecipientCore {
    explicit DeathRecipientCore(AIBinder_DeathRecipient_onBinderDied callback) noexcept
        : onBinderDied(callback) {}
    const AIBinder_DeathRecipient_onBinderDied onBinderDied;
    std::recursive_mutex callbackMutex;
    bool deleted = false;  // guarded by callbackMutex
    std::mutex linksMutex;
    std::vector<std::pair<AIBinder*, void*>> links;  // guarded by linksMutex

    // With linksMutex held: records a link; false when memory runs out.
    bool remember(AIBinder* binder, void* cookie) noexcept;
    // Without any lock held: drops the record of one link, if still there.
    void forget(AIBinder* binder, void* cookie) noexcept;
    // Without any lock held: runs the callback unless the recipient was
    // deleted, then forgets the link.
    void fire(AIBinder* binder, void* cookie) noexcept;
};

// One link as the binder keeps it.
struct DeathLink {
    std::shared_ptr<DeathRecipientCore> recipient;
    void* cookie;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_DEATH_H
