/*
 * How every generated interface turns calls into transactions and
 * transactions back into calls, written once:
 *   - the proxy call sequence, with its failure mapping and the fallback to
 *     the interface's default implementation;
 *   - the proxy's version and hash queries with their caches;
 *   - the stub's dispatch of a transaction to the implementation, and the
 *     stub's answers to the version and hash queries.
 *
 * A method is described by its pointer to member, `&I::method`: its
 * parameters give the arguments in wire order, and a trailing pointer
 * parameter is the result, sent after the status header of the reply. Each
 * generated interface then lists only its methods and codes.
 *
 * Wire encodings of arguments and results: int32 and int64 with the
 * runtime's integer operations, strings as required strings, records as
 * record values (presence marker 1, then the body), interface references as
 * one strong binder.
 */
#ifndef BGS_BINDING_TRANSACTION_H
#define BGS_BINDING_TRANSACTION_H

#include <android/binder_interface_utils.h>
#include <android/binder_parcel_helpers.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace bgs::binding {

constexpr transaction_code_t kGetInterfaceVersionCode = 16777215;
constexpr transaction_code_t kGetInterfaceHashCode = 16777214;

// ---------------------------------------------------------------------------
// Argument and result codecs: one overload set for every type a method uses.

// Integers and strings: the frame's parcel helpers.
template <typename T>
auto writeValue(AParcel* parcel, const T& value) -> decltype(ndk::AParcel_writeData(parcel, value)) {
    return ndk::AParcel_writeData(parcel, value);
}
template <typename Record, typename = decltype(std::declval<const Record&>().writeToParcel(
                                   std::declval<AParcel*>()))>
binder_status_t writeValue(AParcel* parcel, const Record& record) {
    return ndk::AParcel_writeRequiredParcelable(parcel, record);
}
template <typename I>
binder_status_t writeValue(AParcel* parcel, const std::shared_ptr<I>& reference) {
    return I::writeToParcel(parcel, reference);
}

template <typename T>
auto readValue(const AParcel* parcel, T* value) -> decltype(ndk::AParcel_readData(parcel, value)) {
    return ndk::AParcel_readData(parcel, value);
}
template <typename Record, typename = decltype(std::declval<Record&>().readFromParcel(
                                   std::declval<const AParcel*>()))>
binder_status_t readValue(const AParcel* parcel, Record* record) {
    return ndk::AParcel_readRequiredParcelable(parcel, record);
}
template <typename I>
binder_status_t readValue(const AParcel* parcel, std::shared_ptr<I>* reference) {
    return I::readFromParcel(parcel, reference);
}

// ---------------------------------------------------------------------------
// What a method's pointer to member says about its wire layout.

template <typename Method>
struct MethodTraits;

template <typename I, typename... Params>
struct MethodTraits<ndk::UniqueAStatus (I::*)(Params...)> {
    using Interface = I;
    static constexpr size_t kParams = sizeof...(Params);
    using ParamTuple = std::tuple<Params...>;
    // The last parameter, or void for a method without parameters.
    using Last = std::tuple_element_t<(kParams > 0 ? kParams - 1 : 0), std::tuple<Params..., void>>;
    // A trailing pointer parameter is the result; all others are arguments.
    static constexpr bool kHasResult = std::is_pointer_v<Last>;
    static constexpr size_t kArgs = kHasResult ? kParams - 1 : kParams;
    template <size_t Index>
    using Arg = std::decay_t<std::tuple_element_t<Index, ParamTuple>>;
    using Result = std::remove_pointer_t<Last>;
};

template <typename Tuple, size_t... Index>
std::tuple<std::decay_t<std::tuple_element_t<Index, Tuple>>...> decayedPrefix(
        std::index_sequence<Index...>);

// Value-typed locals for a method's arguments (without its result).
template <typename Traits>
using ArgValues = decltype(decayedPrefix<typename Traits::ParamTuple>(
        std::make_index_sequence<Traits::kArgs>{}));

// Writes the first elements of `values`, in order; the first failure ends it.
template <typename Tuple, size_t... Index>
binder_status_t writeValues(AParcel* parcel, const Tuple& values, std::index_sequence<Index...>) {
    (void)parcel;  // unused for a method without arguments
    (void)values;
    binder_status_t status = STATUS_OK;
    ((status = status == STATUS_OK ? writeValue(parcel, std::get<Index>(values)) : status), ...);
    return status;
}

// Reads every element of `values`, in order; the first failure ends it.
template <typename Tuple, size_t... Index>
binder_status_t readValues(const AParcel* parcel, Tuple& values, std::index_sequence<Index...>) {
    (void)parcel;  // unused for a method without arguments
    (void)values;
    binder_status_t status = STATUS_OK;
    ((status = status == STATUS_OK ? readValue(parcel, &std::get<Index>(values)) : status), ...);
    return status;
}

// ---------------------------------------------------------------------------
// The proxy call sequence.

/*
 * Runs one method on a proxy: prepares the request on the remote binder,
 * writes the arguments, transacts with flags 0, reads the status header and,
 * when it is OK, the result straight into the caller's out-parameter.
 *
 * Returns a fresh OK status on success; the remote side's own status when it
 * reports a failure (the out-parameter is then untouched); a status made from
 * the platform code when preparing, writing, transacting or reading fails.
 * When the remote side does not have the code (STATUS_UNKNOWN_TRANSACTION)
 * and a default implementation is installed, that object's method runs with
 * the caller's own arguments and its status is returned unchanged.
 *
 * *resultFromRemote, when given, is set to whether the result was read from
 * a successful reply (and not, say, produced by the default implementation).
 */
template <auto Method, typename... Params>
ndk::UniqueAStatus proxyCall(const ndk::SpAIBinder& binder, transaction_code_t code,
                             bool* resultFromRemote, Params&&... params) {
    using Traits = MethodTraits<decltype(Method)>;
    using I = typename Traits::Interface;
    static_assert(sizeof...(Params) == Traits::kParams, "arguments must match the method");
    if (resultFromRemote != nullptr) *resultFromRemote = false;

    // Every path returns `returned` itself, so it is built in the caller's
    // slot (no move, no second destructor call).
    ndk::UniqueAStatus returned;
    ndk::UniqueAParcel request;
    ndk::UniqueAParcel reply;
    auto all = std::forward_as_tuple(params...);

    binder_status_t status = AIBinder_prepareTransaction(binder.get(), request.outPtr());
    if (status == STATUS_OK) {
        status = writeValues(request.get(), all, std::make_index_sequence<Traits::kArgs>{});
    }
    if (status == STATUS_OK) {
        status = AIBinder_transact(binder.get(), code, request.outPtr(), reply.outPtr(),
                                   /*flags=*/0);
        if (status == STATUS_UNKNOWN_TRANSACTION) {
            // An owning copy, taken atomically: a setDefaultImpl on another
            // thread may replace the installed object, and with it drop the
            // last other reference, while this call runs in it.
            if (const std::shared_ptr<I> fallback = std::atomic_load(&I::getDefaultImpl());
                fallback != nullptr) {
                returned = (fallback.get()->*Method)(std::forward<Params>(params)...);
                return returned;
            }
        }
    }
    if (status == STATUS_OK) {
        status = AParcel_readStatusHeader(reply.get(), returned.outPtr());
        if (status == STATUS_OK && !AStatus_isOk(returned.get())) {
            return returned;
        }
    }
    if constexpr (Traits::kHasResult) {
        if (status == STATUS_OK) {
            status = readValue(reply.get(), std::get<Traits::kParams - 1>(all));
            if (status == STATUS_OK && resultFromRemote != nullptr) *resultFromRemote = true;
        }
    }
    returned.reset(AStatus_fromStatus(status));
    return returned;
}

/*
 * The version query of a proxy: answered from `cachedVersion` once known,
 * otherwise one transaction whose successfully read answer is cached. A
 * value from the default implementation, a failure or a remote -1 leaves the
 * cache unknown, so the next call transacts again.
 */
template <auto Method, typename Proxy>
ndk::UniqueAStatus proxyGetInterfaceVersion(Proxy& proxy, int32_t* version) {
    const int32_t cached = proxy.cachedVersion.load(std::memory_order_relaxed);
    if (cached != -1) {
        *version = cached;
        return ndk::UniqueAStatus(AStatus_fromStatus(STATUS_OK));
    }
    bool fromRemote = false;
    ndk::UniqueAStatus status = proxyCall<Method>(proxy.remoteBinder(), kGetInterfaceVersionCode,
                                                  &fromRemote, version);
    if (fromRemote) {
        proxy.cachedVersion.store(*version, std::memory_order_relaxed);
    }
    return status;
}

/*
 * The hash query of a proxy, serialised per proxy by `cachedHashMutex` (held
 * across the transaction and any fallback). "-1" in the cache means unknown,
 * so a remote hash of "-1" is never cached.
 */
template <auto Method, typename Proxy>
ndk::UniqueAStatus proxyGetInterfaceHash(Proxy& proxy, std::string* hash) {
    std::lock_guard<std::mutex> lock(proxy.cachedHashMutex);
    if (proxy.cachedHash != "-1") {
        *hash = proxy.cachedHash;
        return ndk::UniqueAStatus(AStatus_fromStatus(STATUS_OK));
    }
    bool fromRemote = false;
    ndk::UniqueAStatus status =
            proxyCall<Method>(proxy.remoteBinder(), kGetInterfaceHashCode, &fromRemote, hash);
    if (fromRemote) {
        proxy.cachedHash = *hash;
    }
    return status;
}

// ---------------------------------------------------------------------------
// The stub side.

/*
 * Serves one method: reads the arguments into zero or empty locals (the
 * first failing read ends the transaction with its code and an empty reply),
 * calls the implementation, writes its status as the status header and, when
 * it is OK, the result (initially zero or empty, so an untouched result goes
 * out as such). Returns 0 whenever a well-formed reply was produced, whether
 * the method succeeded or not.
 */
template <auto Method>
binder_status_t serveMethod(typename MethodTraits<decltype(Method)>::Interface* impl,
                            const AParcel* in, AParcel* out) {
    using Traits = MethodTraits<decltype(Method)>;
    ArgValues<Traits> args{};
    binder_status_t status = readValues(in, args, std::make_index_sequence<Traits::kArgs>{});
    if (status != STATUS_OK) {
        return status;
    }
    if constexpr (Traits::kHasResult) {
        typename Traits::Result result{};
        ndk::UniqueAStatus returned = std::apply(
                [&](auto&... arg) { return (impl->*Method)(arg..., &result); }, args);
        status = AParcel_writeStatusHeader(out, returned.get());
        if (status != STATUS_OK || !AStatus_isOk(returned.get())) {
            return status;
        }
        return writeValue(out, result);
    } else {
        ndk::UniqueAStatus returned =
                std::apply([&](auto&... arg) { return (impl->*Method)(arg...); }, args);
        return AParcel_writeStatusHeader(out, returned.get());
    }
}

// The stub's own answers to the two queries: an OK header, then the value.
template <typename I>
binder_status_t serveInterfaceVersion(AParcel* out) {
    ndk::UniqueAStatus ok(AStatus_newOk());
    binder_status_t status = AParcel_writeStatusHeader(out, ok.get());
    if (status != STATUS_OK) {
        return status;
    }
    return AParcel_writeInt32(out, I::version);
}

template <typename I>
binder_status_t serveInterfaceHash(AParcel* out) {
    const std::string hash = I::hash;
    ndk::UniqueAStatus ok(AStatus_newOk());
    binder_status_t status = AParcel_writeStatusHeader(out, ok.get());
    if (status != STATUS_OK) {
        return status;
    }
    return ndk::AParcel_writeData(out, hash);
}

/*
 * An interface's transaction function: I is the interface, Stub its stub
 * type and Methods its methods in code order (code 1 first). Unknown codes give
 * STATUS_UNKNOWN_TRANSACTION with an empty reply and call nothing. A binder
 * of the class whose object is gone (no user data, or an empty owner) gives
 * STATUS_DEAD_OBJECT rather than a call through a null pointer. The function
 * takes no lock; it holds a strong reference to the object while it runs.
 */
template <typename I, typename Stub, auto... Methods>
binder_status_t dispatchTransaction(AIBinder* binder, transaction_code_t code, const AParcel* in,
                                    AParcel* out) {
    if (code == kGetInterfaceVersionCode) {
        return serveInterfaceVersion<I>(out);
    }
    if (code == kGetInterfaceHashCode) {
        return serveInterfaceHash<I>(out);
    }
    if (code < FIRST_CALL_TRANSACTION || code >= FIRST_CALL_TRANSACTION + sizeof...(Methods)) {
        return STATUS_UNKNOWN_TRANSACTION;
    }
    // One owner for the call (a cast of the shared pointer would take a
    // second reference and give it back).
    const std::shared_ptr<ndk::ICInterface> owner = ndk::ICInterface::localInterface(binder);
    Stub* impl = static_cast<Stub*>(owner.get());
    if (impl == nullptr) {
        return STATUS_DEAD_OBJECT;
    }
    binder_status_t status = STATUS_UNKNOWN_TRANSACTION;
    transaction_code_t methodCode = FIRST_CALL_TRANSACTION;
    // Serves the method whose position matches the code; stops at the first.
    auto serveIfCode = [&](auto method) {
        if (code != methodCode++) return false;
        status = serveMethod<decltype(method)::value>(impl, in, out);
        return true;
    };
    (void)(serveIfCode(std::integral_constant<decltype(Methods), Methods>{}) || ...);
    (void)serveIfCode;  // unused by an interface without methods
    return status;
}

// ---------------------------------------------------------------------------
// Small pieces every interface shares.

// What a default implementation answers for a method it does not have.
inline ndk::UniqueAStatus unknownTransactionStatus() {
    return ndk::UniqueAStatus(AStatus_fromStatus(STATUS_UNKNOWN_TRANSACTION));
}

// What a default implementation answers to the queries: version 0 and an
// empty hash, both OK, so that they are never mistaken for a real answer.
inline ndk::UniqueAStatus defaultInterfaceVersion(int32_t* version) {
    *version = 0;
    return ndk::UniqueAStatus(AStatus_newOk());
}
inline ndk::UniqueAStatus defaultInterfaceHash(std::string* hash) {
    hash->clear();
    return ndk::UniqueAStatus(AStatus_newOk());
}

// Installs a non-empty default implementation; refuses an empty one. The
// store is atomic, as is every read of the slot the proxies make, so it may
// race calls that fall back; the object it replaces is released here, or by
// the last such call still running in it.
template <typename I>
bool installDefaultImpl(std::shared_ptr<I>* slot, const std::shared_ptr<I>& impl) {
    if (impl == nullptr) {
        return false;
    }
    std::atomic_store(slot, impl);
    return true;
}

// The stub's own version and hash answers.
template <typename I>
ndk::UniqueAStatus stubInterfaceVersion(int32_t* version) {
    *version = I::version;
    return ndk::UniqueAStatus(AStatus_newOk());
}
template <typename I>
ndk::UniqueAStatus stubInterfaceHash(std::string* hash) {
    *hash = I::hash;
    return ndk::UniqueAStatus(AStatus_newOk());
}

// A stub's new binder: a local binder of `clazz` owned through its user data
// by `object`, marked as a stable vendor interface.
inline ndk::SpAIBinder createStubBinder(const AIBinder_Class* clazz, ndk::ICInterface* object) {
    AIBinder* binder = AIBinder_new(clazz, object);
    AIBinder_markVintfStability(binder);
    return ndk::SpAIBinder(binder);
}

}  // namespace bgs::binding

#endif  // BGS_BINDING_TRANSACTION_H
