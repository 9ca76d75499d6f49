// Remote binders: calls, runtime requests and death links, through their
// endpoint.
#include "../base/public_api.h"

#include "remote_binder.h"

#include <cstring>
#include <new>
#include <utility>

#include "../wire/format.h"

namespace binder_ndk::internal {
namespace {

// Writes the runtime request arguments (a count, then strings).
binder_status_t writeArgs(AParcel* parcel, const char** args, uint32_t numArgs) noexcept {
    binder_status_t status = AParcel_writeInt32(parcel, static_cast<int32_t>(numArgs));
    for (uint32_t i = 0; status == STATUS_OK && i < numArgs; ++i) {
        const char* arg = args[i] != nullptr ? args[i] : "";
        const size_t length = std::strlen(arg);
        if (length > INT32_MAX) return STATUS_BAD_VALUE;
        status = parcel->writeString(arg, static_cast<int32_t>(length));
    }
    return status;
}

}  // namespace

RemoteBinder::RemoteBinder(std::shared_ptr<RemoteEndpoint> endpoint, uint32_t handle, std::string descriptor) noexcept
    : AIBinder(nullptr, false), endpoint_(std::move(endpoint)), handle_(handle), descriptor_(std::move(descriptor)) {}

bool RemoteBinder::isAlive() const noexcept {
    return !gone_.load(std::memory_order_acquire) && endpoint_->alive();
}

bool RemoteBinder::associateClass(const AIBinder_Class* clazz) noexcept {
    const AIBinder_Class* current = clazz_.load(std::memory_order_acquire);
    if (current != nullptr) return current == clazz;
    if (descriptor_.size() != clazz->descriptorLength ||
        std::memcmp(descriptor_.data(), clazz->descriptor, clazz->descriptorLength) != 0) {
        return false;
    }
    // The first class whose descriptor matches is kept.
    return clazz_.compare_exchange_strong(current, clazz, std::memory_order_acq_rel) || current == clazz;
}

binder_status_t RemoteBinder::transact(transaction_code_t code, AParcel* request, AParcel** reply,
                                       binder_flags_t flags) noexcept {
    if (gone_.load(std::memory_order_acquire)) return STATUS_DEAD_OBJECT;
    return endpoint_->call(*this, code, *request, reply, flags, nullptr, 0);
}

binder_status_t RemoteBinder::ping() noexcept {
    if (gone_.load(std::memory_order_acquire)) return STATUS_DEAD_OBJECT;
    AParcel request;
    AParcel* reply = nullptr;
    const binder_status_t status = endpoint_->call(*this, wire::kPingTransaction, request, &reply, 0, nullptr, 0);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::dump(int fd, const char** args, uint32_t numArgs) noexcept {
    if (fd < 0) return STATUS_BAD_VALUE;
    if (gone_.load(std::memory_order_acquire)) return STATUS_DEAD_OBJECT;
    AParcel request;
    binder_status_t status = writeArgs(&request, args, numArgs);
    AParcel* reply = nullptr;
    if (status == STATUS_OK) status = endpoint_->call(*this, wire::kDumpTransaction, request, &reply, 0, &fd, 1);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::shellCommand(int in, int out, int err, const char** args, uint32_t numArgs) noexcept {
    if (gone_.load(std::memory_order_acquire)) return STATUS_DEAD_OBJECT;
    const int fds[3] = {in, out, err};
    AParcel request;
    binder_status_t status = writeArgs(&request, args, numArgs);
    AParcel* reply = nullptr;
    if (status == STATUS_OK) status = endpoint_->call(*this, wire::kShellTransaction, request, &reply, 0, fds, 3);
    AParcel_delete(reply);
    return status;
}

binder_status_t RemoteBinder::linkToDeath(const std::shared_ptr<DeathRecipientCore>& recipient,
                                          void* cookie) noexcept {
    const std::lock_guard<std::mutex> lock(endpoint_->lock());
    if (!isAlive()) return STATUS_DEAD_OBJECT;
    try {
        links.push_back(DeathLink{recipient, cookie});
    } catch (const std::bad_alloc&) {
        return STATUS_NO_MEMORY;
    }
    return STATUS_OK;
}

binder_status_t RemoteBinder::unlinkToDeath(const DeathRecipientCore* recipient, void* cookie) noexcept {
    const std::lock_guard<std::mutex> lock(endpoint_->lock());
    for (auto it = links.begin(); it != links.end(); ++it) {
        if (it->recipient.get() == recipient && it->cookie == cookie) {
            links.erase(it);
            return STATUS_OK;
        }
    }
    return STATUS_NAME_NOT_FOUND;
}

std::vector<DeathLink> RemoteBinder::markDeadLocked() noexcept {
    gone_.store(true, std::memory_order_release);
    std::vector<DeathLink> fired;
    fired.swap(links);
    return fired;
}

}  // namespace binder_ndk::internal
