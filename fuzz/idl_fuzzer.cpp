// Definition fuzzer: loads arbitrary bytes as a definition and, when they
// load, generates the C++ bindings from them. Checks that the loader
// either returns a definition or diagnostics (never both, never neither),
// that every diagnostic names a position inside the text and has the
// "FILE:LINE:COLUMN: error: " form, that their count is bounded, and that
// loading and generating the same text twice give the same result.
//
// Built with libFuzzer when BGS_BUILD_FUZZERS is on (clang); the same entry
// point runs over a built-in seed set in the tests. Without
// BGS_FUZZER_NO_MAIN the file has a main that replays input files.
#include <bgs/idl/cpp_generator.h>
#include <bgs/idl/definition.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "idl_fuzzer: %s\n", what);
    std::abort();
}

std::vector<std::string> rendered(const std::vector<bgs::idl::Diagnostic>& diagnostics) {
    std::vector<std::string> out;
    for (const auto& diagnostic : diagnostics) out.push_back(diagnostic.toString());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bgs::idl::LoadResult result = bgs::idl::loadDefinition(text, "f.bgidl");
    if (result.ok() == !result.diagnostics.empty()) fail("a definition and diagnostics, or neither");
    if (result.diagnostics.size() > bgs::idl::Limits::kMaxDiagnostics + 1) fail("too many diagnostics");
    const uint32_t lines = static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    for (const auto& diagnostic : result.diagnostics) {
        if (diagnostic.where.line < 1 || diagnostic.where.line > lines || diagnostic.where.column < 1) {
            fail("a diagnostic outside the text");
        }
        if (diagnostic.message.empty()) fail("an empty diagnostic");
        const std::string prefix = "f.bgidl:" + std::to_string(diagnostic.where.line) + ":" +
                                   std::to_string(diagnostic.where.column) + ": error: ";
        if (diagnostic.toString().rfind(prefix, 0) != 0) fail("a diagnostic of another form");
    }
    const bgs::idl::LoadResult again = bgs::idl::loadDefinition(text, "f.bgidl");
    if (rendered(again.diagnostics) != rendered(result.diagnostics)) fail("loading is not repeatable");
    if (!result.ok()) return 0;

    const bgs::idl::CppOutput first = bgs::idl::generateCpp(*result.definition, "f.bgidl");
    const bgs::idl::CppOutput second = bgs::idl::generateCpp(*again.definition, "f.bgidl");
    if (first.files.empty() == first.diagnostics.empty()) fail("files and diagnostics, or neither");
    if (first.files.size() != second.files.size()) fail("generation is not repeatable");
    for (size_t i = 0; i < first.files.size(); ++i) {
        if (first.files[i].path != second.files[i].path || first.files[i].content != second.files[i].content) {
            fail("generation is not repeatable");
        }
    }
    return 0;
}

#ifndef BGS_FUZZER_NO_MAIN
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::perror(argv[i]);
            return 1;
        }
        const std::string input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        std::printf("%s: ok\n", argv[i]);
    }
    return 0;
}
#endif
