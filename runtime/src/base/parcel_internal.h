// Parcels: the definition behind the AParcel handle, and the wire encoding
// (docs/wire-format.md describes the bytes).
#ifndef BINDER_NDK_INTERNAL_PARCEL_INTERNAL_H
#define BINDER_NDK_INTERNAL_PARCEL_INTERNAL_H

#include "public_api.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "binder_internal.h"
#include "pod_vector.h"
#include "thread_cache.h"

namespace binder_ndk::internal {

// First word of the interface header: the bytes "BGIF".
constexpr int32_t kInterfaceHeaderMagic = 0x46494742;
// A binder entry is two words: its kind, then a zero word.
constexpr int32_t kBinderKindNull = 0;
constexpr int32_t kBinderKindObject = 1;
constexpr size_t kBinderEntrySize = 8;
constexpr size_t kMaxDataSize = APARCEL_MAX_DATA_SIZE;

// Every item occupies a multiple of 4 bytes.
constexpr size_t padded(size_t size) noexcept { return (size + 3) & ~size_t{3}; }

inline void storeWord(uint8_t* at, uint32_t value) noexcept {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t loadWord(const uint8_t* at) noexcept {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// One binder recorded in a parcel: the parcel holds a strong reference to
// `binder` and its entry bytes start at `offset`. Entries never overlap.
struct ObjectEntry {
    uint32_t offset;
    AIBinder* binder;
};

// A string as it lies in the data: `length` bytes at `bytes` followed by a
// zero byte, or a null string (`bytes` null, `length` -1).
struct StringView {
    const char* bytes;
    int32_t length;
};

// The bytes a string item of `length` takes (-1: the null string).
constexpr size_t stringItemSize(int32_t length) noexcept {
    return length < 0 ? 4 : 4 + padded(static_cast<size_t>(length) + 1);
}

// Stores a string item (as sized by stringItemSize) into zeroed bytes.
inline void encodeString(uint8_t* at, const char* bytes, int32_t length) noexcept {
    storeWord(at, static_cast<uint32_t>(bytes != nullptr ? length : -1));
    if (bytes != nullptr && length > 0) std::memcpy(at + 4, bytes, static_cast<size_t>(length));
}

}  // namespace binder_ndk::internal

// Data bytes, a data position and an object table. The bytes never hold a
// pointer: a binder entry in the bytes is only a kind word, and the object it
// stands for is found in the table by the entry's offset. That separation is
// what lets a transport send the bytes as they are and carry the objects
// beside them.
//
// Invariants: the data size and the position are at most kMaxDataSize; the
// table is sorted by offset and each entry's 8 bytes lie inside the data and
// hold a kind-1 entry.
struct AParcel {
  public:
    AParcel() noexcept = default;
    ~AParcel() { releaseObjects(); }
    AParcel(const AParcel&) = delete;
    AParcel& operator=(const AParcel&) = delete;

    size_t dataSize() const noexcept { return data_.size(); }
    size_t position() const noexcept { return position_; }
    // `position` must be at most kMaxDataSize.
    void setPosition(size_t position) const noexcept {
        if (headerClass_ != nullptr && position < headerClass_->headerSize) headerClass_ = nullptr;
        position_ = position;
    }

    // Writes one item of `size` bytes (a multiple of 4) at the position and
    // advances past it: `fill(uint8_t*)` stores the item into `size` zeroed
    // bytes. Binder entries the item overlaps are dropped and released. Fails
    // with STATUS_NO_MEMORY (nothing changed) past the size limit or when
    // memory runs out; `fill` is not called then.
    template <typename Fill>
    binder_status_t write(size_t size, Fill fill) noexcept {
        const size_t begin = position_;
        // Appending at the end overwrites nothing, so no binder entry can be
        // dropped: the common case skips the table.
        const bool appending = begin == data_.size();
        uint8_t* bytes = nullptr;
        const binder_status_t status = claim(size, &bytes);
        if (status != STATUS_OK) return status;
        fill(bytes);
        if (appending) {
            position_ = begin + size;
            return STATUS_OK;
        }
        commitWrite(begin, begin + size);
        return STATUS_OK;
    }
    // The common cases of a write (`size` at most kMaxDataSize): appending
    // within the capacity, or overwriting bytes of a parcel that holds no
    // binder (a record's size word patched after its body). `store(uint8_t*)`
    // stores the `size` bytes and the position moves past them. Returns
    // false, with nothing changed and `store` not called, when the general
    // write() must be used. Inline and branch-light: every fixed-size item
    // of a record takes this path.
    template <typename Store>
    bool tryWriteInPlace(size_t size, Store store) noexcept {
        // No overflow: the position and the size are at most kMaxDataSize.
        const size_t end = position_ + size;
        if (position_ == data_.size()) {
            if (end > data_.capacity() || end > binder_ndk::internal::kMaxDataSize) return false;
            data_.setSizeWithinCapacity(end);
        } else if (end > data_.size() || objects_.size() != 0) {
            return false;  // a gap to zero-fill, or an entry that may need dropping
        }
        store(data_.data() + position_);
        position_ = end;
        return true;
    }
    // Makes an empty parcel hold the `size` bytes at `bytes`, positioned
    // after them, copying kBlock bytes as one fixed-size block (inline, no
    // call): `size` is at most kBlock, `bytes` readable for kBlock bytes,
    // and the capacity already holds kBlock bytes.
    template <size_t kBlock>
    void startWith(const uint8_t* bytes, size_t size) noexcept {
        std::memcpy(data_.data(), bytes, kBlock);
        data_.setSizeWithinCapacity(size);
        position_ = size;
    }
    // Room for `size` bytes of data without growing again.
    bool reserve(size_t size) noexcept { return size <= binder_ndk::internal::kMaxDataSize && data_.reserve(size); }
    binder_status_t writeBytes(const void* bytes, size_t size) noexcept {
        const auto copy = [bytes, size](uint8_t* at) {
            if (size > 0) std::memcpy(at, bytes, size);
        };
        if (size <= binder_ndk::internal::kMaxDataSize && tryWriteInPlace(size, copy)) return STATUS_OK;
        return write(size, copy);
    }
    // Writes a string item; `bytes` null means the null string.
    binder_status_t writeString(const char* bytes, int32_t length) noexcept;
    binder_status_t writeBinder(AIBinder* binder) noexcept;

    // Reads `size` bytes at the position and advances; nothing changes on
    // failure.
    binder_status_t readBytes(void* bytes, size_t size) const noexcept;
    // The next `size` bytes, advancing past them; null (nothing changed)
    // when fewer remain.
    const uint8_t* consume(size_t size) const noexcept {
        if (position_ > data_.size() || size > data_.size() - position_) return nullptr;
        const uint8_t* at = data_.data() + position_;
        position_ += size;
        return at;
    }
    // consume() for an item of a few bytes (`size` at most 8), handing the
    // bytes to `load(const uint8_t*)`; false (nothing changed) when fewer
    // remain.
    template <typename Load>
    bool tryReadFixed(size_t size, Load load) const noexcept {
        // No overflow: the position is at most kMaxDataSize.
        const size_t end = position_ + size;
        if (end > data_.size()) return false;
        load(data_.data() + position_);
        position_ = end;
        return true;
    }
    // Reads one int32 word; STATUS_NOT_ENOUGH_DATA (nothing changed) when
    // fewer than 4 bytes remain.
    binder_status_t readWord(int32_t* value) const noexcept {
        const bool read = tryReadFixed(4, [value](const uint8_t* at) {
            *value = static_cast<int32_t>(binder_ndk::internal::loadWord(at));
        });
        return read ? STATUS_OK : STATUS_NOT_ENOUGH_DATA;
    }
    // Decodes the string item at the position without copying; the view is
    // valid until the parcel changes. Advances only on success.
    binder_status_t readString(binder_ndk::internal::StringView* string) const noexcept;
    // Gives an owned strong reference (null for a null entry).
    binder_status_t readBinder(AIBinder** binder) const noexcept;

    // Replaces everything with a copy of `bytes`: position 0, no objects, not
    // prepared for a transaction. Unchanged on failure.
    binder_status_t replaceData(const uint8_t* bytes, size_t size) noexcept;
    const uint8_t* data() const noexcept { return data_.data(); }

    // Empties the parcel for reuse: no data, no objects, not prepared,
    // position 0. A buffer of up to kKeptCapacity bytes is kept.
    void reset() noexcept {
        if (objects_.size() != 0 || data_.capacity() > kKeptCapacity) return resetSlow();
        resetFields();
    }
    static constexpr size_t kKeptCapacity = size_t{64} << 10;

    // Replaces everything with the first `size` bytes of `data` and the
    // object table `objects`, whose strong references pass to the parcel:
    // position 0, not prepared for a transaction. The buffers trade places:
    // `data` is left empty holding the parcel's previous buffer, so that
    // both sides keep one for reuse. Requires what the invariants above
    // require of the table (the caller has checked each entry against the
    // bytes).
    void adoptWire(binder_ndk::internal::PodVector<uint8_t>&& data, size_t size,
                   binder_ndk::internal::PodVector<binder_ndk::internal::ObjectEntry>&& objects) noexcept;

    // The binder this parcel was prepared for by AIBinder_prepareTransaction,
    // with the interface header of `clazz` written at its start. The parcel
    // holds no reference: the caller keeps the binder until it transacts, and
    // the check below tells it apart from a later binder at the same address.
    void prepareFor(const AIBinder* binder, const AIBinder_Class* clazz) noexcept {
        targetSerial_ = binder->serial();
        headerClass_ = clazz;
    }
    bool preparedFor(const AIBinder* binder) const noexcept {
        return targetSerial_ != 0 && targetSerial_ == binder->serial();
    }
    // The class whose interface header the parcel is known to start with,
    // unchanged since AIBinder_prepareTransaction wrote it; null when not
    // known. Moving the position back into the header forgets it, as only a
    // write there could change those bytes.
    const AIBinder_Class* headerClass() const noexcept { return headerClass_; }

    // The object table, sorted by offset.
    const binder_ndk::internal::ObjectEntry* objects() const noexcept { return objects_.data(); }
    size_t objectCount() const noexcept { return objects_.size(); }

  private:
    // Makes `size` zeroed bytes at the position writable: checks the size
    // limit and grows the data (zero-filling any gap). Nothing changes on
    // failure.
    binder_status_t claim(size_t size, uint8_t** bytes) noexcept;
    // Ends a write of the bytes [begin, end): drops and releases the binder
    // entries they overlap and moves the position to `end`.
    void commitWrite(size_t begin, size_t end) noexcept;
    // Index of the first entry whose bytes end after `offset`.
    size_t firstObjectEndingAfter(size_t offset) const noexcept;
    void releaseObjects() noexcept;
    void resetSlow() noexcept;
    void resetFields() noexcept {
        data_.clear();
        position_ = 0;
        targetSerial_ = 0;
        headerClass_ = nullptr;
    }

    binder_ndk::internal::PodVector<uint8_t> data_;
    mutable size_t position_ = 0;
    binder_ndk::internal::PodVector<binder_ndk::internal::ObjectEntry> objects_;
    uint64_t targetSerial_ = 0;  // 0: not prepared for a transaction
    mutable const AIBinder_Class* headerClass_ = nullptr;
};

namespace binder_ndk::internal {

// Parcels for the runtime's own use. A few emptied parcels per thread are
// kept with their buffers, so that the request and reply of a call cost no
// allocation once a thread has made one. newParcel is null when memory runs
// out; recycleParcel accepts null.
//
// The cache uses initial-exec TLS, so that taking and giving back a parcel
// is inline and reaches it without a function call; it is small enough for
// the static TLS space kept even for a library loaded late.
using ParcelCache = ThreadCache<AParcel, 4>;
extern __thread ParcelCache tParcelCache __attribute__((tls_model("initial-exec")));
AParcel* newParcelSlow() noexcept;
void recycleParcelSlow(AParcel* parcel) noexcept;

inline AParcel* newParcel() noexcept {
    AParcel* parcel = tParcelCache.take();
    return parcel != nullptr ? parcel : newParcelSlow();
}

inline void recycleParcel(AParcel* parcel) noexcept {
    if (parcel == nullptr) return;
    ParcelCache& cache = tParcelCache;
    if (cache.accepting()) {
        parcel->reset();
        cache.give(parcel);
        return;
    }
    recycleParcelSlow(parcel);
}

struct ParcelRecycler {
    void operator()(AParcel* parcel) const noexcept { recycleParcel(parcel); }
};
using ParcelPtr = std::unique_ptr<AParcel, ParcelRecycler>;

// Restores a parcel's position when a multi-item read fails part way.
class PositionRestorer {
  public:
    explicit PositionRestorer(const AParcel& parcel) noexcept
        : parcel_(parcel), saved_(parcel.position()) {}
    ~PositionRestorer() {
        if (!kept_) parcel_.setPosition(saved_);
    }
    PositionRestorer(const PositionRestorer&) = delete;
    PositionRestorer& operator=(const PositionRestorer&) = delete;
    // The read succeeded: keep the new position.
    binder_status_t keep() noexcept {
        kept_ = true;
        return STATUS_OK;
    }

  private:
    const AParcel& parcel_;
    size_t saved_;
    bool kept_ = false;
};

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_PARCEL_INTERNAL_H
