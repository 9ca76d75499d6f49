// The definition loader's diagnostics, one malformed definition per row
// with the exact lines it must produce, and the few things the C++
// generator refuses. Positions are what a user jumps to, so they are
// checked as exactly as the messages.
#include <bgs/idl/cpp_generator.h>
#include <bgs/idl/definition.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bgs::idl::loadDefinition;

// Every row's text follows these two lines, so its own lines start at 3;
// a text that starts with "package" has its own, one that starts with '!'
// has none.
constexpr const char* kHead = "package p.q;\nversion 1;\n";

struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> expected;
};

std::vector<std::string> diagnosticsOf(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& diagnostic : loadDefinition(text, "t.bgidl").diagnostics) {
        out.push_back(diagnostic.toString());
    }
    return out;
}

std::string withHead(const char* text) {
    const std::string body = text;
    if (body.rfind('!', 0) == 0) return body.substr(1);
    return body.rfind("package", 0) == 0 ? body : kHead + body;
}

TEST(IdlDiagnostics, EachMalformedDefinitionGetsItsPositionAndMessage) {
    const std::vector<Case> cases = {
            // Syntax and lexing.
            {"missing package", "!record R {}",
             {"t.bgidl:1:1: error: expected 'package', found 'record'"}},
            {"missing semicolon", "record R { i32 a }",
             {"t.bgidl:3:18: error: expected ';', found '}'"}},
            {"unexpected character", "record R { i32 a; @ }",
             {"t.bgidl:3:19: error: unexpected character '@'"}},
            {"unterminated string", "package p;\nversion 1 frozen \"abc\n;",
             {"t.bgidl:2:18: error: unterminated string",
              "t.bgidl:3:1: error: expected the frozen version's hash as a string, found ';'"}},
            {"unterminated comment", "/* never closed\nrecord R {}",
             {"t.bgidl:3:1: error: unterminated comment"}},
            {"nested list", "record R { list<list<R>> a; }",
             {"t.bgidl:3:17: error: a list's elements are records; lists do not nest"}},
            {"second package", "record R {}\npackage x;",
             {"t.bgidl:4:1: error: 'package' may appear only once, at the top"}},
            {"several errors in one run",
             "record A { i32 a b; }\nrecord B { Missing m; }\ninterface IC { void f(i32 x) }",
             {"t.bgidl:3:18: error: expected ';', found 'b'",
              "t.bgidl:5:30: error: expected ';', found '}'",
              "t.bgidl:4:12: error: unknown type 'Missing'"}},

            // Package and version.
            {"bad frozen hash", "package p;\nversion 1 frozen \"ABC\";",
             {"t.bgidl:2:18: error: a frozen hash is 40 lowercase hexadecimal digits"}},
            {"version zero", "package p;\nversion 0;",
             {"t.bgidl:2:9: error: version must be between 1 and 2147483647"}},

            // Names.
            {"duplicate type", "record R {}\ninterface R {}",
             {"t.bgidl:4:11: error: 'R' is already declared at line 3"}},
            {"C++ keyword", "record class {}",
             {"t.bgidl:3:8: error: 'class' is reserved in C++ and cannot be a record"}},
            {"reserved prefix", "record _R {}",
             {"t.bgidl:3:8: error: '_R': names may not begin with '_' or contain '__'"}},
            {"interface without I", "interface Service {}",
             {"t.bgidl:3:11: error: interface name 'Service' must begin with 'I' and a capital letter"}},
            {"clash with a generated class", "record BpService {}\ninterface IService {}",
             {"t.bgidl:3:8: error: 'BpService' clashes with a class generated for interface 'IService'"}},
            {"duplicate field", "record R { i32 a; i64 a; }",
             {"t.bgidl:3:23: error: field 'a' is already declared in 'R'"}},
            {"reserved field", "record R { i32 descriptor; }",
             {"t.bgidl:3:16: error: 'descriptor' is a member every record has"}},
            {"duplicate method", "interface IS { void f(); void f(); }",
             {"t.bgidl:3:31: error: method 'f' is already declared in 'IS'"}},
            {"reserved method", "interface IS { void asBinder(); }",
             {"t.bgidl:3:21: error: 'asBinder' is a member every interface has"}},
            {"duplicate parameter", "interface IS { void f(i32 a, i32 a); }",
             {"t.bgidl:3:34: error: parameter 'a' is already declared"}},

            // Types and nullability.
            {"unknown type", "record R { Foo x; }", {"t.bgidl:3:12: error: unknown type 'Foo'"}},
            {"list of integers", "record R { list<i32> x; }",
             {"t.bgidl:3:12: error: lists hold records only, not 'i32'"}},
            {"list of interfaces", "interface IS { void f(list<IS> x); }",
             {"t.bgidl:3:23: error: lists hold records only, not 'IS'"}},
            {"record in a record", "record A {}\nrecord R { A a; }",
             {"t.bgidl:4:12: error: a record cannot hold a record value; use list<A>"}},
            {"interface in a record", "interface IS {}\nrecord R { IS s; }",
             {"t.bgidl:4:12: error: a record cannot hold an interface reference"}},
            {"void field", "record R { void v; }", {"t.bgidl:3:12: error: a field cannot be void"}},
            {"void parameter", "interface IS { void f(void v); }",
             {"t.bgidl:3:23: error: a parameter cannot be void"}},
            {"nullable integer", "record R { i32? x; }",
             {"t.bgidl:3:12: error: i32 has no null form on the wire; only string may be marked '?'"}},
            {"nullable list", "record A {}\nrecord R { list<A>? x; }",
             {"t.bgidl:4:12: error: list<A> has no null form on the wire; only string may be marked '?'"}},
            {"nullable interface", "interface IS { void f(IS? s); }",
             {"t.bgidl:3:23: error: interface references are nullable already (an empty one goes as a "
              "null binder); drop the '?'"}},
            {"recursive records", "record A { list<B> b; }\nrecord B { list<A> a; }",
             {"t.bgidl:3:12: error: record 'A' contains itself through field 'b'",
              "t.bgidl:4:12: error: record 'B' contains itself through field 'a'"}},

            // Defaults.
            {"default of another type", "record R { i32 x = \"s\"; }",
             {"t.bgidl:3:20: error: default does not match type i32"}},
            {"default out of range", "record R { i32 x = 2147483648; }",
             {"t.bgidl:3:20: error: default out of range for i32"}},
            {"null for a required string", "record R { string s = null; }",
             {"t.bgidl:3:23: error: default does not match type string"}},

            // Methods and codes.
            {"oneway with a result", "interface IS { oneway i32 f(); }",
             {"t.bgidl:3:23: error: a oneway method cannot return a result"}},
            {"oneway with out parameter", "interface IS { oneway void f(out i32 x); }",
             {"t.bgidl:3:38: error: a oneway method cannot have out parameters"}},
            {"code clash", "interface IS { void f() = 2; void g(); void h() = 3; }",
             {"t.bgidl:3:45: error: transaction code 3 is already used by 'g'"}},
            {"code zero", "interface IS { void f() = 0; }",
             {"t.bgidl:3:27: error: transaction code must be between 1 and 16777213"}},
            {"query code", "interface IS { void f() = 16777214; }",
             {"t.bgidl:3:27: error: transaction code 16777214 is reserved for the version and hash queries"}},
            {"implicit code past the range", "interface IS { void f() = 16777213; void g(); }",
             {"t.bgidl:3:42: error: implicit transaction code 16777214 is out of range; give the method a code"}},
            {"number too large", "interface IS { void f() = 99999999999999999999; }",
             {"t.bgidl:3:27: error: number too large"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(diagnosticsOf(withHead(c.text)), c.expected);
    }
}

TEST(IdlDiagnostics, ReportingStopsAfterTheLimit) {
    std::string text = kHead;
    for (int i = 0; i < 80; ++i) text += "record R" + std::to_string(i) + " { Missing m; }\n";
    const std::vector<std::string> lines = diagnosticsOf(text);
    ASSERT_EQ(lines.size(), bgs::idl::Limits::kMaxDiagnostics + 1);
    EXPECT_EQ(lines.back(), "t.bgidl:53:14: error: too many errors; stopping");
}

// Codes continue from the previous method's, explicit or not; doc comments
// and defaults reach the tree.
TEST(IdlLoader, ImplicitCodesFollowThePreviousMethodAndDocsAndDefaultsAreKept) {
    const auto result = loadDefinition(std::string(kHead) +
                                               "/** The record. */\nrecord R { i64 n = -5; string? s = null; }\n"
                                               "interface IS { void a(); void b() = 10; void c(); }",
                                       "t.bgidl");
    ASSERT_TRUE(result.ok()) << result.diagnostics.front().toString();
    const auto& methods = result.definition->interfaces.at(0).methods;
    EXPECT_EQ(methods.at(0).code, 1u);
    EXPECT_EQ(methods.at(1).code, 10u);
    EXPECT_EQ(methods.at(2).code, 11u);
    const auto& record = result.definition->records.at(0);
    EXPECT_EQ(record.doc, "The record.");
    EXPECT_EQ(record.fields.at(0).defaultValue->integer, -5);
    EXPECT_EQ(result.definition->hash(), "notfrozen");
}

// One-way methods, out parameters and codes with gaps are served; a code
// past the generator's bound is refused at its method, even when implicit.
TEST(IdlGenerator, RefusesCodesPastItsBound) {
    const std::vector<Case> cases = {
            {"explicit", "interface IS { oneway void f(); void g(out i32 x) = 4097; }",
             {"t.bgidl:3:38: error: the C++ generator serves transaction codes up to 4096; 'g' has code 4097"}},
            {"implicit", "interface IS { void f() = 4096; void g(); }",
             {"t.bgidl:3:38: error: the C++ generator serves transaction codes up to 4096; 'g' has code 4097"}},
            {"served", "interface IS { oneway void f() = 4096; i32 g(out i32 x, i32 y) = 2; }", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = loadDefinition(withHead(c.text), "t.bgidl");
        ASSERT_TRUE(result.ok());
        const auto output = bgs::idl::generateCpp(*result.definition, "t.bgidl");
        std::vector<std::string> lines;
        for (const auto& diagnostic : output.diagnostics) lines.push_back(diagnostic.toString());
        EXPECT_EQ(lines, c.expected);
        EXPECT_EQ(output.files.empty(), !c.expected.empty());
    }
}

}  // namespace
