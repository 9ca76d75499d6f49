// Parcels: data bytes, position and object table, and their C entry points.
#include "parcel_internal.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "status_internal.h"

using binder_ndk::internal::kBinderEntrySize;
using binder_ndk::internal::kBinderKindNull;
using binder_ndk::internal::kBinderKindObject;
using binder_ndk::internal::kMaxDataSize;
using binder_ndk::internal::loadWord;
using binder_ndk::internal::ObjectEntry;
using binder_ndk::internal::PositionRestorer;
using binder_ndk::internal::storeWord;
using binder_ndk::internal::StringView;

// ---- AParcel members ----

binder_status_t AParcel::claim(size_t size, uint8_t** bytes) noexcept {
    if (size > kMaxDataSize || position_ > kMaxDataSize - size) return STATUS_NO_MEMORY;
    const size_t end = position_ + size;
    const size_t oldSize = data_.size();
    // Growing zero-fills the new bytes; only bytes that already held data
    // need clearing.
    if (end > oldSize && !data_.resize(end)) return STATUS_NO_MEMORY;
    *bytes = data_.data() + position_;
    if (position_ < oldSize) std::memset(*bytes, 0, std::min(end, oldSize) - position_);
    return STATUS_OK;
}

size_t AParcel::firstObjectEndingAfter(size_t offset) const noexcept {
    size_t low = 0;
    size_t high = objects_.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (objects_[middle].offset + kBinderEntrySize > offset) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

void AParcel::commitWrite(size_t begin, size_t end) noexcept {
    position_ = end;
    // One entry at a time, each removed before it is released: releasing may
    // end an object, and its onDestroy must find the table consistent.
    for (;;) {
        const size_t index = firstObjectEndingAfter(begin);
        if (index == objects_.size() || objects_[index].offset >= end) return;
        AIBinder* dropped = objects_[index].binder;
        objects_.erase(index);
        dropped->decStrong();
    }
}

void AParcel::releaseObjects() noexcept {
    binder_ndk::internal::PodVector<ObjectEntry> released;
    released.swap(objects_);
    for (size_t i = 0; i < released.size(); ++i) released[i].binder->decStrong();
    // The table's buffer stays for the parcel's next use, unless a release
    // (which may run an object's onDestroy) gave the parcel a new table.
    if (objects_.capacity() == 0) {
        released.clear();
        released.swap(objects_);
    }
}

binder_status_t AParcel::writeString(const char* bytes, int32_t length) noexcept {
    return write(binder_ndk::internal::stringItemSize(bytes != nullptr ? length : -1),
                 [&](uint8_t* at) { binder_ndk::internal::encodeString(at, bytes, length); });
}

binder_status_t AParcel::writeBinder(AIBinder* binder) noexcept {
    const uint32_t entry[2] = {
            static_cast<uint32_t>(binder != nullptr ? kBinderKindObject : kBinderKindNull), 0};
    const auto fill = [&](uint8_t* at) {
        storeWord(at, entry[0]);
        storeWord(at + 4, entry[1]);
    };
    if (binder == nullptr) return write(kBinderEntrySize, fill);
    // Reserve the table slot first so that nothing can fail after the bytes
    // are written.
    if (!objects_.reserve(objects_.size() + 1)) return STATUS_NO_MEMORY;
    const size_t offset = position_;
    binder->incStrong();  // before the write: it may drop an entry of this same binder
    const binder_status_t status = write(kBinderEntrySize, fill);
    if (status == STATUS_OK &&
        objects_.insert(firstObjectEndingAfter(offset), ObjectEntry{static_cast<uint32_t>(offset), binder})) {
        return STATUS_OK;
    }
    binder->decStrong();
    return status != STATUS_OK ? status : STATUS_NO_MEMORY;
}

binder_status_t AParcel::readBytes(void* bytes, size_t size) const noexcept {
    if (position_ > data_.size() || size > data_.size() - position_) return STATUS_NOT_ENOUGH_DATA;
    if (size > 0) std::memcpy(bytes, data_.data() + position_, size);
    position_ += size;
    return STATUS_OK;
}

binder_status_t AParcel::readString(StringView* string) const noexcept {
    PositionRestorer restorer(*this);
    int32_t length = 0;
    binder_status_t status = readWord(&length);
    if (status != STATUS_OK) return status;
    if (length == -1) {
        *string = StringView{nullptr, -1};
        return restorer.keep();
    }
    if (length < -1) return STATUS_BAD_VALUE;
    // The length is checked against the bytes present before anything is
    // sized by it.
    const size_t payload = binder_ndk::internal::padded(static_cast<size_t>(length) + 1);
    if (payload > data_.size() - position_) return STATUS_NOT_ENOUGH_DATA;
    const char* bytes = reinterpret_cast<const char*>(data_.data() + position_);
    if (bytes[length] != '\0') return STATUS_BAD_VALUE;
    *string = StringView{bytes, length};
    position_ += payload;
    return restorer.keep();
}

binder_status_t AParcel::readBinder(AIBinder** binder) const noexcept {
    PositionRestorer restorer(*this);
    const size_t offset = position_;
    int32_t kind = 0;
    int32_t reserved = 0;
    binder_status_t status = readWord(&kind);
    if (status == STATUS_OK) status = readWord(&reserved);
    if (status != STATUS_OK) return status;
    if (reserved != 0) return STATUS_BAD_TYPE;
    if (kind == kBinderKindNull) {
        *binder = nullptr;
        return restorer.keep();
    }
    if (kind != kBinderKindObject) return STATUS_BAD_TYPE;
    // Only this parcel's own table makes a kind-1 entry an object.
    const size_t index = firstObjectEndingAfter(offset);
    if (index == objects_.size() || objects_[index].offset != offset) return STATUS_BAD_TYPE;
    objects_[index].binder->incStrong();
    *binder = objects_[index].binder;
    return restorer.keep();
}

binder_status_t AParcel::replaceData(const uint8_t* bytes, size_t size) noexcept {
    if (size > kMaxDataSize) return STATUS_BAD_VALUE;
    binder_ndk::internal::PodVector<uint8_t> copy;
    if (!copy.resize(size)) return STATUS_NO_MEMORY;
    if (size > 0) std::memcpy(copy.data(), bytes, size);
    data_.swap(copy);
    position_ = 0;
    releaseObjects();
    targetSerial_ = 0;
    headerClass_ = nullptr;
    return STATUS_OK;
}

void AParcel::adoptWire(binder_ndk::internal::PodVector<uint8_t>&& data, size_t size,
                        binder_ndk::internal::PodVector<ObjectEntry>&& objects) noexcept {
    releaseObjects();
    data_.swap(data);
    data.clear();
    data_.resize(size);  // shrinking never allocates
    objects_ = static_cast<binder_ndk::internal::PodVector<ObjectEntry>&&>(objects);
    position_ = 0;
    targetSerial_ = 0;
    headerClass_ = nullptr;
}

void AParcel::resetSlow() noexcept {
    if (objects_.size() != 0) releaseObjects();
    if (data_.capacity() > kKeptCapacity) binder_ndk::internal::PodVector<uint8_t>().swap(data_);
    resetFields();
}

namespace binder_ndk::internal {

__thread ParcelCache tParcelCache;

namespace {

struct ParcelCacheCloser {
    ~ParcelCacheCloser() { tParcelCache.close(); }
};
thread_local ParcelCacheCloser tParcelCacheCloser;

}  // namespace

AParcel* newParcelSlow() noexcept {
    return new (std::nothrow) AParcel();
}

void recycleParcelSlow(AParcel* parcel) noexcept {
    if (parcel == nullptr) return;
    if (!tParcelCache.admit([] { (void)&tParcelCacheCloser; })) {
        delete parcel;
        return;
    }
    parcel->reset();
    tParcelCache.give(parcel);
}

}  // namespace binder_ndk::internal

// ---- C entry points ----

namespace {

// Fixed-size values travel as one (4-byte types) or two (8-byte types)
// little-endian words, low word first.
template <typename T>
void storeFixed(uint8_t* at, T value) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "items are one or two words");
    uint64_t raw = 0;
    std::memcpy(&raw, &value, sizeof(T));
    storeWord(at, static_cast<uint32_t>(raw));
    if (sizeof(T) == 8) storeWord(at + 4, static_cast<uint32_t>(raw >> 32));
}

// The general write, kept out of line so that the common path of every
// fixed-size write stays a leaf function with no frame to set up.
template <typename T>
[[gnu::noinline]] binder_status_t writeFixedSlow(AParcel* parcel, T value) noexcept {
    if (parcel == nullptr) return STATUS_UNEXPECTED_NULL;
    return parcel->write(sizeof(T), [&](uint8_t* at) { storeFixed(at, value); });
}

template <typename T>
inline binder_status_t writeFixed(AParcel* parcel, T value) noexcept {
    if (parcel != nullptr && parcel->tryWriteInPlace(sizeof(T), [&](uint8_t* at) { storeFixed(at, value); })) {
        return STATUS_OK;
    }
    return writeFixedSlow(parcel, value);
}

template <typename T>
inline binder_status_t readFixed(const AParcel* parcel, T* value) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "items are one or two words");
    if (parcel == nullptr || value == nullptr) return STATUS_UNEXPECTED_NULL;
    const bool read = parcel->tryReadFixed(sizeof(T), [&](const uint8_t* bytes) {
        uint64_t raw = loadWord(bytes);
        if (sizeof(T) == 8) raw |= uint64_t{loadWord(bytes + 4)} << 32;
        std::memcpy(value, &raw, sizeof(T));
    });
    return read ? STATUS_OK : STATUS_NOT_ENOUGH_DATA;
}

// A status of `exception`/`detail` was wanted; did makeStatus run out of
// memory instead?
bool allocationFailed(const AStatus* made, binder_exception_t exception, int32_t detail) {
    return made->exception != exception || made->detail != detail;
}

}  // namespace

AParcel* AParcel_create(void) {
    return binder_ndk::internal::newParcel();
}

void AParcel_delete(AParcel* parcel) {
    binder_ndk::internal::recycleParcel(parcel);
}

binder_status_t AParcel_setDataPosition(const AParcel* parcel, int32_t position) {
    if (parcel == nullptr) return STATUS_UNEXPECTED_NULL;
    if (position < 0 || static_cast<size_t>(position) > kMaxDataSize) return STATUS_BAD_VALUE;
    parcel->setPosition(static_cast<size_t>(position));
    return STATUS_OK;
}

int32_t AParcel_getDataPosition(const AParcel* parcel) {
    return parcel != nullptr ? static_cast<int32_t>(parcel->position()) : -1;
}

int32_t AParcel_getDataSize(const AParcel* parcel) {
    return parcel != nullptr ? static_cast<int32_t>(parcel->dataSize()) : -1;
}

binder_status_t AParcel_writeInt32(AParcel* parcel, int32_t value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeUint32(AParcel* parcel, uint32_t value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeInt64(AParcel* parcel, int64_t value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeUint64(AParcel* parcel, uint64_t value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeFloat(AParcel* parcel, float value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeDouble(AParcel* parcel, double value) { return writeFixed(parcel, value); }
binder_status_t AParcel_writeBool(AParcel* parcel, bool value) {
    return writeFixed(parcel, int32_t{value ? 1 : 0});
}

binder_status_t AParcel_readInt32(const AParcel* parcel, int32_t* value) { return readFixed(parcel, value); }
binder_status_t AParcel_readUint32(const AParcel* parcel, uint32_t* value) { return readFixed(parcel, value); }
binder_status_t AParcel_readInt64(const AParcel* parcel, int64_t* value) { return readFixed(parcel, value); }
binder_status_t AParcel_readUint64(const AParcel* parcel, uint64_t* value) { return readFixed(parcel, value); }
binder_status_t AParcel_readFloat(const AParcel* parcel, float* value) { return readFixed(parcel, value); }
binder_status_t AParcel_readDouble(const AParcel* parcel, double* value) { return readFixed(parcel, value); }

binder_status_t AParcel_readBool(const AParcel* parcel, bool* value) {
    if (parcel == nullptr || value == nullptr) return STATUS_UNEXPECTED_NULL;
    PositionRestorer restorer(*parcel);
    int32_t word = 0;
    const binder_status_t status = parcel->readWord(&word);
    if (status != STATUS_OK) return status;
    if (word != 0 && word != 1) return STATUS_BAD_VALUE;
    *value = word == 1;
    return restorer.keep();
}

binder_status_t AParcel_writeString(AParcel* parcel, const char* string, int32_t length) {
    if (parcel == nullptr) return STATUS_UNEXPECTED_NULL;
    if (string == nullptr ? length != -1 : length < 0) return STATUS_BAD_VALUE;
    return parcel->writeString(string, length);
}

binder_status_t AParcel_readString(const AParcel* parcel, void* stringData,
                                   AParcel_stringAllocator allocator) {
    if (parcel == nullptr || allocator == nullptr) return STATUS_UNEXPECTED_NULL;
    PositionRestorer restorer(*parcel);
    StringView string{};
    const binder_status_t status = parcel->readString(&string);
    if (status != STATUS_OK) return status;
    char* buffer = nullptr;
    if (string.bytes == nullptr) {
        if (!allocator(stringData, -1, &buffer)) return STATUS_UNEXPECTED_NULL;
        return restorer.keep();
    }
    if (!allocator(stringData, string.length + 1, &buffer) || buffer == nullptr) return STATUS_NO_MEMORY;
    std::memcpy(buffer, string.bytes, static_cast<size_t>(string.length));
    buffer[string.length] = '\0';
    return restorer.keep();
}

binder_status_t AParcel_writeParcelableArray(AParcel* parcel, const void* arrayData, int32_t length,
                                             AParcel_writeParcelableElement elementWriter) {
    if (parcel == nullptr || (elementWriter == nullptr && length > 0)) return STATUS_UNEXPECTED_NULL;
    if (length < -1) return STATUS_BAD_VALUE;
    binder_status_t status = AParcel_writeInt32(parcel, length);
    for (int32_t i = 0; status == STATUS_OK && i < length; ++i) {
        status = elementWriter(parcel, arrayData, static_cast<size_t>(i));
    }
    return status;
}

binder_status_t AParcel_readParcelableArray(const AParcel* parcel, void* arrayData,
                                            AParcel_parcelableArrayAllocator allocator,
                                            AParcel_readParcelableElement elementReader) {
    if (parcel == nullptr || allocator == nullptr || elementReader == nullptr) {
        return STATUS_UNEXPECTED_NULL;
    }
    PositionRestorer restorer(*parcel);
    int32_t count = 0;
    binder_status_t status = parcel->readWord(&count);
    if (status != STATUS_OK) return status;
    if (count < -1) return STATUS_BAD_VALUE;
    // Every element takes at least one word: a count the rest of the data
    // cannot hold fails before anything is allocated for it.
    const size_t remaining = parcel->position() <= parcel->dataSize() ? parcel->dataSize() - parcel->position() : 0;
    if (count > 0 && static_cast<size_t>(count) > remaining / 4) return STATUS_NOT_ENOUGH_DATA;
    if (!allocator(arrayData, count)) return count < 0 ? STATUS_UNEXPECTED_NULL : STATUS_NO_MEMORY;
    for (int32_t i = 0; i < count; ++i) {
        status = elementReader(parcel, arrayData, static_cast<size_t>(i));
        if (status != STATUS_OK) return status;
    }
    return restorer.keep();
}

binder_status_t AParcel_writeStrongBinder(AParcel* parcel, AIBinder* binder) {
    if (parcel == nullptr) return STATUS_UNEXPECTED_NULL;
    return parcel->writeBinder(binder);
}

binder_status_t AParcel_readStrongBinder(const AParcel* parcel, AIBinder** binder) {
    if (parcel == nullptr || binder == nullptr) return STATUS_UNEXPECTED_NULL;
    return parcel->readBinder(binder);
}

namespace {

// The header of a failure status: exception, message, detail.
[[gnu::noinline]] binder_status_t writeFailureHeader(AParcel* parcel, const AStatus* status) noexcept {
    const binder_exception_t exception = status->exception;
    if (!binder_ndk::internal::isKnownException(exception)) return STATUS_BAD_VALUE;
    const char* message = status->message;
    const size_t messageLength = message != nullptr ? std::strlen(message) : 0;
    // Clamping keeps the length in int32 range; a message that long cannot
    // fit under the size limit, so the write then fails with STATUS_NO_MEMORY.
    const int32_t length = message == nullptr ? -1
                           : messageLength > kMaxDataSize ? static_cast<int32_t>(kMaxDataSize)
                                                          : static_cast<int32_t>(messageLength);
    const size_t stringSize = binder_ndk::internal::stringItemSize(length);
    return parcel->write(4 + stringSize + 4, [&](uint8_t* at) {
        storeWord(at, static_cast<uint32_t>(exception));
        binder_ndk::internal::encodeString(at + 4, message, length);
        storeWord(at + 4 + stringSize, static_cast<uint32_t>(status->detail));
    });
}

// Reads a header whose first word is not EX_NONE; the position moves only
// on success.
[[gnu::noinline]] binder_status_t readFailureHeader(const AParcel* parcel, AStatus** status) noexcept {
    PositionRestorer restorer(*parcel);
    int32_t exception = 0;
    binder_status_t result = parcel->readWord(&exception);
    if (result != STATUS_OK) return result;
    if (!binder_ndk::internal::isKnownException(exception)) return STATUS_BAD_VALUE;
    StringView message{};
    int32_t detail = 0;
    result = parcel->readString(&message);
    if (result == STATUS_OK) result = parcel->readWord(&detail);
    if (result != STATUS_OK) return result;
    const bool detailValid = exception == EX_SERVICE_SPECIFIC      ? true
                             : exception == EX_TRANSACTION_FAILED ? detail != STATUS_OK
                                                                  : detail == 0;
    if (!detailValid) return STATUS_BAD_VALUE;
    AStatus* made = binder_ndk::internal::makeStatus(
            exception, detail, message.bytes, message.length > 0 ? static_cast<size_t>(message.length) : 0);
    if (allocationFailed(made, exception, detail)) return STATUS_NO_MEMORY;
    *status = made;
    return restorer.keep();
}

}  // namespace

// An OK status, the header of nearly every reply, is one word each way and
// stays on the inline path.
binder_status_t AParcel_writeStatusHeader(AParcel* parcel, const AStatus* status) {
    if (parcel == nullptr || status == nullptr) return STATUS_UNEXPECTED_NULL;
    if (status->exception == EX_NONE) return writeFixed(parcel, int32_t{EX_NONE});
    return writeFailureHeader(parcel, status);
}

binder_status_t AParcel_readStatusHeader(const AParcel* parcel, AStatus** status) {
    if (parcel == nullptr || status == nullptr) return STATUS_UNEXPECTED_NULL;
    const size_t start = parcel->position();
    int32_t exception = 0;
    if (parcel->readWord(&exception) == STATUS_OK && exception == EX_NONE) {
        *status = AStatus_newOk();
        return STATUS_OK;
    }
    parcel->setPosition(start);
    return readFailureHeader(parcel, status);
}

binder_status_t AParcel_marshal(const AParcel* parcel, uint8_t* buffer, size_t start, size_t len) {
    if (parcel == nullptr || (buffer == nullptr && len > 0)) return STATUS_UNEXPECTED_NULL;
    if (start > parcel->dataSize() || len > parcel->dataSize() - start) return STATUS_BAD_VALUE;
    if (len > 0) std::memcpy(buffer, parcel->data() + start, len);
    return STATUS_OK;
}

binder_status_t AParcel_unmarshal(AParcel* parcel, const uint8_t* buffer, size_t len) {
    if (parcel == nullptr) return STATUS_UNEXPECTED_NULL;
    if (buffer == nullptr && len > 0) return STATUS_BAD_VALUE;
    return parcel->replaceData(buffer, len);
}
