/*
 * The object frame under every interface: the reference-counted base of all
 * interface objects, the interface base with its binder-class callbacks, and
 * the stub and proxy bases.
 *
 * Ownership: interface objects live in std::shared_ptr owners created through
 * SharedRefBase (makeRef, or ref() on an object). A stub's local binder owns
 * its object through the binder's user data while the object keeps only a
 * weak reference to the binder, so a published object lives as long as anyone
 * holds its binder. A proxy holds one strong reference to the binder it
 * calls through (remote, or local to this process) for its whole life.
 *
 * Locks: each stub has one lock, held across its whole asBinder(); the frame
 * takes no other lock.
 *
 * Including this header brings every runtime operation into view.
 */
#ifndef NDK_BINDER_INTERFACE_UTILS_H
#define NDK_BINDER_INTERFACE_UTILS_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<android/binder_interface_utils.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_auto_utils.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace ndk {
namespace internal {

// The word SharedRefBase's allocation function writes just past an object it
// allocates at `address`: the address, scrambled, so that a word left behind
// by an object elsewhere does not match.
inline std::uintptr_t allocationMark(std::uintptr_t address) {
    return address ^ static_cast<std::uintptr_t>(0x5ba4e8f3c17d2a69ull);
}

#if defined(__clang__)
#define NDK_FRAME_UNCHECKED_READ __attribute__((noinline, no_sanitize("address", "thread", "memory")))
#elif defined(__GNUC__)
#define NDK_FRAME_UNCHECKED_READ __attribute__((noinline, no_sanitize_address, no_sanitize_thread))
#else
#define NDK_FRAME_UNCHECKED_READ
#endif

// Ends the process unless the word just past the `size` bytes at `memory` is
// the allocation's mark. For an object from SharedRefBase's allocation
// function the word lies inside the allocation. For any other object it lies
// beyond the object (in the caller's stack, or in the bookkeeping next to
// another allocation), read only on the way to the fatal report; so the
// sanitizers are told not to report that read, and the function stays out of
// line, where the compiler cannot see it as a read past a known object.
NDK_FRAME_UNCHECKED_READ inline void checkAllocationMark(const void* memory, std::size_t size) {
    const auto* word =
            reinterpret_cast<const std::uintptr_t*>(static_cast<const char*>(memory) + size);
    if (*word != allocationMark(reinterpret_cast<std::uintptr_t>(memory))) {
        fatalReport("SharedRefBase: object not created with SharedRefBase::makeRef, so its owners "
                    "cannot free it. Was it made with std::make_shared, on the stack or as a "
                    "member?",
                    kInterfaceUtilsFile, __LINE__, __PRETTY_FUNCTION__);
    }
}

#undef NDK_FRAME_UNCHECKED_READ

}  // namespace internal

/*
 * Base of every interface object. Objects are allocated with malloc and freed
 * with free (class-level allocation functions) and owned by one ownership
 * group, the std::shared_ptr control block created by the first ref().
 *
 * Create objects with SharedRefBase::makeRef<T>(...). (A plain `new T`
 * followed by ref() works too; the group then owns the object.) An object
 * made by std::make_shared, on the stack or as a member of something else
 * cannot be freed by its group: its memory did not come from malloc.
 *
 * Misuse is fatal, through libc's assertion report:
 *   - destroying an object that never had a ref() ("SharedRefBase: no ref
 *     created during lifetime");
 *   - destroying an object that its group still owns, for instance one that
 *     also lives on the stack or in a second group ("SharedRefBase: destructed
 *     but still able to lock weak_ptr. Is this object double-owned?");
 *   - the group freeing an object its allocation function did not allocate,
 *     one made by std::make_shared, on the stack or as a member
 *     ("SharedRefBase: object not created with SharedRefBase::makeRef ..."),
 *     reported after the destructor and before free() would be handed a
 *     pointer malloc never returned;
 *   - running out of memory while allocating one.
 *
 * The allocation function tells its objects apart by one word it writes
 * just past each object, inside the same allocation. A class derived from
 * SharedRefBase that declares its own operator new declares its own operator
 * delete as well.
 */
class SharedRefBase {
  public:
    SharedRefBase() {}

    virtual ~SharedRefBase() {
        std::call_once(mFlagThis, []() {
            internal::fatalReport("SharedRefBase: no ref created during lifetime",
                                  internal::kInterfaceUtilsFile, 67, __PRETTY_FUNCTION__);
        });
        // While dying, the group has no owner left and ref() yields empty.
        if (ref() != nullptr) {
            internal::fatalReport(
                    "SharedRefBase: destructed but still able to lock weak_ptr. Is this object "
                    "double-owned?",
                    internal::kInterfaceUtilsFile, 71, __PRETTY_FUNCTION__);
        }
    }

    SharedRefBase(const SharedRefBase&) = delete;
    SharedRefBase& operator=(const SharedRefBase&) = delete;

    /*
     * A new owner of this object. The first call of the object's life creates
     * its ownership group; later calls join it while an owner exists; a call
     * after the last owner is gone (during destruction) returns empty.
     * Any thread; the first call must happen before the object is shared
     * with another thread (makeRef and stub binder creation guarantee that).
     */
    std::shared_ptr<SharedRefBase> ref() {
        std::shared_ptr<SharedRefBase> owner = mThis.lock();
        std::call_once(mFlagThis, [&]() {
            // The deleter runs the virtual deleting destructor: the most
            // derived destructor first, then free().
            owner = std::shared_ptr<SharedRefBase>(this, [](SharedRefBase* self) { delete self; });
            mThis = owner;
        });
        return owner;
    }

    // ref() converted to the derived type, without a check.
    template <typename Derived>
    std::shared_ptr<Derived> ref() {
        return std::static_pointer_cast<Derived>(ref());
    }

    // Allocates and constructs a T and returns its first owner.
    template <typename T, typename... Args>
    static std::shared_ptr<T> makeRef(Args&&... args) {
        T* object = new T(std::forward<Args>(args)...);
        return object->template ref<T>();
    }

    // Allocates `size` bytes and one word past them holding the allocation's
    // mark, which operator delete checks.
    static void* operator new(std::size_t size) {
        void* memory = std::malloc(size + sizeof(std::uintptr_t));
        if (memory == nullptr) {
            internal::fatalReport("SharedRefBase: out of memory allocating an interface object",
                                  internal::kInterfaceUtilsFile, __LINE__, __PRETTY_FUNCTION__);
        }
        const std::uintptr_t mark =
                internal::allocationMark(reinterpret_cast<std::uintptr_t>(memory));
        std::memcpy(static_cast<char*>(memory) + size, &mark, sizeof(mark));
        return memory;
    }
    // `size` is the size of the object's dynamic type (the destructor is
    // virtual), the size operator new was asked for when it allocated the
    // object.
    static void operator delete(void* memory, std::size_t size) {
        internal::checkAllocationMark(memory, size);
        std::free(memory);
    }
    // Arrays of interface objects could never be owned one by one.
    static void* operator new[](std::size_t) = delete;
    static void operator delete[](void*) = delete;

  private:
    std::once_flag mFlagThis;
    std::weak_ptr<SharedRefBase> mThis;
};

/*
 * Base of every interface (IBGService, IEventCallback). An interface declares
 * its own methods after these operations.
 */
class ICInterface : public SharedRefBase {
  public:
    ICInterface() {}
    virtual ~ICInterface() {}

    // The binder that stands for this object: a stub's own local binder, the
    // binder a proxy calls through, or empty for an object without one.
    virtual SpAIBinder asBinder() = 0;

    // Whether calls on this object cross to another process.
    virtual bool isRemote() = 0;

    // Writes a description of the object to `fd`. Does nothing by default.
    virtual binder_status_t dump(int /*fd*/, const char** /*args*/, uint32_t /*numArgs*/) {
        return STATUS_OK;
    }

    // Runs a shell command against the object. Does nothing by default.
    virtual binder_status_t handleShellCommand(int /*in*/, int /*out*/, int /*err*/,
                                               const char** /*argv*/, uint32_t /*argc*/) {
        return STATUS_OK;
    }

    /*
     * Defines an interface's binder class with the frame's four callbacks
     * and the interface's transaction function and code-to-name table (entry
     * i names code i + 1; the table must outlive the call). Returns null when
     * the runtime refuses the definition; nothing else is installed then.
     */
    static AIBinder_Class* defineBinderClass(const char* descriptor,
                                             AIBinder_Class_onTransact onTransact,
                                             const char** functionNames, size_t functionCount);

    // The local object behind a binder of a frame-defined class, or empty
    // (null binder, no user data, or no object left).
    static std::shared_ptr<ICInterface> localInterface(AIBinder* binder);

    /*
     * The user data of every local binder the frame creates: an owner of the
     * object that serves the binder. Its static functions are the class
     * callbacks of every frame-defined binder class.
     */
    class ICInterfaceData {
      public:
        std::shared_ptr<ICInterface> interface;

        // `args` is the ICInterface* that createBinder() passed to
        // AIBinder_new; the binder becomes an owner of it.
        static void* onCreate(void* args);
        // Releases the binder's owner; the object may be destroyed here.
        static void onDestroy(void* userData);
        // Forward to the object's dump / handleShellCommand, or give
        // STATUS_DEAD_OBJECT when the binder has no object.
        static binder_status_t onDump(AIBinder* binder, int fd, const char** args,
                                      uint32_t numArgs);
        static binder_status_t handleShellCommand(AIBinder* binder, int in, int out, int err,
                                                  const char** argv, uint32_t argc);
    };
};

/*
 * Base of the generated stubs: makes the object's local binder on demand and
 * keeps only a weak reference to it, under a per-object lock.
 */
template <typename INTERFACE>
class BnCInterface : public INTERFACE {
  public:
    BnCInterface() {}
    virtual ~BnCInterface() {}

    // The object's live binder if one exists, else a new one from
    // createBinder(). Concurrent callers get the same binder. Empty when the
    // binder cannot be made; the next call tries again.
    SpAIBinder asBinder() override;

    bool isRemote() override { return false; }

  protected:
    // A new local binder of the interface's class with this object (as
    // ICInterface*) as the creation argument, marked as a stable vendor
    // interface. Runs under the binder-cache lock.
    virtual SpAIBinder createBinder() = 0;

  private:
    std::mutex mBinderCacheMutex;
    UniqueAIBinderWeak mCachedWeakBinder;
};

/*
 * Base of the generated proxies: holds the binder every call is sent through
 * as a transaction, a remote binder or a local one of this process. It is
 * written only at construction and destruction, so proxy calls need no lock.
 */
template <typename INTERFACE>
class BpCInterface : public INTERFACE {
  public:
    explicit BpCInterface(const SpAIBinder& binder) : mRemoteBinder(binder) {}
    virtual ~BpCInterface() {}

    SpAIBinder asBinder() override { return mRemoteBinder; }

    bool isRemote() override { return AIBinder_isRemote(mRemoteBinder.get()); }

    binder_status_t dump(int fd, const char** args, uint32_t numArgs) override {
        SpAIBinder binder = asBinder();
        return AIBinder_dump(binder.get(), fd, args, numArgs);
    }

    // The held binder, by reference: proxy calls cost no count traffic.
    const SpAIBinder& remoteBinder() const { return mRemoteBinder; }

  private:
    const SpAIBinder mRemoteBinder;
};

// ---------------------------------------------------------------------------
// Implementation.

inline AIBinder_Class* ICInterface::defineBinderClass(const char* descriptor,
                                                      AIBinder_Class_onTransact onTransact,
                                                      const char** functionNames,
                                                      size_t functionCount) {
    AIBinder_Class* clazz = AIBinder_Class_define(descriptor, ICInterfaceData::onCreate,
                                                  ICInterfaceData::onDestroy, onTransact);
    if (clazz == nullptr) {
        return nullptr;
    }
    AIBinder_Class_setOnDump(clazz, ICInterfaceData::onDump);
    AIBinder_Class_setHandleShellCommand(clazz, ICInterfaceData::handleShellCommand);
    AIBinder_Class_setTransactionCodeToFunctionNameMap(clazz, functionNames, functionCount);
    return clazz;
}

inline std::shared_ptr<ICInterface> ICInterface::localInterface(AIBinder* binder) {
    if (binder == nullptr) {
        return nullptr;
    }
    auto* data = static_cast<ICInterfaceData*>(AIBinder_getUserData(binder));
    if (data == nullptr) {
        return nullptr;
    }
    return data->interface;
}

inline void* ICInterface::ICInterfaceData::onCreate(void* args) {
    auto* object = static_cast<ICInterface*>(args);
    return new ICInterfaceData{object->ref<ICInterface>()};
}

inline void ICInterface::ICInterfaceData::onDestroy(void* userData) {
    delete static_cast<ICInterfaceData*>(userData);
}

inline binder_status_t ICInterface::ICInterfaceData::onDump(AIBinder* binder, int fd,
                                                            const char** args, uint32_t numArgs) {
    std::shared_ptr<ICInterface> object = localInterface(binder);
    if (object == nullptr) {
        return STATUS_DEAD_OBJECT;
    }
    return object->dump(fd, args, numArgs);
}

inline binder_status_t ICInterface::ICInterfaceData::handleShellCommand(AIBinder* binder, int in,
                                                                        int out, int err,
                                                                        const char** argv,
                                                                        uint32_t argc) {
    std::shared_ptr<ICInterface> object = localInterface(binder);
    if (object == nullptr) {
        return STATUS_DEAD_OBJECT;
    }
    return object->handleShellCommand(in, out, err, argv, argc);
}

template <typename INTERFACE>
SpAIBinder BnCInterface<INTERFACE>::asBinder() {
    std::lock_guard<std::mutex> lock(mBinderCacheMutex);
    SpAIBinder binder;
    if (mCachedWeakBinder.get() != nullptr) {
        binder.reset(AIBinder_Weak_promote(mCachedWeakBinder.get()));
        if (binder.get() != nullptr) {
            return binder;
        }
    }
    binder = createBinder();
    mCachedWeakBinder.reset(AIBinder_Weak_new(binder.get()));
    return binder;
}

namespace internal {

/*
 * The conversions between binders and references to an interface I, whose
 * proxy type is Bp. Each interface's fromBinder / writeToParcel /
 * readFromParcel is one call of these.
 */

// The local object itself when the binder is a local binder of `clazz`; a new
// proxy when the binder serves (or can serve) an interface of `descriptor`,
// including a class defined elsewhere with the same descriptor; else empty.
template <typename I, typename Bp>
std::shared_ptr<I> interfaceFromBinder(const SpAIBinder& binder, const AIBinder_Class* clazz,
                                       const char* descriptor) {
    if (!AIBinder_associateClass(binder.get(), clazz)) {
        const AIBinder_Class* actual = AIBinder_getClass(binder.get());
        if (actual == nullptr) {
            return nullptr;
        }
        const char* actualDescriptor = AIBinder_Class_getDescriptor(actual);
        if (actualDescriptor != nullptr && std::strcmp(actualDescriptor, descriptor) == 0) {
            return SharedRefBase::makeRef<Bp>(binder);
        }
        return nullptr;
    }
    std::shared_ptr<ICInterface> local = ICInterface::localInterface(binder.get());
    if (local != nullptr) {
        return std::static_pointer_cast<I>(local);
    }
    return SharedRefBase::makeRef<Bp>(binder);
}

// One strong-binder entry: the object's binder, or null for an empty reference.
template <typename I>
binder_status_t writeInterfaceToParcel(AParcel* parcel, const std::shared_ptr<I>& instance) {
    if (instance == nullptr) {
        return AParcel_writeStrongBinder(parcel, nullptr);
    }
    SpAIBinder binder = instance->asBinder();
    return AParcel_writeStrongBinder(parcel, binder.get());
}

// Reads one strong-binder entry into *instance through I::fromBinder. On a
// failed read *instance keeps its value and the read's status is returned.
template <typename I>
binder_status_t readInterfaceFromParcel(const AParcel* parcel, std::shared_ptr<I>* instance) {
    SpAIBinder binder;
    binder_status_t status = AParcel_readStrongBinder(parcel, binder.outPtr());
    if (status != STATUS_OK) {
        return status;
    }
    *instance = I::fromBinder(binder);
    return STATUS_OK;
}

}  // namespace internal
}  // namespace ndk

#endif  // NDK_BINDER_INTERFACE_UTILS_H
