// Runs any parcel reader over a parcel of untrusted bytes and checks what
// every reader promises on any input. Shared by the parcel fuzzer and the
// hostile-input tests, so both hold the readers to the same rules.
#ifndef BGS_FUZZ_PARCEL_READERS_H
#define BGS_FUZZ_PARCEL_READERS_H

#include <android/binder_ibinder.h>
#include <android/binder_parcel.h>
#include <android/binder_status.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bgs_fuzz {

enum class Reader : uint8_t {
    kInt32,
    kInt64,
    kBool,
    kDouble,
    kString,          // allocator accepts
    kStringRefused,   // allocator refuses
    kArray,           // int32 elements, allocator accepts
    kArrayRefused,    // allocator refuses
    kBinder,
    kStatusHeader,
    kCount,
};

inline const char* readerName(Reader reader) {
    static const char* const kNames[] = {"int32",  "int64",         "bool",  "double",
                                         "string", "string-refused", "array", "array-refused",
                                         "binder", "status-header"};
    return reader < Reader::kCount ? kNames[static_cast<int>(reader)] : "?";
}

// The outcome of one read; `violation` names a broken promise, else null.
struct ReadCheck {
    binder_status_t status;
    const char* violation;
};

namespace detail {

struct Sink {
    bool accept = true;
    int32_t requested = -2;  // what the allocator was asked for (-2: not called)
    std::vector<char> bytes;
    std::vector<int32_t> elements;
};

inline bool allocateString(void* data, int32_t length, char** buffer) {
    Sink* sink = static_cast<Sink*>(data);
    sink->requested = length;
    if (!sink->accept) return false;
    if (length > 0) {
        sink->bytes.assign(static_cast<size_t>(length), '\x7f');
        *buffer = sink->bytes.data();
    }
    return true;
}

inline bool allocateArray(void* data, int32_t length) {
    Sink* sink = static_cast<Sink*>(data);
    sink->requested = length;
    if (length > 0 && sink->accept) sink->elements.resize(static_cast<size_t>(length));
    return sink->accept;
}

inline binder_status_t readElement(const AParcel* parcel, void* data, size_t index) {
    return AParcel_readInt32(parcel, &static_cast<Sink*>(data)->elements.at(index));
}

inline bool isReadFailureCode(binder_status_t status) {
    return status == STATUS_NOT_ENOUGH_DATA || status == STATUS_BAD_VALUE || status == STATUS_BAD_TYPE ||
           status == STATUS_UNEXPECTED_NULL || status == STATUS_NO_MEMORY;
}

template <typename T>
binder_status_t readValue(const AParcel* parcel, binder_status_t (*read)(const AParcel*, T*)) {
    T value{};
    return read(parcel, &value);
}

inline binder_status_t runRead(const AParcel* parcel, Reader reader, Sink* sink, const char** violation) {
    switch (reader) {
        case Reader::kInt32:
            return readValue(parcel, AParcel_readInt32);
        case Reader::kInt64:
            return readValue(parcel, AParcel_readInt64);
        case Reader::kBool:
            return readValue(parcel, AParcel_readBool);
        case Reader::kDouble:
            return readValue(parcel, AParcel_readDouble);
        case Reader::kString:
        case Reader::kStringRefused: {
            sink->accept = reader == Reader::kString;
            const binder_status_t status = AParcel_readString(parcel, sink, allocateString);
            if (status == STATUS_OK && sink->requested > 0 && sink->bytes.back() != '\0') {
                *violation = "string read without its terminating zero";
            }
            return status;
        }
        case Reader::kArray:
        case Reader::kArrayRefused:
            sink->accept = reader == Reader::kArray;
            return AParcel_readParcelableArray(parcel, sink, allocateArray, readElement);
        case Reader::kBinder: {
            AIBinder* binder = nullptr;
            const binder_status_t status = AParcel_readStrongBinder(parcel, &binder);
            if (binder != nullptr) {
                *violation = "a binder object came out of raw bytes";
                AIBinder_decStrong(binder);
            }
            return status;
        }
        case Reader::kStatusHeader: {
            AStatus* status = nullptr;
            const binder_status_t result = AParcel_readStatusHeader(parcel, &status);
            if (result == STATUS_OK && status == nullptr) *violation = "status header read gave no status";
            if (status != nullptr && !AStatus_isOk(status) && AStatus_getStatus(status) == STATUS_OK) {
                *violation = "a failed status reads as STATUS_OK";
            }
            AStatus_delete(status);
            return result;
        }
        case Reader::kCount:
            break;
    }
    return STATUS_BAD_VALUE;
}

}  // namespace detail

// Runs `reader` at the parcel's current position. The parcel must hold raw
// bytes only (filled by AParcel_unmarshal).
inline ReadCheck checkRead(const AParcel* parcel, Reader reader) {
    const int32_t before = AParcel_getDataPosition(parcel);
    const int32_t size = AParcel_getDataSize(parcel);
    // Bytes after a leading length/count word, the most any allocation may cover.
    const int64_t afterWord = before + 4 <= size ? int64_t{size} - before - 4 : 0;
    detail::Sink sink;
    ReadCheck check{STATUS_OK, nullptr};
    check.status = detail::runRead(parcel, reader, &sink, &check.violation);
    const int32_t after = AParcel_getDataPosition(parcel);
    if (check.violation != nullptr) return check;
    if (check.status != STATUS_OK && after != before) {
        check.violation = "a failed read moved the position";
    } else if (check.status == STATUS_OK && (after <= before || after > size)) {
        check.violation = "a successful read did not advance within the data";
    } else if (check.status != STATUS_OK && !detail::isReadFailureCode(check.status)) {
        check.violation = "a read failed with an unexpected code";
    } else if ((reader == Reader::kString || reader == Reader::kStringRefused) && sink.requested > afterWord) {
        check.violation = "string allocator asked for more than the bytes present";
    } else if ((reader == Reader::kArray || reader == Reader::kArrayRefused) && sink.requested > afterWord / 4) {
        check.violation = "array allocator asked for more elements than the bytes can hold";
    } else if (sink.requested == -2 && (reader == Reader::kString || reader == Reader::kArray) &&
               check.status == STATUS_OK) {
        check.violation = "a successful read never called its allocator";
    }
    return check;
}

}  // namespace bgs_fuzz

#endif  // BGS_FUZZ_PARCEL_READERS_H
