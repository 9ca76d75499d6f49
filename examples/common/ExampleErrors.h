/*
 * The service-specific error codes of ExampleBGService (the codes a status
 * of EX_SERVICE_SPECIFIC carries). The service and its clients both use
 * them, so they live apart from either.
 */
#ifndef BGS_EXAMPLES_COMMON_EXAMPLEERRORS_H
#define BGS_EXAMPLES_COMMON_EXAMPLEERRORS_H

#include <cstdint>

namespace bgs::examples {

// setRequstCompletedImageName: no completed request has an unsaved image of
// that name (never produced, or already saved).
inline constexpr int32_t kErrorUnknownImage = 1;

}  // namespace bgs::examples

#endif  // BGS_EXAMPLES_COMMON_EXAMPLEERRORS_H
