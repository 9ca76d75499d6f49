// Binders that stand for objects of another process.
#ifndef BINDER_NDK_INTERNAL_REMOTE_BINDER_H
#define BINDER_NDK_INTERNAL_REMOTE_BINDER_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../base/binder_internal.h"
#include "../base/death.h"
#include "../base/parcel_internal.h"

namespace binder_ndk::internal {

class RemoteBinder;

// What a remote binder reaches its process through: a session, or in tests
// a fake. Its lock guards the binders' protocol counts and death links.
class RemoteEndpoint {
  public:
    virtual ~RemoteEndpoint() = default;
    std::mutex& lock() const noexcept { return mutex_; }

    // Whether calls can still reach the peer.
    virtual bool alive() const noexcept = 0;
    virtual pid_t peerPid() const noexcept = 0;
    // Sends a call to `target`; see AIBinder::transact. `fds` are sent as
    // duplicates and stay the caller's.
    virtual binder_status_t call(RemoteBinder& target, uint32_t code, const AParcel& request, AParcel** reply,
                                 uint32_t flags, const int* fds, uint32_t fdCount) noexcept = 0;
    // The last strong reference to `binder` is gone (called without the lock).
    virtual void importEnded(RemoteBinder& binder) noexcept = 0;

  private:
    mutable std::mutex mutex_;
};

// An object of the peer process: its handle in the peer's export table.
// Every binder for which isRemote() is true is one of these.
class RemoteBinder final : public AIBinder {
  public:
    RemoteBinder(std::shared_ptr<RemoteEndpoint> endpoint, uint32_t handle, std::string descriptor) noexcept;

    bool isRemote() const noexcept override { return true; }
    bool isAlive() const noexcept override;
    bool associateClass(const AIBinder_Class* clazz) noexcept override;
    void* userData() const noexcept override { return nullptr; }
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) noexcept override;
    binder_status_t shellCommand(int in, int out, int err, const char** args,
                                 uint32_t numArgs) noexcept override;
    const char* descriptor() const noexcept override { return descriptor_.c_str(); }
    binder_status_t transact(transaction_code_t code, AParcel* request, AParcel** reply,
                             binder_flags_t flags) noexcept override;
    binder_status_t ping() noexcept override;
    binder_status_t linkToDeath(const std::shared_ptr<DeathRecipientCore>& recipient,
                                void* cookie) noexcept override;
    binder_status_t unlinkToDeath(const DeathRecipientCore* recipient, void* cookie) noexcept override;

    RemoteEndpoint& endpoint() const noexcept { return *endpoint_; }
    uint32_t handle() const noexcept { return handle_; }

    // Guarded by the endpoint's lock.
    struct Counts {
        uint32_t received = 1;     // arrivals while this binder stood for the handle
        uint32_t returnsSent = 0;  // references sent back to the owner since it arrived
    };
    Counts counts;
    std::vector<DeathLink> links;
    // With the endpoint's lock held: the object is gone even though the
    // session lives (its own process died and the peer relayed it). Returns
    // the links to fire, which leave the binder.
    std::vector<DeathLink> markDeadLocked() noexcept;

  private:
    friend class ObjectTable;
    ~RemoteBinder() override = default;
    void onLastStrongRef() noexcept override { endpoint_->importEnded(*this); }

    const std::shared_ptr<RemoteEndpoint> endpoint_;
    const uint32_t handle_;
    const std::string descriptor_;
    std::atomic<bool> gone_{false};
};

// `binder` as a remote binder, or null for a local one.
inline RemoteBinder* asRemote(AIBinder* binder) noexcept {
    return binder->isRemote() ? static_cast<RemoteBinder*>(binder) : nullptr;
}

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_REMOTE_BINDER_H
