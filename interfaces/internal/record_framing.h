/*
 * The size-prefixed record body, written once for every record.
 *
 * A body is a size word (int32: the bytes from the first byte of the size word
 * to the end of the last field, so at least 4) followed by the record's
 * fields in declaration order. A record states only its field list, as a
 * tuple of references; these functions do the framing.
 */
#ifndef BGS_BINDING_RECORD_FRAMING_H
#define BGS_BINDING_RECORD_FRAMING_H

#include <android/binder_parcel_helpers.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace bgs::binding {

// The bytes a field takes in a parcel when that is fixed (0: it varies).
template <typename T>
constexpr size_t kFixedFieldSize = 0;
template <>
inline constexpr size_t kFixedFieldSize<int32_t> = 4;
template <>
inline constexpr size_t kFixedFieldSize<int64_t> = 8;
template <>
inline constexpr size_t kFixedFieldSize<bool> = 4;

// The size word of a body whose fields all have a fixed size (0 otherwise).
template <typename... Fields>
constexpr size_t fixedBodySize() {
    return ((kFixedFieldSize<Fields> != 0) && ...) ? 4 + (kFixedFieldSize<Fields> + ... + 0) : 0;
}

/*
 * Reads a body into `fields` (a tuple of references to the record's
 * members). Before each field the bytes consumed since the size word are
 * compared with the size: reading stops at the first field that would begin
 * at or past it, so a shorter body leaves the later fields as they were. A
 * field that begins inside the size is read in full. Afterwards the position
 * moves to the end of the body, skipping fields this reader does not know.
 *
 * Fails with the first failing read's status, or STATUS_BAD_VALUE for a size
 * below 4 or one whose end would not fit a 32-bit position; the position is
 * then where the failure left it.
 */
template <typename... Fields>
binder_status_t readRecordBody(const AParcel* parcel, std::tuple<Fields&...> fields) {
    int32_t size = 0;
    binder_status_t status = AParcel_readInt32(parcel, &size);
    if (status != STATUS_OK) {
        return status;
    }
    if (size < 4) {
        return STATUS_BAD_VALUE;
    }
    // A body of exactly a fixed layout ends where its last field does, so
    // it is read as plain fields: no position arithmetic, and no check
    // before each field. (Its end cannot overflow: positions are bounded
    // far below the 32-bit limit.)
    constexpr size_t kFixedSize = fixedBodySize<Fields...>();
    if constexpr (kFixedSize != 0) {
        if (static_cast<size_t>(size) == kFixedSize) {
            auto readFixedField = [&](auto& field) {
                if (status == STATUS_OK) {
                    status = ndk::AParcel_readData(parcel, &field);
                }
            };
            std::apply([&](auto&... field) { (readFixedField(field), ...); }, fields);
            return status;
        }
    }
    const int32_t start = AParcel_getDataPosition(parcel) - 4;
    if (start > std::numeric_limits<int32_t>::max() - size) {
        return STATUS_BAD_VALUE;
    }
    // A longer body holds every known field: they are read without
    // measuring before each one, then the rest is skipped.
    const bool holdsAll = kFixedSize != 0 && static_cast<size_t>(size) >= kFixedSize;
    bool stopped = false;
    auto readField = [&](auto& field) {
        if (stopped) {
            return;
        }
        if (!holdsAll && AParcel_getDataPosition(parcel) - start >= size) {
            stopped = true;
            return;
        }
        status = ndk::AParcel_readData(parcel, &field);
        stopped = status != STATUS_OK;
    };
    std::apply([&](auto&... field) { (readField(field), ...); }, fields);
    if (status != STATUS_OK) {
        return status;
    }
    AParcel_setDataPosition(parcel, start + size);
    return STATUS_OK;
}

// Ends a body whose write failed: the size word at `start` becomes 0 and the
// position stays where the failure left it. Overwriting a word already
// written inside the data cannot fail.
inline void markBodyFailed(AParcel* parcel, int32_t start) {
    const int32_t end = AParcel_getDataPosition(parcel);
    AParcel_setDataPosition(parcel, start);
    AParcel_writeInt32(parcel, 0);
    AParcel_setDataPosition(parcel, end);
}

/*
 * Appends a body holding `fields`. A record of fixed-size fields knows its
 * size and writes it first; any other writes a placeholder size word and
 * patches it after the fields. The first failing write ends it with its
 * status; the parcel then holds the partial body with size word 0.
 */
template <typename... Fields>
binder_status_t writeRecordBody(AParcel* parcel, std::tuple<const Fields&...> fields) {
    constexpr size_t kFixedSize = fixedBodySize<Fields...>();
    if constexpr (kFixedSize != 0) {
        binder_status_t status = AParcel_writeInt32(parcel, static_cast<int32_t>(kFixedSize));
        if (status != STATUS_OK) {
            return status;
        }
        // Each write that succeeds advances by its field's fixed size, so
        // the start is known again without asking for it up front.
        int32_t written = 4;
        auto writeField = [&](const auto& field) {
            if (status == STATUS_OK) {
                status = ndk::AParcel_writeData(parcel, field);
                if (status == STATUS_OK) {
                    written += static_cast<int32_t>(kFixedFieldSize<std::decay_t<decltype(field)>>);
                }
            }
        };
        std::apply([&](const auto&... field) { (writeField(field), ...); }, fields);
        if (status != STATUS_OK) {
            markBodyFailed(parcel, AParcel_getDataPosition(parcel) - written);
        }
        return status;
    } else {
        const int32_t start = AParcel_getDataPosition(parcel);
        binder_status_t status = AParcel_writeInt32(parcel, 0);
        if (status != STATUS_OK) {
            return status;
        }
        auto writeField = [&](const auto& field) {
            if (status == STATUS_OK) {
                status = ndk::AParcel_writeData(parcel, field);
            }
        };
        std::apply([&](const auto&... field) { (writeField(field), ...); }, fields);
        if (status != STATUS_OK) {
            markBodyFailed(parcel, start);
            return status;
        }
        const int32_t end = AParcel_getDataPosition(parcel);
        AParcel_setDataPosition(parcel, start);
        AParcel_writeInt32(parcel, end - start);
        AParcel_setDataPosition(parcel, end);
        return STATUS_OK;
    }
}

// ---------------------------------------------------------------------------
// Readable text of a record, for logs and transcripts.

inline void formatValue(std::ostream& out, int32_t value) { out << value; }
inline void formatValue(std::ostream& out, int64_t value) { out << value; }
inline void formatValue(std::ostream& out, bool value) { out << (value ? "true" : "false"); }

inline void formatValue(std::ostream& out, const std::string& value) {
    out << '"';
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (byte < 0x20 || byte == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            out << "\\x" << kHex[byte >> 4] << kHex[byte & 0xf];
        } else {
            out << c;
        }
    }
    out << '"';
}

inline void formatValue(std::ostream& out, const std::optional<std::string>& value) {
    if (value.has_value()) {
        formatValue(out, *value);
    } else {
        out << "null";
    }
}

template <typename Record>
void formatValue(std::ostream& out, const std::vector<Record>& list) {
    out << '[';
    for (size_t i = 0; i < list.size(); ++i) {
        out << (i == 0 ? "" : ", ") << list[i].toString();
    }
    out << ']';
}

// "Name{field: value, ...}" with `names` naming the tuple's fields in order.
template <size_t N, typename... Fields>
std::string formatRecord(const char* recordName, const std::array<const char*, N>& names,
                         std::tuple<const Fields&...> fields) {
    static_assert(N == sizeof...(Fields), "one name per field");
    std::ostringstream out;
    out << recordName << '{';
    size_t index = 0;
    auto formatField = [&](const auto& field) {
        out << (index == 0 ? "" : ", ") << names[index] << ": ";
        formatValue(out, field);
        ++index;
    };
    std::apply([&](const auto&... field) { (formatField(field), ...); }, fields);
    out << '}';
    return out.str();
}

}  // namespace bgs::binding

/*
 * Defines a record's descriptor and its read, write, comparison and text
 * functions from its field table. The record's source declares, before this,
 *     template <typename R> auto recordFields(R& r) { return std::tie(r.a, r.b, ...); }
 *     constexpr std::array<const char*, N> kRecordFieldNames = {"a", "b", ...};
 * so that the fields are listed in one place for reading and writing alike.
 */
#define BGS_DEFINE_RECORD(Record, descriptorText)                                  \
    const char* Record::descriptor = descriptorText;                                          \
    binder_status_t Record::readFromParcel(const AParcel* parcel) {                           \
        return ::bgs::binding::readRecordBody(parcel, recordFields(*this));                         \
    }                                                                                         \
    binder_status_t Record::writeToParcel(AParcel* parcel) const {                            \
        return ::bgs::binding::writeRecordBody(parcel, recordFields(*this));                        \
    }                                                                                         \
    bool Record::operator==(const Record& other) const {                                      \
        return recordFields(*this) == recordFields(other);                                    \
    }                                                                                         \
    std::string Record::toString() const {                                                    \
        return ::bgs::binding::formatRecord(#Record, kRecordFieldNames, recordFields(*this));       \
    }

#endif  // BGS_BINDING_RECORD_FRAMING_H
