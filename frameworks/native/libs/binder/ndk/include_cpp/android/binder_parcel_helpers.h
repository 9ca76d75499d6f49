/*
 * Parcel helpers for C++ values: strings, record values and lists of records.
 *
 * The allocators below are the callbacks the runtime calls while reading a
 * string or a list. The runtime checks every length against the bytes
 * actually present before it calls an allocator. A string's length is its
 * exact size, so the string allocators size storage from it; a list's count
 * is not (an element is at least one word on the wire and may be far larger
 * in memory), so the list allocator does not size a list by it: the list
 * grows as its elements decode.
 *
 * A record type P used here provides
 *     binder_status_t readFromParcel(const AParcel*);
 *     binder_status_t writeToParcel(AParcel*) const;
 * and a default constructor.
 */
#ifndef NDK_BINDER_PARCEL_HELPERS_H
#define NDK_BINDER_PARCEL_HELPERS_H

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<android/binder_parcel_helpers.h> needs C++17 or later: compile with -std=c++17 or a newer standard"
#endif

#include <android/binder_auto_utils.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace ndk {

/*
 * One overload set for the scalar and string values that records and
 * interface methods carry, so that generic code writes `AParcel_writeData(p,
 * value)` and `AParcel_readData(p, &value)` whatever the value's type.
 */
inline binder_status_t AParcel_writeData(AParcel* parcel, int32_t value) {
    return AParcel_writeInt32(parcel, value);
}
inline binder_status_t AParcel_writeData(AParcel* parcel, int64_t value) {
    return AParcel_writeInt64(parcel, value);
}
inline binder_status_t AParcel_writeData(AParcel* parcel, bool value) {
    return AParcel_writeBool(parcel, value);
}
// A string literal would otherwise convert to bool, silently.
binder_status_t AParcel_writeData(AParcel* parcel, const char* text) = delete;
inline binder_status_t AParcel_readData(const AParcel* parcel, int32_t* value) {
    return AParcel_readInt32(parcel, value);
}
inline binder_status_t AParcel_readData(const AParcel* parcel, int64_t* value) {
    return AParcel_readInt64(parcel, value);
}
inline binder_status_t AParcel_readData(const AParcel* parcel, bool* value) {
    return AParcel_readBool(parcel, value);
}

/*
 * Writes a required string: its bytes and its byte length. A string longer
 * than a 32-bit length can express is refused with STATUS_BAD_VALUE rather
 * than sent with a truncated length.
 */
inline binder_status_t AParcel_writeData(AParcel* parcel, const std::string& text) {
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return STATUS_BAD_VALUE;
    }
    return AParcel_writeString(parcel, text.data(), static_cast<int32_t>(text.size()));
}

/*
 * Allocator for a required string (stringData: std::string*). Refuses a
 * length <= 0, which includes a null string (-1), leaving the string as it
 * was. Otherwise resizes the string to length - 1 bytes and hands out its
 * buffer; the runtime writes the text and a terminating zero into it.
 */
inline bool AParcel_stdStringAllocator(void* stringData, int32_t length, char** buffer) {
    if (length <= 0) {
        return false;
    }
    auto* text = static_cast<std::string*>(stringData);
    text->resize(static_cast<size_t>(length) - 1);
    *buffer = &(*text)[0];
    return true;
}

/*
 * Allocator for a nullable string (stringData: std::optional<std::string>*).
 * A null string (length < 0) makes it absent; a present string makes it a
 * fresh string of length - 1 bytes. A length of 0 is refused and changes
 * nothing.
 */
inline bool AParcel_nullableStdStringAllocator(void* stringData, int32_t length, char** buffer) {
    if (length == 0) {
        return false;
    }
    auto* text = static_cast<std::optional<std::string>*>(stringData);
    if (length < 0) {
        text->reset();
        return true;
    }
    text->emplace(static_cast<size_t>(length) - 1, '\0');
    *buffer = &(**text)[0];
    return true;
}

/*
 * Writes a nullable string: absent as a null string, present as a required
 * string.
 */
inline binder_status_t AParcel_writeData(AParcel* parcel, const std::optional<std::string>& text) {
    if (!text.has_value()) {
        return AParcel_writeString(parcel, nullptr, -1);
    }
    return AParcel_writeData(parcel, *text);
}

/* Reads a required string; a null string is refused and leaves it as it was. */
inline binder_status_t AParcel_readData(const AParcel* parcel, std::string* text) {
    return AParcel_readString(parcel, text, AParcel_stdStringAllocator);
}

/* Reads a nullable string; a null string makes it absent. */
inline binder_status_t AParcel_readData(const AParcel* parcel, std::optional<std::string>* text) {
    return AParcel_readString(parcel, text, AParcel_nullableStdStringAllocator);
}

/*
 * A record value: the presence marker 1, then the record's body. Records are
 * never written as absent.
 */
template <typename P>
binder_status_t AParcel_writeRequiredParcelable(AParcel* parcel, const P& record) {
    binder_status_t status = AParcel_writeInt32(parcel, 1);
    if (status != STATUS_OK) {
        return status;
    }
    return record.writeToParcel(parcel);
}

/*
 * Reads a record value into *record. A marker of 0 (absent) is refused with
 * STATUS_UNEXPECTED_NULL and leaves the record untouched; any other marker
 * means a body follows, which is read in place.
 */
template <typename P>
binder_status_t AParcel_readRequiredParcelable(const AParcel* parcel, P* record) {
    int32_t present = 0;
    binder_status_t status = AParcel_readInt32(parcel, &present);
    if (status != STATUS_OK) {
        return status;
    }
    if (present == 0) {
        return STATUS_UNEXPECTED_NULL;
    }
    return record->readFromParcel(parcel);
}

namespace internal {
// The most a list allocator reserves before any element has decoded.
inline constexpr size_t kListUpFrontBytes = 64 * 1024;
}  // namespace internal

/*
 * List allocator (vectorData: std::vector<P>*). Refuses a null list
 * (length < 0) and leaves the list as it was. A count at or below the list's
 * size cuts the list to `length` elements, keeping the first ones. A larger
 * count keeps the list as it is and only reserves room, for at most
 * internal::kListUpFrontBytes of elements: AParcel_readStdVectorParcelableElement
 * appends each further element (a default record, then read in place) as it
 * comes to it.
 *
 * The count is not trusted to size the list. The runtime bounds it only by
 * the bytes that remain, one word per element, and an element can take many
 * times that in memory: resizing to the count let a 64 MiB parcel make the
 * reader build a list of 16 million records before the first one failed.
 * Capping the count by the smallest encoding of a record would still size
 * the list by the parcel and not by what decodes; growing as elements decode
 * keeps the list's storage within a constant factor of the elements read
 * (the vector's own geometric growth), plus the bounded reservation, which
 * spares lists of ordinary length any reallocation.
 */
template <typename P>
bool AParcel_stdVectorExternalAllocator(void* vectorData, int32_t length) {
    if (length < 0) {
        return false;
    }
    auto* list = static_cast<std::vector<P>*>(vectorData);
    const size_t count = static_cast<size_t>(length);
    if (count <= list->size()) {
        list->resize(count);  // shrinking: never allocates
        return true;
    }
    constexpr size_t kUpFront = internal::kListUpFrontBytes / sizeof(P) > 0
                                        ? internal::kListUpFrontBytes / sizeof(P)
                                        : 1;
    list->reserve(count < kUpFront ? count : kUpFront);
    return true;
}

namespace internal {
// An element index at or beyond the list's size can only come from a caller
// that broke the list protocol; the element is never touched then.
template <typename Vector>
void checkElementIndex(const Vector& list, size_t index) {
    if (index >= list.size()) {
        fatalReport("list element index out of range", kInterfaceUtilsFile, __LINE__,
                    __PRETTY_FUNCTION__);
    }
}
}  // namespace internal

/*
 * Element reader of a list of P: reads element `index` as a record value, in
 * place. The runtime asks for the indices in increasing order from 0, so an
 * index equal to the list's size is the next element past those the list
 * held: it is appended as a default record first. Any index beyond that
 * breaks the list protocol and stops the process.
 */
template <typename P>
binder_status_t AParcel_readStdVectorParcelableElement(const AParcel* parcel, void* vectorData,
                                                       size_t index) {
    auto* list = static_cast<std::vector<P>*>(vectorData);
    if (index == list->size()) {
        list->emplace_back();
    }
    internal::checkElementIndex(*list, index);
    return AParcel_readRequiredParcelable(parcel, &(*list)[index]);
}

/* Element writer of a list of P: writes element `index` as a record value. */
template <typename P>
binder_status_t AParcel_writeStdVectorParcelableElement(AParcel* parcel, const void* vectorData,
                                                        size_t index) {
    const auto* list = static_cast<const std::vector<P>*>(vectorData);
    internal::checkElementIndex(*list, index);
    return AParcel_writeRequiredParcelable(parcel, (*list)[index]);
}

/*
 * Writes a required list of P: its count, then each element as a record
 * value. A list longer than a 32-bit count can express is refused with
 * STATUS_BAD_VALUE.
 */
template <typename P>
binder_status_t AParcel_writeData(AParcel* parcel, const std::vector<P>& list) {
    if (list.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return STATUS_BAD_VALUE;
    }
    return AParcel_writeParcelableArray(parcel, &list, static_cast<int32_t>(list.size()),
                                        AParcel_writeStdVectorParcelableElement<P>);
}

/*
 * Reads a required list of P; a null list is refused and leaves it as it was.
 * On success the list holds exactly the elements on the wire, each read in
 * place over the element the list held at its index (a default record past
 * the list's old end). A failure at element k leaves elements 0 to k - 1
 * read and element k as far as it was read; the list is then cut to the
 * count if that is below its old size, and otherwise holds its old elements
 * or k + 1 elements, whichever is more: elements the read never reached are
 * not added.
 */
template <typename P>
binder_status_t AParcel_readData(const AParcel* parcel, std::vector<P>* list) {
    return AParcel_readParcelableArray(parcel, list, AParcel_stdVectorExternalAllocator<P>,
                                       AParcel_readStdVectorParcelableElement<P>);
}

}  // namespace ndk

#endif  // NDK_BINDER_PARCEL_HELPERS_H
