// The runtime's settings from the environment.
#ifndef BINDER_NDK_INTERNAL_ENV_H
#define BINDER_NDK_INTERNAL_ENV_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace binder_ndk::internal {

// The decimal number in the variable `name`, or `fallback` when it is unset
// or empty; a value that does not parse or lies outside [low, high] gives
// `fallback` after one line on stderr.
inline int64_t envNumber(const char* name, int64_t fallback, int64_t low, int64_t high) noexcept {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "bgs: %s=%s is not a number from %lld to %lld; using %lld\n", name, text,
                     static_cast<long long>(low), static_cast<long long>(high), static_cast<long long>(fallback));
        return fallback;
    }
    return value;
}

}  // namespace binder_ndk::internal

#endif  // BINDER_NDK_INTERNAL_ENV_H
