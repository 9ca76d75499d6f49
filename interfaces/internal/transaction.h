/*
 * How every generated interface turns calls into transactions and
 * transactions back into calls, written once:
 *   - the proxy call sequences, two-way (with its failure mapping and the
 *     fallback to the interface's default implementation) and one-way;
 *   - the proxy's version and hash queries with their caches;
 *   - the stub's dispatch of a transaction to the implementation, and the
 *     stub's answers to the version and hash queries.
 *
 * A method is described by its pointer to member, `&I::method`: its
 * parameters that are not pointers are the arguments, sent in order in the
 * request; its pointer parameters are the out values (out parameters in
 * declaration order, then the result), sent in order after the status header
 * of the reply. A one-way method has arguments only and no reply. Each
 * generated interface then lists only its methods, their codes and whether
 * they are one-way.
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

#include <array>
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
    // A pointer parameter is an out value (out parameters, then the result,
    // as the generator orders them); every other parameter is an argument.
    static constexpr bool kIsOut[kParams + 1] = {std::is_pointer_v<Params>..., false};
    static constexpr size_t kOuts = (size_t{0} + ... + size_t{std::is_pointer_v<Params>});
    static constexpr size_t kArgs = kParams - kOuts;

    // Parameter `index`'s place among the parameters of its own kind.
    static constexpr size_t slot(size_t index) {
        size_t before = 0;
        for (size_t i = 0; i < index; ++i) before += kIsOut[i] == kIsOut[index] ? 1 : 0;
        return before;
    }
    // The positions of the arguments (Out false) or out values (Out true).
    template <bool Out, size_t Count>
    static constexpr std::array<size_t, Count> positions() {
        std::array<size_t, Count> found{};
        size_t count = 0;
        for (size_t i = 0; i < kParams; ++i) {
            if (kIsOut[i] == Out) found[count++] = i;
        }
        return found;
    }
};

template <typename Traits, bool Out, size_t... Slot>
std::index_sequence<Traits::template positions<Out, sizeof...(Slot)>()[Slot]...> pickPositions(
        std::index_sequence<Slot...>);

// The parameter positions of a method's arguments, and of its out values.
template <typename Traits>
using ArgPositions = decltype(pickPositions<Traits, false>(std::make_index_sequence<Traits::kArgs>{}));
template <typename Traits>
using OutPositions = decltype(pickPositions<Traits, true>(std::make_index_sequence<Traits::kOuts>{}));

// References to what the pointers in `values` at `Index...` point to.
template <typename Tuple, size_t... Index>
auto pointeesAt(const Tuple& values, std::index_sequence<Index...>) {
    return std::tie(*std::get<Index>(values)...);
}

template <typename Tuple, size_t... Index>
std::tuple<std::remove_pointer_t<std::decay_t<std::tuple_element_t<Index, Tuple>>>...> valuesAt(
        std::index_sequence<Index...>);

// Value-typed locals for a method's arguments, and for its out values.
template <typename Traits>
using ArgValues = decltype(valuesAt<typename Traits::ParamTuple>(ArgPositions<Traits>{}));
template <typename Traits>
using OutValues = decltype(valuesAt<typename Traits::ParamTuple>(OutPositions<Traits>{}));

// Writes the elements of `values` at `Index...`, in order; the first
// failure ends it.
template <typename Tuple, size_t... Index>
binder_status_t writeValues(AParcel* parcel, const Tuple& values, std::index_sequence<Index...>) {
    (void)parcel;  // unused for a method without arguments
    (void)values;
    binder_status_t status = STATUS_OK;
    ((status = status == STATUS_OK ? writeValue(parcel, std::get<Index>(values)) : status), ...);
    return status;
}

// Reads every element of `values` (values, or references to where they go),
// in order; the first failure ends it.
template <typename Tuple, size_t... Index>
binder_status_t readValues(const AParcel* parcel, Tuple& values, std::index_sequence<Index...>) {
    (void)parcel;  // unused for a method without arguments
    (void)values;
    binder_status_t status = STATUS_OK;
    ((status = status == STATUS_OK ? readValue(parcel, &std::get<Index>(values)) : status), ...);
    return status;
}

// ---------------------------------------------------------------------------
// The proxy call sequences.

// Prepares a request on `binder` and writes the method's arguments (its
// parameters that are not pointers) into it, in order.
template <typename Traits, typename Tuple>
binder_status_t writeRequest(const ndk::SpAIBinder& binder, const Tuple& all, ndk::UniqueAParcel& request) {
    const binder_status_t status = AIBinder_prepareTransaction(binder.get(), request.outPtr());
    if (status != STATUS_OK) {
        return status;
    }
    return writeValues(request.get(), all, ArgPositions<Traits>{});
}

/*
 * Runs one two-way method on a proxy: prepares the request on the remote
 * binder, writes the arguments, transacts with flags 0, reads the status
 * header and, when it is OK, the out values (out parameters in order, then
 * the result) straight into the caller's pointers.
 *
 * Returns a fresh OK status on success; the remote side's own status when it
 * reports a failure (the out values are then untouched); a status made from
 * the platform code when preparing, writing, transacting or reading fails (a
 * reply that fails to decode may leave the values before the failing one
 * written). When the remote side does not have the code
 * (STATUS_UNKNOWN_TRANSACTION) and a default implementation is installed,
 * that object's method runs with the caller's own arguments and its status
 * is returned unchanged.
 *
 * *resultFromRemote, when given, is set to whether the out values were read
 * from a successful reply (and not, say, produced by the default
 * implementation).
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

    binder_status_t status = writeRequest<Traits>(binder, all, request);
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
    if constexpr (Traits::kOuts > 0) {
        if (status == STATUS_OK) {
            // References to the caller's out values, read in place.
            auto outs = pointeesAt(all, OutPositions<Traits>{});
            status = readValues(reply.get(), outs, std::make_index_sequence<Traits::kOuts>{});
            if (status == STATUS_OK && resultFromRemote != nullptr) *resultFromRemote = true;
        }
    }
    returned.reset(AStatus_fromStatus(status));
    return returned;
}

/*
 * Runs one one-way method on a proxy: prepares the request, writes the
 * arguments and transacts with FLAG_ONEWAY. There is no reply: the call
 * returns OK once the request is sent (on a local binder, once the
 * implementation has run), or a status made from the platform code when
 * preparing, writing or sending fails. The sender never learns whether the
 * other side has the method, so a one-way call never falls back to the
 * default implementation.
 */
template <auto Method, typename... Params>
ndk::UniqueAStatus proxyOnewayCall(const ndk::SpAIBinder& binder, transaction_code_t code,
                                   Params&&... params) {
    using Traits = MethodTraits<decltype(Method)>;
    static_assert(sizeof...(Params) == Traits::kParams && Traits::kOuts == 0,
                  "a one-way method takes arguments only");
    ndk::UniqueAParcel request;
    ndk::UniqueAParcel reply;  // stays empty: the runtime gives a one-way call none
    binder_status_t status = writeRequest<Traits>(binder, std::forward_as_tuple(params...), request);
    if (status == STATUS_OK) {
        status = AIBinder_transact(binder.get(), code, request.outPtr(), reply.outPtr(), FLAG_ONEWAY);
    }
    return ndk::UniqueAStatus(AStatus_fromStatus(status));
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

// The implementation's parameter `Index`: a reference to its argument
// local, or a pointer to its out-value local.
template <typename Traits, size_t Index, typename Args, typename Outs>
decltype(auto) parameterAt(Args& args, Outs& outs) {
    if constexpr (Traits::kIsOut[Index]) {
        return &std::get<Traits::slot(Index)>(outs);
    } else {
        return (std::get<Traits::slot(Index)>(args));
    }
}

// Reads a method's arguments into zero or empty locals and calls the
// implementation with them and with `outs`. On a failed read returns its
// code and calls nothing.
template <auto Method, typename Outs, size_t... Index>
binder_status_t readAndCall(typename MethodTraits<decltype(Method)>::Interface* impl, const AParcel* in,
                            Outs& outs, ndk::UniqueAStatus& returned, std::index_sequence<Index...>) {
    using Traits = MethodTraits<decltype(Method)>;
    ArgValues<Traits> args{};
    const binder_status_t status = readValues(in, args, std::make_index_sequence<Traits::kArgs>{});
    if (status != STATUS_OK) {
        return status;
    }
    (void)outs;  // unused by a method without out values
    returned = (impl->*Method)(parameterAt<Traits, Index>(args, outs)...);
    return STATUS_OK;
}

/*
 * Serves one two-way method: reads the arguments into zero or empty locals
 * (the first failing read ends the transaction with its code and an empty
 * reply), calls the implementation, writes its status as the status header
 * and, when it is OK, the out values in parameter order (each initially zero
 * or empty, so an untouched one goes out as such). Returns 0 whenever a
 * well-formed reply was produced, whether the method succeeded or not.
 */
template <auto Method>
binder_status_t serveMethod(typename MethodTraits<decltype(Method)>::Interface* impl,
                            const AParcel* in, AParcel* out) {
    using Traits = MethodTraits<decltype(Method)>;
    OutValues<Traits> outs{};
    ndk::UniqueAStatus returned;
    binder_status_t status =
            readAndCall<Method>(impl, in, outs, returned, std::make_index_sequence<Traits::kParams>{});
    if (status != STATUS_OK) {
        return status;
    }
    status = AParcel_writeStatusHeader(out, returned.get());
    if (status != STATUS_OK || !AStatus_isOk(returned.get())) {
        return status;
    }
    return writeValues(out, outs, std::make_index_sequence<Traits::kOuts>{});
}

/*
 * Serves one one-way method: reads the arguments and calls the
 * implementation, writing nothing to the reply, whatever the implementation
 * returns (nobody waits for it). A failed read returns its code and calls
 * nothing. A caller that sent the code two-way gets the empty reply.
 */
template <auto Method>
binder_status_t serveOnewayMethod(typename MethodTraits<decltype(Method)>::Interface* impl,
                                  const AParcel* in, AParcel* /*out*/) {
    using Traits = MethodTraits<decltype(Method)>;
    static_assert(Traits::kOuts == 0, "a one-way method takes arguments only");
    std::tuple<> outs;
    ndk::UniqueAStatus returned;
    return readAndCall<Method>(impl, in, outs, returned, std::make_index_sequence<Traits::kParams>{});
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

// Entries of an interface's dispatch table: the two-way or one-way method
// served for `Code`.
template <transaction_code_t Code, auto Method>
struct Call {
    static constexpr transaction_code_t kCode = Code;
    static constexpr auto serve = &serveMethod<Method>;
};
template <transaction_code_t Code, auto Method>
struct OnewayCall {
    static constexpr transaction_code_t kCode = Code;
    static constexpr auto serve = &serveOnewayMethod<Method>;
};

/*
 * An interface's transaction function: I is the interface, Stub its stub
 * type and Calls its methods, each a Call or OnewayCall with its code (codes
 * distinct, in any order). Unknown codes give STATUS_UNKNOWN_TRANSACTION with
 * an empty reply and call nothing. A binder of the class whose object is gone
 * (no user data, or an empty owner) gives STATUS_DEAD_OBJECT rather than a
 * call through a null pointer. The function takes no lock; it holds a strong
 * reference to the object while it runs.
 */
template <typename I, typename Stub, typename... Calls>
binder_status_t dispatchByCode(AIBinder* binder, transaction_code_t code, const AParcel* in,
                               AParcel* out) {
    if (code == kGetInterfaceVersionCode) {
        return serveInterfaceVersion<I>(out);
    }
    if (code == kGetInterfaceHashCode) {
        return serveInterfaceHash<I>(out);
    }
    if (!(false || ... || (code == Calls::kCode))) {
        return STATUS_UNKNOWN_TRANSACTION;
    }
    // One owner for the call (a cast of the shared pointer would take a
    // second reference and give it back).
    const std::shared_ptr<ndk::ICInterface> owner = ndk::ICInterface::localInterface(binder);
    Stub* impl = static_cast<Stub*>(owner.get());
    if (impl == nullptr) {
        return STATUS_DEAD_OBJECT;
    }
    (void)in;  // unused by an interface without methods
    binder_status_t status = STATUS_UNKNOWN_TRANSACTION;
    // Serves the entry with the code; stops at it.
    (void)(false || ... || (code == Calls::kCode && ((status = Calls::serve(impl, in, out)), true)));
    return status;
}

template <typename I, typename Stub, typename Positions, auto... Methods>
struct CallsInOrder;
template <typename I, typename Stub, size_t... Position, auto... Methods>
struct CallsInOrder<I, Stub, std::index_sequence<Position...>, Methods...> {
    static constexpr auto dispatch =
            &dispatchByCode<I, Stub, Call<FIRST_CALL_TRANSACTION + Position, Methods>...>;
};

// The transaction function of an interface whose methods are all two-way
// with codes 1..N in order: Methods in code order, code 1 first.
template <typename I, typename Stub, auto... Methods>
binder_status_t dispatchTransaction(AIBinder* binder, transaction_code_t code, const AParcel* in,
                                    AParcel* out) {
    return CallsInOrder<I, Stub, std::make_index_sequence<sizeof...(Methods)>, Methods...>::dispatch(
            binder, code, in, out);
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
