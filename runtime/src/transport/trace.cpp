// Transaction tracing.
#include "../base/public_api.h"

#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/clock.h"
#include "../wire/format.h"

namespace binder_ndk::internal {
namespace {

const bool gTrace = [] {
    const char* value = std::getenv("BGS_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}();

}  // namespace

bool traceEnabled() noexcept { return gTrace; }

void traceTransaction(const char* direction, pid_t peer, const char* descriptor, const AIBinder_Class* clazz,
                      uint32_t code, size_t requestSize, size_t replySize, binder_status_t status,
                      uint64_t startNs) noexcept {
    const char* name = clazz != nullptr ? AIBinder_Class_getFunctionName(clazz, code) : nullptr;
    const char* special = code == wire::kPingTransaction         ? "ping"
                          : code == wire::kDumpTransaction       ? "dump"
                          : code == wire::kShellTransaction      ? "shellCommand"
                          : code == wire::kGetServiceTransaction ? "getService"
                          // Every interface answers these two queries.
                          : code == 0x00ffffffu                  ? "getInterfaceVersion"
                          : code == 0x00fffffeu                  ? "getInterfaceHash"
                                                                 : nullptr;
    if (name == nullptr) name = special != nullptr ? special : "?";
    const double micros = static_cast<double>(monotonicNs() - startNs) / 1000.0;
    std::fprintf(stderr, "bgs-trace %s pid=%d %s code=%u(%s) request=%zu reply=%zu status=%d (%s) %.1fus\n",
                 direction, static_cast<int>(peer), descriptor, code, name, requestSize, replySize,
                 static_cast<int>(status), AStatus_codeName(status), micros);
}

}  // namespace binder_ndk::internal
