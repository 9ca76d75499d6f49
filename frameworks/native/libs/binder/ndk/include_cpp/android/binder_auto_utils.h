/*
 * Scoped owners of the binder runtime's handles.
 *
 * Every runtime handle that C++ code owns is held by one of these types, and
 * each gives its handle back exactly once:
 *   - ndk::SpAIBinder owns one strong reference to a binder;
 *   - ndk::UniqueAResource<T, deleteOp> owns one value of the pointer type T
 *     and gives it back with deleteOp; its instances are UniqueAStatus,
 *     UniqueAParcel, UniqueAIBinderWeak and ScopedAIBinder_DeathRecipient.
 * Handles the runtime only lends to a callback (the binder and parcels of an
 * incoming transaction) stay raw pointers.
 *
 * Threads: one handle belongs to one thread at a time. Different handles
 * that hold the same binder are independent, since the runtime's reference
 * counts are thread-safe. A concurrent change of one SpAIBinder is detected
 * on reset and ends the process with "Race detected." before a reference
 * could be given back twice.
 *
 * Including this header brings every runtime operation into view.
 */
#ifndef NDK_BINDER_AUTO_UTILS_H
#define NDK_BINDER_AUTO_UTILS_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<android/binder_auto_utils.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_ibinder.h>
#include <android/binder_parcel.h>
#include <android/binder_status.h>

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__GLIBC__) || defined(__linux__)
// libc's fatal assertion report: prints "<file>:<line>: <function>: Assertion
// `<message>' failed." to the error output and aborts. Declared here because
// <assert.h> hides it when NDEBUG is set.
// The GNU attribute, as libc itself declares it, so this may come second.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));
#endif

namespace ndk {
namespace internal {

// Ends the process through libc's assertion report. Used only for misuse of
// the frame that leaves no sound way to continue.
[[noreturn]] inline void fatalReport(const char* message, const char* file, unsigned int line,
                                     const char* function) {
    __assert_fail(message, file, line, function);
}

// The file names the frame's fatal reports carry. They name the frame's
// headers as they stand in the source tree, without extension, and are part of
// the reports' fixed text that tools and tests match.
inline constexpr const char kAutoUtilsFile[] =
        "frameworks/native/libs/binder/ndk/include_cpp/android/binder_auto_utils";
inline constexpr const char kInterfaceUtilsFile[] =
        "frameworks/native/libs/binder/ndk/include_cpp/android/binder_interface_utils";

}  // namespace internal

/*
 * Owner of one strong reference to a binder; empty when it holds null.
 *
 * There is deliberately no move: assigning from a temporary copies it (one
 * increment) and the temporary then gives its own reference back (one
 * decrement), so a binder's count never drops to zero in between.
 */
class SpAIBinder {
  public:
    SpAIBinder() = default;

    // Adopts a strong reference the caller already holds; no increment.
    explicit SpAIBinder(AIBinder* binder) : mBinder(binder) {}

    SpAIBinder(const SpAIBinder& other) { *this = other; }

    // Takes one more reference on the other handle's binder (incrementing
    // before the held one is given back), unless both are the same handle.
    SpAIBinder& operator=(const SpAIBinder& other) {
        if (this == &other) {
            return *this;
        }
        AIBinder_incStrong(other.mBinder);
        reset(other.mBinder);
        return *this;
    }

    ~SpAIBinder() { reset(); }

    // Gives the held reference back and adopts `binder` (no increment).
    // Aborts with "Race detected." when another thread changed this handle
    // while the reference was being given back.
    void reset(AIBinder* binder = nullptr) {
        // Two separate reads that the compiler may not merge: a change between
        // them can only come from another thread using this same handle.
        AIBinder* old = *const_cast<AIBinder* volatile*>(&mBinder);
        if (old != nullptr) {
            AIBinder_decStrong(old);
        }
        if (old != *const_cast<AIBinder* volatile*>(&mBinder)) {
            internal::fatalReport("Race detected.", internal::kAutoUtilsFile, 94,
                                  __PRETTY_FUNCTION__);
        }
        mBinder = binder;
    }

    // The held binder; no count changes.
    AIBinder* get() const { return mBinder; }

    // The address of the held value, for a runtime call that produces a new
    // strong reference into an empty handle (AParcel_readStrongBinder).
    // Nothing is given back through it.
    AIBinder** outPtr() { return &mBinder; }

    bool operator==(const SpAIBinder& rhs) const { return mBinder == rhs.mBinder; }
    bool operator!=(const SpAIBinder& rhs) const { return mBinder != rhs.mBinder; }
    bool operator<(const SpAIBinder& rhs) const { return mBinder < rhs.mBinder; }

  private:
    AIBinder* mBinder = nullptr;
};

/*
 * Owner of one runtime value of the pointer type T, given back with deleteOp.
 * deleteOp accepts null, so an empty handle gives back null as well. Move
 * only.
 */
template <typename T, void (*deleteOp)(T)>
class UniqueAResource {
  public:
    UniqueAResource() = default;
    explicit UniqueAResource(T value) : mValue(value) {}
    ~UniqueAResource() { reset(); }

    UniqueAResource(UniqueAResource&& other) noexcept : mValue(other.release()) {}
    UniqueAResource& operator=(UniqueAResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueAResource(const UniqueAResource&) = delete;
    UniqueAResource& operator=(const UniqueAResource&) = delete;

    // Gives the held value back (null included) and adopts `value`.
    void reset(T value = T{}) {
        deleteOp(mValue);
        mValue = value;
    }

    // Returns the held value and leaves the handle empty; nothing is deleted.
    [[nodiscard]] T release() {
        T value = mValue;
        mValue = T{};
        return value;
    }

    T get() const { return mValue; }

    // The address of the held value, for runtime calls that produce a value
    // into the handle or take it over (AIBinder_transact). Whatever the handle
    // holds afterwards is given back by its next reset or its destruction.
    T* outPtr() { return &mValue; }

  private:
    T mValue{};
};

/*
 * Owned status: the result of every interface method. Adds readable
 * accessors and factories to the generic owner; the factories never yield an
 * empty handle (the runtime's constructors never return null).
 */
class UniqueAStatus : public UniqueAResource<AStatus*, AStatus_delete> {
  public:
    UniqueAStatus() = default;
    explicit UniqueAStatus(AStatus* status) : UniqueAResource(status) {}
    UniqueAStatus(UniqueAStatus&&) noexcept = default;
    UniqueAStatus& operator=(UniqueAStatus&&) noexcept = default;

    // An empty handle reads as a failed status (STATUS_UNEXPECTED_NULL).
    bool isOk() const { return AStatus_isOk(get()); }
    binder_exception_t getExceptionCode() const { return AStatus_getExceptionCode(get()); }
    int32_t getServiceSpecificError() const { return AStatus_getServiceSpecificError(get()); }
    binder_status_t getStatus() const { return AStatus_getStatus(get()); }
    const char* getMessage() const { return AStatus_getMessage(get()); }
    std::string getDescription() const {
        const char* text = AStatus_getDescription(get());
        std::string description(text);
        AStatus_deleteDescription(text);
        return description;
    }

    static UniqueAStatus ok() { return UniqueAStatus(AStatus_newOk()); }
    static UniqueAStatus fromStatus(binder_status_t status) {
        return UniqueAStatus(AStatus_fromStatus(status));
    }
    static UniqueAStatus fromExceptionCode(binder_exception_t exception) {
        return UniqueAStatus(AStatus_fromExceptionCode(exception));
    }
    static UniqueAStatus fromExceptionCodeWithMessage(binder_exception_t exception,
                                                      const char* message) {
        return UniqueAStatus(AStatus_fromExceptionCodeWithMessage(exception, message));
    }
    static UniqueAStatus fromServiceSpecificError(int32_t error) {
        return UniqueAStatus(AStatus_fromServiceSpecificError(error));
    }
    static UniqueAStatus fromServiceSpecificErrorWithMessage(int32_t error, const char* message) {
        return UniqueAStatus(AStatus_fromServiceSpecificErrorWithMessage(error, message));
    }
};

using UniqueAParcel = UniqueAResource<AParcel*, AParcel_delete>;
using UniqueAIBinderWeak = UniqueAResource<AIBinder_Weak*, AIBinder_Weak_delete>;
// Deleting the recipient unlinks it from every binder it was linked to.
using ScopedAIBinder_DeathRecipient = UniqueAResource<AIBinder_DeathRecipient*, AIBinder_DeathRecipient_delete>;

}  // namespace ndk

#endif  // NDK_BINDER_AUTO_UTILS_H
