// Runs the definition fuzzer's entry point over built-in seeds: the
// project's own definition, its truncations at every line, and shapes that
// stress the lexer, so the fuzz target and its checks run in every test run
// (a broken rule aborts the test).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

TEST(IdlFuzzSeeds, EntryPointAcceptsEverySeed) {
    std::ifstream in(BGS_PACKAGE_DEFINITION, std::ios::binary);
    ASSERT_TRUE(in);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string definition = text.str();
    run(definition);
    for (size_t end = definition.find('\n'); end != std::string::npos; end = definition.find('\n', end + 1)) {
        run(definition.substr(0, end));
    }
    const std::vector<std::string> seeds = {
            "",
            std::string(1, '\0'),
            "package",
            "package p; version 1; record R { string s = \"\\",
            "package p; version 1; /*",
            "package p; version 1; interface IS { void f(" + std::string(200, ',') + ");}",
            std::string(5000, '{') + std::string(5000, '}'),
            std::string(3000, 'a'),
            "package p; version 1; record R { i32 x = -9223372036854775808; i64 y = -9223372036854775808; }",
            "package p; version 1; record R { string s = \"\\x01\\n\\t\\\"\"; }",
            std::string("package p;\nversion 1;\nrecord R { i32 \xff\xfe; }"),
    };
    for (const std::string& seed : seeds) run(seed);
}

}  // namespace
