// Binders, weak binders and binder classes: the definitions behind the
// AIBinder, AIBinder_Weak and AIBinder_Class handles.
#ifndef BINDER_NDK_INTERNAL_BINDER_INTERNAL_H
#define BINDER_NDK_INTERNAL_BINDER_INTERNAL_H

#include "public_api.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace binder_ndk::internal {

struct DeathRecipientCore;

// The transaction-code names of a class. Immutable once published; a class
// keeps every table it ever published (see AIBinder_Class::functionNames).
struct FunctionNameTable {
    size_t count = 0;
    char** names = nullptr;  // count entries, each owned or null
    const FunctionNameTable* previous = nullptr;
};

}  // namespace binder_ndk::internal

// One interface. Defined into a process-wide registry and never freed, so a
// class pointer stays valid for every binder and thread that holds it.
struct AIBinder_Class {
    const char* descriptor = nullptr;  // owned, zero-terminated, not empty
    size_t descriptorLength = 0;
    // The interface header of a request, encoded once (magic word, then the
    // descriptor as a string item): every request starts with these bytes.
    // The buffer is zero-padded to at least kShortHeader bytes, so that a
    // short header is copied as one fixed-size block.
    const uint8_t* header = nullptr;  // owned
    size_t headerSize = 0;
    static constexpr size_t kShortHeader = 64;
    AIBinder_Class_onCreate onCreate = nullptr;
    AIBinder_Class_onDestroy onDestroy = nullptr;
    AIBinder_Class_onTransact onTransact = nullptr;
    // May be installed while binders of the class are in use.
    std::atomic<AIBinder_onDump> onDump{nullptr};
    std::atomic<AIBinder_handleShellCommand> handleShellCommand{nullptr};
    // The newest name table. Older tables stay linked from it because a
    // reader on another thread may still be looking at one.
    std::atomic<const binder_ndk::internal::FunctionNameTable*> functionNames{nullptr};
    // The registry link (classes are pushed at the front, never removed).
    AIBinder_Class* nextDefined = nullptr;
};

// A reference-counted binder. The strong count keeps the object alive; the
// weak count keeps this memory alive. The weak count is the number of
// AIBinder_Weak handles plus one while the strong count is above zero: when
// the last strong reference goes, the object ends (onLastStrongRef) and that
// implicit weak reference is dropped; the memory goes with the last weak one.
// A strong count that reached zero never rises again.
//
// Subclasses: LocalBinder (an object served in this process) and
// RemoteBinder (an object of another process, reached over a session; see
// session.h).
struct AIBinder {
  public:
    AIBinder(const AIBinder_Class* clazz, bool local) noexcept
        : clazz_(clazz), local_(local), serial_(nextSerial_.fetch_add(1, std::memory_order_relaxed)) {}
    AIBinder(const AIBinder&) = delete;
    AIBinder& operator=(const AIBinder&) = delete;

    void incStrong() noexcept { strong_.fetch_add(1, std::memory_order_relaxed); }
    void decStrong() noexcept;
    // Adds a strong reference unless the strong count already reached zero.
    bool tryIncStrong() noexcept;
    void incWeak() noexcept { weak_.fetch_add(1, std::memory_order_relaxed); }
    void decWeak() noexcept;
    int32_t strongCount() const noexcept { return strong_.load(std::memory_order_relaxed); }

    const AIBinder_Class* getClass() const noexcept { return clazz_.load(std::memory_order_acquire); }
    void markVintfStability() noexcept { vintf_.store(true, std::memory_order_relaxed); }
    bool isVintfStable() const noexcept { return vintf_.load(std::memory_order_relaxed); }
    // A LocalBinder: lets the call path reach it without a virtual call.
    bool isLocal() const noexcept { return local_; }
    // Unique among every binder this process ever makes: tells a binder
    // apart from a later one that reuses its memory, without holding either.
    uint64_t serial() const noexcept { return serial_; }

    virtual bool isRemote() const noexcept = 0;
    virtual bool isAlive() const noexcept = 0;
    virtual bool associateClass(const AIBinder_Class* clazz) noexcept = 0;
    virtual void* userData() const noexcept = 0;
    virtual binder_status_t dump(int fd, const char** args, uint32_t numArgs) noexcept = 0;
    virtual binder_status_t shellCommand(int in, int out, int err, const char** args,
                                         uint32_t numArgs) noexcept = 0;
    // The descriptor of the object's interface: its class's for a local
    // binder, the one its process announced for a remote binder.
    virtual const char* descriptor() const noexcept = 0;
    // Whether the object answers; a local object always does.
    virtual binder_status_t ping() noexcept { return STATUS_OK; }
    // Death links exist only on objects of another process: a local object
    // answers STATUS_INVALID_OPERATION.
    virtual binder_status_t linkToDeath(const std::shared_ptr<binder_ndk::internal::DeathRecipientCore>&,
                                        void*) noexcept {
        return STATUS_INVALID_OPERATION;
    }
    virtual binder_status_t unlinkToDeath(const binder_ndk::internal::DeathRecipientCore*, void*) noexcept {
        return STATUS_INVALID_OPERATION;
    }
    // Runs a transaction whose arguments AIBinder_transact has checked
    // (flags, code range, that `request` was prepared for this binder). The
    // request stays owned by the caller. On STATUS_OK *reply receives an
    // owned reply positioned at 0, or null for a one-way call.
    virtual binder_status_t transact(transaction_code_t code, AParcel* request, AParcel** reply,
                                     binder_flags_t flags) noexcept = 0;

  protected:
    virtual ~AIBinder() = default;
    // Called once, on the thread that gave back the last strong reference.
    virtual void onLastStrongRef() noexcept = 0;

    std::atomic<const AIBinder_Class*> clazz_;

  private:
    static inline std::atomic<uint64_t> nextSerial_{1};
    const bool local_;
    const uint64_t serial_;
    std::atomic<int32_t> strong_{1};
    std::atomic<int32_t> weak_{1};
    std::atomic<bool> vintf_{false};
};

// A weak reference handle: holds one weak count of `binder`.
struct AIBinder_Weak {
    AIBinder* binder;
};

namespace binder_ndk::internal {

// An object of this process, served by its class's transaction function.
class LocalBinder final : public AIBinder {
  public:
    explicit LocalBinder(const AIBinder_Class* clazz) noexcept : AIBinder(clazz, true) {}
    void setUserData(void* userData) noexcept { userData_ = userData; }

    bool isRemote() const noexcept override { return false; }
    bool isAlive() const noexcept override { return true; }
    bool associateClass(const AIBinder_Class* clazz) noexcept override { return clazz == getClass(); }
    void* userData() const noexcept override { return userData_; }
    binder_status_t dump(int fd, const char** args, uint32_t numArgs) noexcept override;
    binder_status_t shellCommand(int in, int out, int err, const char** args,
                                 uint32_t numArgs) noexcept override;
    const char* descriptor() const noexcept override { return getClass()->descriptor; }
    binder_status_t transact(transaction_code_t code, AParcel* request, AParcel** reply,
                             binder_flags_t flags) noexcept override;

  private:
    ~LocalBinder() override = default;
    void onLastStrongRef() noexcept override;

    void* userData_ = nullptr;
};

// Owns one strong reference (null allowed). Move-only.
class StrongRef {
  public:
    StrongRef() noexcept = default;
    explicit StrongRef(AIBinder* binder) noexcept : binder_(binder) {
        if (binder_ != nullptr) binder_->incStrong();
    }
    // Takes over a reference the caller already owns.
    static StrongRef adopt(AIBinder* binder) noexcept {
        StrongRef ref;
        ref.binder_ = binder;
        return ref;
    }
    AIBinder* release() noexcept {
        AIBinder* binder = binder_;
        binder_ = nullptr;
        return binder;
    }
    ~StrongRef() { reset(); }
    StrongRef(const StrongRef&) = delete;
    StrongRef& operator=(const StrongRef&) = delete;
    StrongRef(StrongRef&& other) noexcept : binder_(other.binder_) { other.binder_ = nullptr; }
    StrongRef& operator=(StrongRef&& other) noexcept {
        if (this != &other) {
            reset();
            binder_ = other.binder_;
            other.binder_ = nullptr;
        }
        return *this;
    }

    AIBinder* get() const noexcept { return binder_; }
    void reset() noexcept {
        AIBinder* old = binder_;
        binder_ = nullptr;
        if (old != nullptr) old->decStrong();
    }

  private:
    AIBinder* binder_ = nullptr;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_BINDER_INTERNAL_H
