// Status objects and the names of status and exception codes.
#include "status_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace binder_ndk::internal {
namespace {

// Constant-initialized, so they are usable during other libraries' static
// initialization. Never written after load.
AStatus gOk{EX_NONE, 0, nullptr};
AStatus gNoMemory{EX_TRANSACTION_FAILED, STATUS_NO_MEMORY, nullptr};
// What a null status reads as.
const AStatus gNullStatus{EX_TRANSACTION_FAILED, STATUS_UNEXPECTED_NULL, nullptr};

const char kNoMemoryDescription[] = "Status(-129, EX_TRANSACTION_FAILED): 'STATUS_NO_MEMORY'";

struct CodeName {
    int32_t code;
    const char* name;
};

#define BGS_NAME(code) {code, #code}
constexpr CodeName kStatusNames[] = {
        BGS_NAME(STATUS_OK),           BGS_NAME(STATUS_UNKNOWN_ERROR),
        BGS_NAME(STATUS_NO_MEMORY),    BGS_NAME(STATUS_INVALID_OPERATION),
        BGS_NAME(STATUS_BAD_VALUE),    BGS_NAME(STATUS_BAD_TYPE),
        BGS_NAME(STATUS_NAME_NOT_FOUND), BGS_NAME(STATUS_PERMISSION_DENIED),
        BGS_NAME(STATUS_NO_INIT),      BGS_NAME(STATUS_ALREADY_EXISTS),
        BGS_NAME(STATUS_DEAD_OBJECT),  BGS_NAME(STATUS_FAILED_TRANSACTION),
        BGS_NAME(STATUS_BAD_INDEX),    BGS_NAME(STATUS_NOT_ENOUGH_DATA),
        BGS_NAME(STATUS_WOULD_BLOCK),  BGS_NAME(STATUS_TIMED_OUT),
        BGS_NAME(STATUS_UNKNOWN_TRANSACTION), BGS_NAME(STATUS_FDS_NOT_ALLOWED),
        BGS_NAME(STATUS_UNEXPECTED_NULL),
};
constexpr CodeName kExceptionNames[] = {
        BGS_NAME(EX_NONE),          BGS_NAME(EX_SECURITY),
        BGS_NAME(EX_BAD_PARCELABLE), BGS_NAME(EX_ILLEGAL_ARGUMENT),
        BGS_NAME(EX_NULL_POINTER),  BGS_NAME(EX_ILLEGAL_STATE),
        BGS_NAME(EX_NETWORK_MAIN_THREAD), BGS_NAME(EX_UNSUPPORTED_OPERATION),
        BGS_NAME(EX_SERVICE_SPECIFIC), BGS_NAME(EX_PARCELABLE),
        BGS_NAME(EX_TRANSACTION_FAILED),
};
#undef BGS_NAME

template <size_t N>
const char* findName(const CodeName (&table)[N], int32_t code) {
    for (const CodeName& entry : table) {
        if (entry.code == code) return entry.name;
    }
    return nullptr;
}

const AStatus& readable(const AStatus* status) {
    return status != nullptr ? *status : gNullStatus;
}

// The detail a description gives for a status code: its name, or null for a
// code without one. STATUS_NO_MEMORY is also what a parcel answers when data
// would take it past its size limit (APARCEL_MAX_DATA_SIZE); its name alone
// would point at memory exhaustion only, so its description names both.
const char* describeCode(int32_t code) {
    if (code == STATUS_NO_MEMORY) return "STATUS_NO_MEMORY (out of memory or over the parcel size limit)";
    return findName(kStatusNames, code);
}

bool isStatic(const AStatus* status) {
    return status == &gOk || status == &gNoMemory;
}

}  // namespace

bool isKnownException(binder_exception_t exception) noexcept {
    return findName(kExceptionNames, exception) != nullptr;
}

AStatus* makeStatus(binder_exception_t exception, int32_t detail, const char* message,
                    size_t messageLength) noexcept {
    if (exception == EX_TRANSACTION_FAILED && detail == STATUS_NO_MEMORY && messageLength == 0) {
        return &gNoMemory;
    }
    char* text = nullptr;
    if (message != nullptr) {
        const void* zero = std::memchr(message, 0, messageLength);
        if (zero != nullptr) messageLength = static_cast<size_t>(static_cast<const char*>(zero) - message);
        if (messageLength > 0) {
            text = new (std::nothrow) char[messageLength + 1];
            if (text == nullptr) return &gNoMemory;
            std::memcpy(text, message, messageLength);
            text[messageLength] = '\0';
        }
    }
    AStatus* status = new (std::nothrow) AStatus{exception, detail, text};
    if (status == nullptr) {
        delete[] text;
        return &gNoMemory;
    }
    return status;
}

}  // namespace binder_ndk::internal

using binder_ndk::internal::makeStatus;

AStatus* AStatus_newOk(void) {
    return &binder_ndk::internal::gOk;
}

AStatus* AStatus_fromStatus(binder_status_t status) {
    if (status == STATUS_OK) return AStatus_newOk();
    return makeStatus(EX_TRANSACTION_FAILED, status, nullptr, 0);
}

AStatus* AStatus_fromExceptionCode(binder_exception_t exception) {
    return AStatus_fromExceptionCodeWithMessage(exception, nullptr);
}

AStatus* AStatus_fromExceptionCodeWithMessage(binder_exception_t exception, const char* message) {
    if (exception == EX_NONE) return AStatus_newOk();
    const int32_t detail = exception == EX_TRANSACTION_FAILED ? STATUS_FAILED_TRANSACTION : 0;
    return makeStatus(exception, detail, message, message != nullptr ? std::strlen(message) : 0);
}

AStatus* AStatus_fromServiceSpecificError(int32_t serviceSpecific) {
    return AStatus_fromServiceSpecificErrorWithMessage(serviceSpecific, nullptr);
}

AStatus* AStatus_fromServiceSpecificErrorWithMessage(int32_t serviceSpecific, const char* message) {
    return makeStatus(EX_SERVICE_SPECIFIC, serviceSpecific, message,
                      message != nullptr ? std::strlen(message) : 0);
}

bool AStatus_isOk(const AStatus* status) {
    return status != nullptr && status->exception == EX_NONE;
}

binder_exception_t AStatus_getExceptionCode(const AStatus* status) {
    return binder_ndk::internal::readable(status).exception;
}

int32_t AStatus_getServiceSpecificError(const AStatus* status) {
    const AStatus& s = binder_ndk::internal::readable(status);
    return s.exception == EX_SERVICE_SPECIFIC ? s.detail : 0;
}

binder_status_t AStatus_getStatus(const AStatus* status) {
    const AStatus& s = binder_ndk::internal::readable(status);
    switch (s.exception) {
        case EX_NONE: return STATUS_OK;
        case EX_TRANSACTION_FAILED: return s.detail;
        default: return STATUS_FAILED_TRANSACTION;
    }
}

const char* AStatus_getMessage(const AStatus* status) {
    const AStatus& s = binder_ndk::internal::readable(status);
    return s.message != nullptr ? s.message : "";
}

// "Status(<exception>, <name>)" for OK; otherwise followed by ": '<detail>'",
// where the detail is "<service-specific error>[: <message>]" for
// EX_SERVICE_SPECIFIC, "<code name (see describeCode) or number>[: <message>]" for
// EX_TRANSACTION_FAILED and "<message>" for other exceptions (omitted with
// its quotes when there is no message). Control characters become spaces so
// that the description stays on one line.
const char* AStatus_getDescription(const AStatus* status) {
    const AStatus& s = binder_ndk::internal::readable(status);
    const char* message = AStatus_getMessage(&s);
    char number[16] = "";
    const char* lead = "";
    if (s.exception == EX_SERVICE_SPECIFIC) {
        std::snprintf(number, sizeof number, "%d", static_cast<int>(s.detail));
        lead = number;
    } else if (s.exception == EX_TRANSACTION_FAILED) {
        lead = binder_ndk::internal::describeCode(s.detail);
        if (lead == nullptr) {
            std::snprintf(number, sizeof number, "%d", static_cast<int>(s.detail));
            lead = number;
        }
    }
    const char* separator = lead[0] != '\0' && message[0] != '\0' ? ": " : "";
    const bool quoted = lead[0] != '\0' || message[0] != '\0';
    const char* format = quoted ? "Status(%d, %s): '%s%s%s'" : "Status(%d, %s)";
    const int exception = static_cast<int>(s.exception);
    const char* name = AStatus_exceptionName(s.exception);
    const int length = std::snprintf(nullptr, 0, format, exception, name, lead, separator, message);
    char* text = length < 0 ? nullptr : static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) return binder_ndk::internal::kNoMemoryDescription;
    std::snprintf(text, static_cast<size_t>(length) + 1, format, exception, name, lead, separator, message);
    for (char* c = text; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = ' ';
    }
    return text;
}

void AStatus_deleteDescription(const char* description) {
    if (description != binder_ndk::internal::kNoMemoryDescription) {
        std::free(const_cast<char*>(description));
    }
}

void AStatus_delete(AStatus* status) {
    if (status == nullptr || binder_ndk::internal::isStatic(status)) return;
    delete[] status->message;
    delete status;
}

const char* AStatus_codeName(binder_status_t status) {
    const char* name = binder_ndk::internal::findName(binder_ndk::internal::kStatusNames, status);
    return name != nullptr ? name : "STATUS_UNKNOWN_CODE";
}

const char* AStatus_exceptionName(binder_exception_t exception) {
    const char* name = binder_ndk::internal::findName(binder_ndk::internal::kExceptionNames, exception);
    return name != nullptr ? name : "EX_UNKNOWN";
}
