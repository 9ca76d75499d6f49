// Binder classes, local binders, weak binders and transactions.
#include "binder_internal.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "death.h"
#include "parcel_internal.h"

using binder_ndk::internal::FunctionNameTable;
using binder_ndk::internal::LocalBinder;
using binder_ndk::internal::StrongRef;

namespace binder_ndk::internal {
namespace {

// Every class ever defined, newest first. Classes are never freed; keeping
// them reachable from here also tells leak checkers they are meant to stay.
std::atomic<AIBinder_Class*> gDefinedClasses{nullptr};

char* copyText(const char* text, size_t length) {
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

void deleteTable(FunctionNameTable* table) {
    if (table == nullptr) return;
    for (size_t i = 0; table->names != nullptr && i < table->count; ++i) delete[] table->names[i];
    delete[] table->names;
    delete table;
}

// Copies a name table; null when memory runs out.
FunctionNameTable* copyTable(const char** names, size_t count) {
    FunctionNameTable* table = new (std::nothrow) FunctionNameTable;
    if (table == nullptr) return nullptr;
    table->count = count;
    if (count > 0) {
        table->names = new (std::nothrow) char*[count]();
        if (table->names == nullptr) {
            deleteTable(table);
            return nullptr;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (names[i] == nullptr) continue;
        table->names[i] = copyText(names[i], std::strlen(names[i]));
        if (table->names[i] == nullptr) {
            deleteTable(table);
            return nullptr;
        }
    }
    return table;
}

// Rewinds `request` and checks its interface header against `clazz`.
bool hasInterfaceHeader(const AParcel& request, const AIBinder_Class& clazz) {
    request.setPosition(0);
    int32_t magic = 0;
    StringView descriptor{};
    return request.readWord(&magic) == STATUS_OK && magic == kInterfaceHeaderMagic &&
           request.readString(&descriptor) == STATUS_OK && descriptor.bytes != nullptr &&
           static_cast<size_t>(descriptor.length) == clazz.descriptorLength &&
           std::memcmp(descriptor.bytes, clazz.descriptor, clazz.descriptorLength) == 0;
}

}  // namespace

void LocalBinder::onLastStrongRef() noexcept {
    const AIBinder_Class* clazz = getClass();
    if (clazz->onDestroy != nullptr) clazz->onDestroy(userData_);
}

binder_status_t LocalBinder::dump(int fd, const char** args, uint32_t numArgs) noexcept {
    AIBinder_onDump onDump = getClass()->onDump.load(std::memory_order_acquire);
    return onDump != nullptr ? onDump(this, fd, args, numArgs) : STATUS_OK;
}

binder_status_t LocalBinder::shellCommand(int in, int out, int err, const char** args,
                                          uint32_t numArgs) noexcept {
    AIBinder_handleShellCommand handler = getClass()->handleShellCommand.load(std::memory_order_acquire);
    return handler != nullptr ? handler(this, in, out, err, args, numArgs) : STATUS_INVALID_OPERATION;
}

// Serves the request on the calling thread. The same path serves requests
// that arrive from another process, so the header is checked here, where the
// object's own class is known. A request prepared in this process for this
// class and untouched since carries the class's header by construction; only
// other requests have their header bytes compared.
//
// Takes no reference of its own: the caller holds one for the whole call
// (AIBinder_transact's contract; the session holds one for a request from
// another process). Nothing here touches this binder after onTransact
// returns, so the object may even lose that reference during the call.
binder_status_t LocalBinder::transact(transaction_code_t code, AParcel* request, AParcel** reply,
                                      binder_flags_t flags) noexcept {
    const AIBinder_Class* clazz = getClass();
    if (request->headerClass() == clazz) {
        request->setPosition(clazz->headerSize);
    } else if (!hasInterfaceHeader(*request, *clazz)) {
        return STATUS_BAD_TYPE;
    }
    binder_ndk::internal::ParcelPtr out(binder_ndk::internal::newParcel());
    if (out == nullptr) return STATUS_NO_MEMORY;
    const binder_status_t status = clazz->onTransact(this, code, request, out.get());
    // A one-way caller gets neither the reply nor the result.
    if ((flags & FLAG_ONEWAY) != 0) return STATUS_OK;
    if (status != STATUS_OK) return status;
    out->setPosition(0);
    *reply = out.release();
    return STATUS_OK;
}

}  // namespace binder_ndk::internal

void AIBinder::decStrong() noexcept {
    if (strong_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        onLastStrongRef();
        decWeak();
    }
}

bool AIBinder::tryIncStrong() noexcept {
    int32_t count = strong_.load(std::memory_order_relaxed);
    while (count > 0) {
        if (strong_.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void AIBinder::decWeak() noexcept {
    if (weak_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

// ---- Classes ----

AIBinder_Class* AIBinder_Class_define(const char* descriptor, AIBinder_Class_onCreate onCreate,
                                      AIBinder_Class_onDestroy onDestroy,
                                      AIBinder_Class_onTransact onTransact) {
    if (descriptor == nullptr || onTransact == nullptr) return nullptr;
    const size_t length = std::strlen(descriptor);
    // The descriptor travels as a string item, whose length is an int32.
    if (length == 0 || length > INT32_MAX) return nullptr;
    // The descriptor travels as a string item in every request's header.
    const size_t headerSize = 4 + binder_ndk::internal::stringItemSize(static_cast<int32_t>(length));
    AIBinder_Class* clazz = new (std::nothrow) AIBinder_Class;
    char* copy = binder_ndk::internal::copyText(descriptor, length);
    uint8_t* header = new (std::nothrow) uint8_t[std::max(headerSize, AIBinder_Class::kShortHeader)]();
    if (clazz == nullptr || copy == nullptr || header == nullptr) {
        delete clazz;
        delete[] copy;
        delete[] header;
        return nullptr;
    }
    binder_ndk::internal::storeWord(header, static_cast<uint32_t>(binder_ndk::internal::kInterfaceHeaderMagic));
    binder_ndk::internal::encodeString(header + 4, copy, static_cast<int32_t>(length));
    clazz->descriptor = copy;
    clazz->descriptorLength = length;
    clazz->header = header;
    clazz->headerSize = headerSize;
    clazz->onCreate = onCreate;
    clazz->onDestroy = onDestroy;
    clazz->onTransact = onTransact;
    auto& registry = binder_ndk::internal::gDefinedClasses;
    clazz->nextDefined = registry.load(std::memory_order_relaxed);
    while (!registry.compare_exchange_weak(clazz->nextDefined, clazz, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
    return clazz;
}

void AIBinder_Class_setOnDump(AIBinder_Class* clazz, AIBinder_onDump onDump) {
    if (clazz != nullptr) clazz->onDump.store(onDump, std::memory_order_release);
}

void AIBinder_Class_setHandleShellCommand(AIBinder_Class* clazz,
                                          AIBinder_handleShellCommand handleShellCommand) {
    if (clazz != nullptr) clazz->handleShellCommand.store(handleShellCommand, std::memory_order_release);
}

void AIBinder_Class_setTransactionCodeToFunctionNameMap(AIBinder_Class* clazz,
                                                        const char** functionNames,
                                                        size_t functionCount) {
    if (clazz == nullptr || (functionNames == nullptr && functionCount > 0)) return;
    FunctionNameTable* table = binder_ndk::internal::copyTable(functionNames, functionCount);
    if (table == nullptr) return;  // out of memory: the previous names stay
    const FunctionNameTable* current = clazz->functionNames.load(std::memory_order_relaxed);
    do {
        table->previous = current;
    } while (!clazz->functionNames.compare_exchange_weak(current, table, std::memory_order_release,
                                                         std::memory_order_relaxed));
}

const char* AIBinder_Class_getDescriptor(const AIBinder_Class* clazz) {
    return clazz != nullptr ? clazz->descriptor : nullptr;
}

const char* AIBinder_Class_getFunctionName(const AIBinder_Class* clazz, transaction_code_t code) {
    if (clazz == nullptr) return nullptr;
    const FunctionNameTable* table = clazz->functionNames.load(std::memory_order_acquire);
    if (table == nullptr || code < 1 || code > table->count) return nullptr;
    return table->names[code - 1];
}

size_t AIBinder_Class_getFunctionNameCount(const AIBinder_Class* clazz) {
    if (clazz == nullptr) return 0;
    const FunctionNameTable* table = clazz->functionNames.load(std::memory_order_acquire);
    return table != nullptr ? table->count : 0;
}

// ---- Binders ----

AIBinder* AIBinder_new(const AIBinder_Class* clazz, void* args) {
    if (clazz == nullptr) return nullptr;
    LocalBinder* binder = new (std::nothrow) LocalBinder(clazz);
    if (binder == nullptr) return nullptr;
    binder->setUserData(clazz->onCreate != nullptr ? clazz->onCreate(args) : args);
    return binder;
}

void AIBinder_markVintfStability(AIBinder* binder) {
    if (binder != nullptr && !binder->isRemote()) binder->markVintfStability();
}

bool AIBinder_isVintfStable(const AIBinder* binder) {
    return binder != nullptr && binder->isVintfStable();
}

bool AIBinder_isRemote(const AIBinder* binder) {
    return binder != nullptr && binder->isRemote();
}

bool AIBinder_isAlive(const AIBinder* binder) {
    return binder != nullptr && binder->isAlive();
}

bool AIBinder_associateClass(AIBinder* binder, const AIBinder_Class* clazz) {
    return binder != nullptr && clazz != nullptr && binder->associateClass(clazz);
}

const AIBinder_Class* AIBinder_getClass(AIBinder* binder) {
    return binder != nullptr ? binder->getClass() : nullptr;
}

void* AIBinder_getUserData(AIBinder* binder) {
    return binder != nullptr ? binder->userData() : nullptr;
}

void AIBinder_incStrong(AIBinder* binder) {
    if (binder != nullptr) binder->incStrong();
}

void AIBinder_decStrong(AIBinder* binder) {
    if (binder != nullptr) binder->decStrong();
}

int32_t AIBinder_debugGetRefCount(AIBinder* binder) {
    return binder != nullptr ? binder->strongCount() : -1;
}

binder_status_t AIBinder_dump(AIBinder* binder, int fd, const char** args, uint32_t numArgs) {
    if (binder == nullptr || (args == nullptr && numArgs > 0)) return STATUS_UNEXPECTED_NULL;
    return binder->dump(fd, args, numArgs);
}

binder_status_t AIBinder_shellCommand(AIBinder* binder, int in, int out, int err, const char** args,
                                      uint32_t numArgs) {
    if (binder == nullptr || (args == nullptr && numArgs > 0)) return STATUS_UNEXPECTED_NULL;
    if (in < 0 || out < 0 || err < 0) return STATUS_BAD_VALUE;
    return binder->shellCommand(in, out, err, args, numArgs);
}

binder_status_t AIBinder_ping(AIBinder* binder) {
    if (binder == nullptr) return STATUS_UNEXPECTED_NULL;
    if (!binder->isAlive()) return STATUS_DEAD_OBJECT;
    return binder->ping();
}

// ---- Death recipients ----

namespace binder_ndk::internal {

bool DeathRecipientCore::remember(AIBinder* binder, void* cookie) noexcept {
    try {
        links.emplace_back(binder, cookie);
    } catch (const std::bad_alloc&) {
        return false;
    }
    binder->incWeak();
    return true;
}

void DeathRecipientCore::forget(AIBinder* binder, void* cookie) noexcept {
    {
        const std::lock_guard<std::mutex> lock(linksMutex);
        auto it = std::find(links.begin(), links.end(), std::make_pair(binder, cookie));
        if (it == links.end()) return;  // already forgotten by another path
        links.erase(it);
    }
    binder->decWeak();
}

void DeathRecipientCore::fire(AIBinder* binder, void* cookie) noexcept {
    {
        const std::lock_guard<std::recursive_mutex> guard(callbackMutex);
        if (!deleted) onBinderDied(cookie);
    }
    forget(binder, cookie);
}

}  // namespace binder_ndk::internal

struct AIBinder_DeathRecipient {
    std::shared_ptr<binder_ndk::internal::DeathRecipientCore> core;
};

AIBinder_DeathRecipient* AIBinder_DeathRecipient_new(AIBinder_DeathRecipient_onBinderDied onBinderDied) {
    if (onBinderDied == nullptr) return nullptr;
    try {
        auto* recipient = new AIBinder_DeathRecipient;
        recipient->core = std::make_shared<binder_ndk::internal::DeathRecipientCore>(onBinderDied);
        return recipient;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void AIBinder_DeathRecipient_delete(AIBinder_DeathRecipient* recipient) {
    if (recipient == nullptr) return;
    binder_ndk::internal::DeathRecipientCore& core = *recipient->core;
    {
        // Waits for a callback in progress on another thread.
        const std::lock_guard<std::recursive_mutex> guard(core.callbackMutex);
        core.deleted = true;
    }
    std::vector<std::pair<AIBinder*, void*>> links;
    {
        const std::lock_guard<std::mutex> lock(core.linksMutex);
        links.swap(core.links);
    }
    for (auto& link : links) {
        link.first->unlinkToDeath(&core, link.second);
        link.first->decWeak();
    }
    delete recipient;
}

binder_status_t AIBinder_linkToDeath(AIBinder* binder, AIBinder_DeathRecipient* recipient, void* cookie) {
    if (binder == nullptr || recipient == nullptr) return STATUS_UNEXPECTED_NULL;
    if (!binder->isRemote()) return STATUS_INVALID_OPERATION;
    binder_ndk::internal::DeathRecipientCore& core = *recipient->core;
    const std::lock_guard<std::mutex> lock(core.linksMutex);
    if (!core.remember(binder, cookie)) return STATUS_NO_MEMORY;
    const binder_status_t status = binder->linkToDeath(recipient->core, cookie);
    if (status != STATUS_OK) {
        core.links.pop_back();
        binder->decWeak();  // cannot be the last: the caller holds the binder
    }
    return status;
}

binder_status_t AIBinder_unlinkToDeath(AIBinder* binder, AIBinder_DeathRecipient* recipient, void* cookie) {
    if (binder == nullptr || recipient == nullptr) return STATUS_UNEXPECTED_NULL;
    const binder_status_t status = binder->unlinkToDeath(recipient->core.get(), cookie);
    if (status == STATUS_OK) recipient->core->forget(binder, cookie);
    return status;
}

// ---- Transactions ----

binder_status_t AIBinder_prepareTransaction(AIBinder* binder, AParcel** in) {
    if (binder == nullptr || in == nullptr) return STATUS_UNEXPECTED_NULL;
    const AIBinder_Class* clazz = binder->getClass();
    if (clazz == nullptr) return STATUS_INVALID_OPERATION;
    binder_ndk::internal::ParcelPtr request(binder_ndk::internal::newParcel());
    if (request == nullptr) return STATUS_NO_MEMORY;
    // Room for the header and typical arguments in one allocation.
    constexpr size_t kTypicalArguments = 192;
    static_assert(kTypicalArguments >= AIBinder_Class::kShortHeader, "a short header is copied whole");
    if (!request->reserve(clazz->headerSize + kTypicalArguments)) return STATUS_NO_MEMORY;
    if (clazz->headerSize <= AIBinder_Class::kShortHeader) {
        request->startWith<AIBinder_Class::kShortHeader>(clazz->header, clazz->headerSize);
    } else {
        const binder_status_t status = request->writeBytes(clazz->header, clazz->headerSize);
        if (status != STATUS_OK) return status;
    }
    request->prepareFor(binder, clazz);
    *in = request.release();
    return STATUS_OK;
}

binder_status_t AIBinder_transact(AIBinder* binder, transaction_code_t code, AParcel** in,
                                  AParcel** out, binder_flags_t flags) {
    if (out != nullptr) *out = nullptr;
    if (in == nullptr) return STATUS_UNEXPECTED_NULL;
    // The request is taken on every path from here on.
    const binder_ndk::internal::ParcelPtr request(*in);
    *in = nullptr;
    if (binder == nullptr || request == nullptr || out == nullptr) return STATUS_UNEXPECTED_NULL;
    if ((flags & ~binder_flags_t{FLAG_ONEWAY}) != 0) return STATUS_BAD_VALUE;
    if (!request->preparedFor(binder)) return STATUS_BAD_VALUE;
    if (code < FIRST_CALL_TRANSACTION || code > LAST_CALL_TRANSACTION) return STATUS_UNKNOWN_TRANSACTION;
    // A local object is always alive; LocalBinder is final, so this call is
    // direct.
    if (binder->isLocal()) return static_cast<LocalBinder*>(binder)->transact(code, request.get(), out, flags);
    if (!binder->isAlive()) return STATUS_DEAD_OBJECT;
    return binder->transact(code, request.get(), out, flags);
}

// ---- Weak binders ----

AIBinder_Weak* AIBinder_Weak_new(AIBinder* binder) {
    if (binder == nullptr) return nullptr;
    AIBinder_Weak* weak = new (std::nothrow) AIBinder_Weak{binder};
    if (weak != nullptr) binder->incWeak();
    return weak;
}

void AIBinder_Weak_delete(AIBinder_Weak* weakBinder) {
    if (weakBinder == nullptr) return;
    weakBinder->binder->decWeak();
    delete weakBinder;
}

AIBinder* AIBinder_Weak_promote(AIBinder_Weak* weakBinder) {
    if (weakBinder == nullptr || !weakBinder->binder->tryIncStrong()) return nullptr;
    return weakBinder->binder;
}
