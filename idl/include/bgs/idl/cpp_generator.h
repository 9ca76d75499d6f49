/*
 * The C++ generator: the binding library of one package, as per-type tables
 * over the shared mechanisms of interfaces/internal (transaction.h,
 * record_framing.h), which the generated sources include by name.
 *
 * Output, with paths relative to the output root:
 *   include/aidl/<package path>/<Type>.h, Bp<Name>.h, Bn<Name>.h, export.h
 *   <Record>.cpp, <Interface>.cpp   one per type
 *   registration.h                  the binder classes and transaction
 *                                   functions (private to the library)
 *   <last package component>.map    the linker's export map
 *   sources.cmake                   the sources in load order
 * Output is a pure function of the definition and the source name: no
 * dates, no paths beyond `sourceName`.
 */
#ifndef BGS_IDL_CPP_GENERATOR_H
#define BGS_IDL_CPP_GENERATOR_H

#include <bgs/idl/definition.h>

#include <string>
#include <string_view>
#include <vector>

namespace bgs::idl {

// The highest transaction code the generated libraries serve.
inline constexpr uint32_t kMaxGeneratedCode = 4096;

struct GeneratedFile {
    std::string path;  // relative, '/'-separated
    std::string content;
};

struct CppOutput {
    std::vector<GeneratedFile> files;     // empty when diagnostics is not
    std::vector<Diagnostic> diagnostics;  // what this generator cannot express
};

/*
 * Generates the binding library for a loaded definition. `sourceName` (the
 * definition file's name without directories) is named in each file's
 * banner. A method whose transaction code is above kMaxGeneratedCode gives
 * a diagnostic at the method and no files: the runtime's name table for an
 * interface has one entry per code up to the highest.
 */
CppOutput generateCpp(const Definition& definition, std::string_view sourceName);

}  // namespace bgs::idl

#endif  // BGS_IDL_CPP_GENERATOR_H
