/*
 * Status codes and status objects of the host binder runtime.
 *
 * A status code (binder_status_t) is the result of every parcel and binder
 * operation: STATUS_OK (0) on success, a negative code otherwise. Codes that
 * mirror a POSIX error have its negated value.
 *
 * A status object (AStatus) is what an interface method returns: OK, a plain
 * status code (a transport or parcel failure), an exception code with an
 * optional message, or a service-specific error with an optional message.
 * Status objects are immutable once made and may be read from any thread.
 */
#ifndef BINDER_NDK_BINDER_STATUS_H
#define BINDER_NDK_BINDER_STATUS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t binder_status_t;
typedef int32_t binder_exception_t;

enum {
    STATUS_OK = 0,
    STATUS_UNKNOWN_ERROR = (-2147483647 - 1),
    STATUS_NO_MEMORY = -12,           /* an allocation failed or a size limit was hit */
    STATUS_INVALID_OPERATION = -38,   /* the call is not valid in this state */
    STATUS_BAD_VALUE = -22,           /* an argument or a decoded value is malformed */
    STATUS_BAD_TYPE = (-2147483647 - 1) + 1, /* the data holds another kind of item */
    STATUS_NAME_NOT_FOUND = -2,
    STATUS_PERMISSION_DENIED = -1,
    STATUS_NO_INIT = -19,
    STATUS_ALREADY_EXISTS = -17,
    STATUS_DEAD_OBJECT = -32,         /* the object behind a binder is gone */
    STATUS_FAILED_TRANSACTION = (-2147483647 - 1) + 2,
    STATUS_BAD_INDEX = -75,
    STATUS_NOT_ENOUGH_DATA = -61,     /* a read ran past the data present */
    STATUS_WOULD_BLOCK = -11,
    STATUS_TIMED_OUT = -110,
    STATUS_UNKNOWN_TRANSACTION = -74, /* the object has no such transaction code */
    STATUS_FDS_NOT_ALLOWED = (-2147483647 - 1) + 7,
    STATUS_UNEXPECTED_NULL = (-2147483647 - 1) + 8, /* a value was absent where one is required */
};

/* Exception codes carried by a status object. */
enum {
    EX_NONE = 0,
    EX_SECURITY = -1,
    EX_BAD_PARCELABLE = -2,
    EX_ILLEGAL_ARGUMENT = -3,
    EX_NULL_POINTER = -4,
    EX_ILLEGAL_STATE = -5,
    EX_NETWORK_MAIN_THREAD = -6,
    EX_UNSUPPORTED_OPERATION = -7,
    EX_SERVICE_SPECIFIC = -8,
    EX_PARCELABLE = -9,
    /* The status carries a plain status code (a transport or parcel failure). */
    EX_TRANSACTION_FAILED = -129,
};

typedef struct AStatus AStatus;

/*
 * Constructors. Each returns an owned status, released with AStatus_delete.
 * They never return null: when memory runs out they return a shared status
 * that reports STATUS_NO_MEMORY (deleting it is harmless).
 */

/* An OK status. */
AStatus* AStatus_newOk(void);

/* OK for STATUS_OK, otherwise a status of EX_TRANSACTION_FAILED carrying
 * `status`. */
AStatus* AStatus_fromStatus(binder_status_t status);

/* OK for EX_NONE; EX_TRANSACTION_FAILED gives STATUS_FAILED_TRANSACTION as
 * its code; EX_SERVICE_SPECIFIC gives service-specific error 0. */
AStatus* AStatus_fromExceptionCode(binder_exception_t exception);

/* As AStatus_fromExceptionCode, with a message (copied; null means none).
 * The message of an OK status is dropped. */
AStatus* AStatus_fromExceptionCodeWithMessage(binder_exception_t exception,
                                              const char* message);

/* A status of EX_SERVICE_SPECIFIC carrying `serviceSpecific`. */
AStatus* AStatus_fromServiceSpecificError(int32_t serviceSpecific);

/* As AStatus_fromServiceSpecificError, with a message (copied; null means
 * none). */
AStatus* AStatus_fromServiceSpecificErrorWithMessage(int32_t serviceSpecific,
                                                     const char* message);

/* Queries. A null status reads as a status of STATUS_UNEXPECTED_NULL. */

/* True exactly when the status is OK. */
bool AStatus_isOk(const AStatus* status);

/* EX_NONE for OK; EX_TRANSACTION_FAILED for a plain status code; otherwise
 * the exception code. */
binder_exception_t AStatus_getExceptionCode(const AStatus* status);

/* The service-specific error of an EX_SERVICE_SPECIFIC status, else 0. */
int32_t AStatus_getServiceSpecificError(const AStatus* status);

/* STATUS_OK for OK; the carried code for EX_TRANSACTION_FAILED; for any other
 * exception STATUS_FAILED_TRANSACTION, so that a failed status never reads as
 * STATUS_OK here. */
binder_status_t AStatus_getStatus(const AStatus* status);

/* The message, "" when none. Valid as long as the status lives. */
const char* AStatus_getMessage(const AStatus* status);

/* A human-readable, single-line description, such as
 * "Status(-8, EX_SERVICE_SPECIFIC): '42: disk full'". The form is
 * "Status(<exception code>, <exception name>)", followed for a failed status
 * by ": '<detail>'": "<service-specific error>[: <message>]" for
 * EX_SERVICE_SPECIFIC, "<status code name, or number>[: <message>]" for
 * EX_TRANSACTION_FAILED (e.g. 'STATUS_BAD_VALUE'; STATUS_NO_MEMORY reads
 * 'STATUS_NO_MEMORY (out of memory or over the parcel size limit)', since a
 * parcel gives that code past its size limit too), "<message>" for other
 * exceptions (no detail part when there is no message). Control characters
 * of the message appear as spaces. Owned by the caller, released with
 * AStatus_deleteDescription. Never null. */
const char* AStatus_getDescription(const AStatus* status);
void AStatus_deleteDescription(const char* description);

/* Gives a status back. Accepts null. */
void AStatus_delete(AStatus* status);

/* The name of a status code ("STATUS_BAD_VALUE"), or "STATUS_UNKNOWN_CODE"
 * for a code without a name. Static storage. */
const char* AStatus_codeName(binder_status_t status);

/* The name of an exception code ("EX_SERVICE_SPECIFIC"), or "EX_UNKNOWN".
 * Static storage. */
const char* AStatus_exceptionName(binder_exception_t exception);

#ifdef __cplusplus
}
#endif

#endif /* BINDER_NDK_BINDER_STATUS_H */
