/*
 * Parcels: the byte containers that carry a transaction's request and reply.
 *
 * A parcel holds data bytes, a data position and a table of binder objects
 * written into it. The byte encoding is fixed and documented in
 * docs/wire-format.md. Every read is checked against the bytes present: a
 * read that would run past the end fails with STATUS_NOT_ENOUGH_DATA and
 * leaves the position where it was. A failed read or write changes nothing
 * observable except where a function says otherwise.
 *
 * Threads: a parcel belongs to one thread at a time; its functions take no
 * lock. Binder references held inside a parcel are thread-safe as usual.
 *
 * Reads take `const AParcel*` because they change only the data position.
 */
#ifndef BINDER_NDK_BINDER_PARCEL_H
#define BINDER_NDK_BINDER_PARCEL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <android/binder_status.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AParcel AParcel;
typedef struct AIBinder AIBinder;

/* The largest number of data bytes a parcel may hold (64 MiB). Writes that
 * would grow a parcel beyond it fail with STATUS_NO_MEMORY. */
#define APARCEL_MAX_DATA_SIZE (64 * 1024 * 1024)

/* A fresh empty parcel (position 0, no data, no objects), released with
 * AParcel_delete. Null only when memory runs out. */
AParcel* AParcel_create(void);

/* Releases a parcel and the binder references it holds. Accepts null. */
void AParcel_delete(AParcel* parcel);

/*
 * Data position, in bytes from the start of the data. Any position from 0 to
 * APARCEL_MAX_DATA_SIZE may be set, also past the end of the data: reads
 * there fail with STATUS_NOT_ENOUGH_DATA, and a write there first fills the
 * gap with zero bytes. Writing after moving back overwrites the bytes there
 * (and drops any binder entry it overwrites).
 * Returns STATUS_BAD_VALUE for a negative or too large position (the
 * position is then unchanged), STATUS_UNEXPECTED_NULL for a null parcel.
 */
binder_status_t AParcel_setDataPosition(const AParcel* parcel, int32_t position);

/* The data position; -1 for a null parcel. */
int32_t AParcel_getDataPosition(const AParcel* parcel);

/* The number of data bytes; -1 for a null parcel. */
int32_t AParcel_getDataSize(const AParcel* parcel);

/*
 * Fixed-size values. Each write appends (or overwrites) at the position and
 * advances it; each read takes the value at the position and advances it.
 * An int32 occupies 4 bytes, an int64 8, a bool 4. Reads fail with
 * STATUS_NOT_ENOUGH_DATA when the bytes are not there, with
 * STATUS_UNEXPECTED_NULL for a null parcel or destination; a bool read
 * fails with STATUS_BAD_VALUE on a word other than 0 or 1.
 */
binder_status_t AParcel_writeInt32(AParcel* parcel, int32_t value);
binder_status_t AParcel_writeUint32(AParcel* parcel, uint32_t value);
binder_status_t AParcel_writeInt64(AParcel* parcel, int64_t value);
binder_status_t AParcel_writeUint64(AParcel* parcel, uint64_t value);
binder_status_t AParcel_writeFloat(AParcel* parcel, float value);
binder_status_t AParcel_writeDouble(AParcel* parcel, double value);
binder_status_t AParcel_writeBool(AParcel* parcel, bool value);
binder_status_t AParcel_readInt32(const AParcel* parcel, int32_t* value);
binder_status_t AParcel_readUint32(const AParcel* parcel, uint32_t* value);
binder_status_t AParcel_readInt64(const AParcel* parcel, int64_t* value);
binder_status_t AParcel_readUint64(const AParcel* parcel, uint64_t* value);
binder_status_t AParcel_readFloat(const AParcel* parcel, float* value);
binder_status_t AParcel_readDouble(const AParcel* parcel, double* value);
binder_status_t AParcel_readBool(const AParcel* parcel, bool* value);

/*
 * Strings are byte strings with an explicit length; a null string is
 * distinct from an empty one.
 *
 * AParcel_writeString writes `length` bytes of `string`, or a null string
 * when `string` is null (then `length` must be -1). Returns
 * STATUS_BAD_VALUE for a negative length with data, or a length other than
 * -1 without data.
 *
 * AParcel_readString calls `allocator` once: with length -1 for a null
 * string, otherwise with the byte count plus one (room for a terminating
 * zero). For a length above 0 the allocator stores through `buffer` a
 * pointer to `length` writable bytes, which receive the text and a zero.
 * The length is checked against the bytes present before the allocator is
 * called, so an allocator is never asked for more than the parcel holds.
 * Fails with the usual read codes; with STATUS_UNEXPECTED_NULL when the
 * allocator refuses a null string; with STATUS_NO_MEMORY when it refuses a
 * present one (or returns a null buffer). On failure the position is
 * unchanged.
 */
typedef bool (*AParcel_stringAllocator)(void* stringData, int32_t length, char** buffer);
binder_status_t AParcel_writeString(AParcel* parcel, const char* string, int32_t length);
binder_status_t AParcel_readString(const AParcel* parcel, void* stringData,
                                   AParcel_stringAllocator allocator);

/*
 * Arrays of parcelables (records).
 *
 * AParcel_writeParcelableArray writes the element count, then calls
 * `elementWriter` for each index from 0 to length - 1; a length of -1 writes
 * a null array (`arrayData` is not used). The first failing element ends
 * the write with its status.
 *
 * AParcel_readParcelableArray reads the count and calls `allocator` once
 * with it (-1 for a null array), then `elementReader` once per index in
 * increasing order. A count that the remaining bytes cannot hold (every
 * element takes at least 4 bytes) fails with STATUS_NOT_ENOUGH_DATA before
 * the allocator is called. A refused allocation fails with
 * STATUS_UNEXPECTED_NULL for a null array, STATUS_NO_MEMORY otherwise. The
 * first failing element ends the read with its status.
 *
 * A null allocator or element reader fails with STATUS_UNEXPECTED_NULL, and
 * so does a null element writer when there are elements to write; a length
 * or count below -1 fails with STATUS_BAD_VALUE. A failed read leaves the position unchanged; a
 * write that fails at an element keeps the elements written before it.
 */
typedef bool (*AParcel_parcelableArrayAllocator)(void* arrayData, int32_t length);
typedef binder_status_t (*AParcel_writeParcelableElement)(AParcel* parcel, const void* arrayData,
                                                          size_t index);
typedef binder_status_t (*AParcel_readParcelableElement)(const AParcel* parcel, void* arrayData,
                                                         size_t index);
binder_status_t AParcel_writeParcelableArray(AParcel* parcel, const void* arrayData,
                                             int32_t length,
                                             AParcel_writeParcelableElement elementWriter);
binder_status_t AParcel_readParcelableArray(const AParcel* parcel, void* arrayData,
                                            AParcel_parcelableArrayAllocator allocator,
                                            AParcel_readParcelableElement elementReader);

/*
 * Binder entries. A written binder is recorded in the parcel's object table,
 * and the parcel holds a strong reference to it until the parcel is deleted
 * or the entry is overwritten. Null may be written.
 *
 * AParcel_readStrongBinder gives the caller an owned strong reference, or
 * null for a null entry. It fails with STATUS_BAD_TYPE when the bytes at the
 * position are not a binder entry the parcel itself recorded; in particular
 * a parcel filled from raw bytes holds no binder objects, so only null
 * entries can be read from it.
 */
binder_status_t AParcel_writeStrongBinder(AParcel* parcel, AIBinder* binder);
binder_status_t AParcel_readStrongBinder(const AParcel* parcel, AIBinder** binder);

/*
 * The status header at the start of every reply. The read yields an owned
 * status (*status is set only on success). A header that does not decode
 * (an unknown layout, a plain-status header carrying STATUS_OK) fails with
 * STATUS_BAD_VALUE. Writing a status whose exception code is not one of the
 * EX_* codes fails with STATUS_BAD_VALUE, as no reader could decode it.
 */
binder_status_t AParcel_writeStatusHeader(AParcel* parcel, const AStatus* status);
binder_status_t AParcel_readStatusHeader(const AParcel* parcel, AStatus** status);

/*
 * Raw bytes, for tools, tests and fuzzing.
 *
 * AParcel_marshal copies `len` data bytes from offset `start` into
 * `buffer`. Binder entries are copied as their plain bytes, which name no
 * object outside this parcel. Fails with STATUS_BAD_VALUE when the range is
 * not inside the data, with STATUS_UNEXPECTED_NULL for a null parcel or a
 * null buffer with a non-zero `len`.
 *
 * AParcel_unmarshal replaces the parcel's contents with `len` bytes from
 * `buffer`: position 0, no objects, not prepared for any binder. Fails with
 * STATUS_BAD_VALUE when `len` exceeds APARCEL_MAX_DATA_SIZE or `buffer` is
 * null with a non-zero length; the parcel is unchanged then.
 */
binder_status_t AParcel_marshal(const AParcel* parcel, uint8_t* buffer, size_t start, size_t len);
binder_status_t AParcel_unmarshal(AParcel* parcel, const uint8_t* buffer, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* BINDER_NDK_BINDER_PARCEL_H */
