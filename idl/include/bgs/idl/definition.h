/*
 * The definition language's syntax tree and its loader.
 *
 * A definition file (*.bgidl) declares one package: its name, its version
 * and, once that version is frozen, its hash; then records and interfaces.
 * loadDefinition parses and checks a file's text and returns either a
 * checked Definition or the list of everything wrong with it. A Definition
 * that the loader returned is always consistent: every type it names
 * exists, names are unique where they must be, every method has its
 * transaction code, and the wire rules (nullability, one-way methods) hold.
 * Programs other than the compiler (bgctl) use it to read definitions at
 * run time; it never throws on bad input, never reads past the text it is
 * given, and is bounded in time and memory by the limits below.
 *
 * Nothing here depends on the runtime or on the generated code.
 */
#ifndef BGS_IDL_DEFINITION_H
#define BGS_IDL_DEFINITION_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bgs::idl {

// Where something is in a definition file; line and column count from 1,
// columns in bytes.
struct Location {
    uint32_t line = 0;
    uint32_t column = 0;
};

// One problem in a definition: "FILE:LINE:COLUMN: error: MESSAGE".
struct Diagnostic {
    std::string file;
    Location where;
    std::string message;

    std::string toString() const;
};

// The fixed codes of the version and hash queries every interface answers;
// a method may use neither.
inline constexpr uint32_t kFirstCallCode = 1;
inline constexpr uint32_t kInterfaceHashCode = 16777214;
inline constexpr uint32_t kInterfaceVersionCode = 16777215;
inline constexpr uint32_t kLastMethodCode = 16777213;

// The hash the compiler gives a version that is not frozen yet.
inline constexpr std::string_view kNotFrozenHash = "notfrozen";

// Bounds on what the loader accepts; a definition past one is refused with a
// diagnostic, never truncated.
struct Limits {
    static constexpr size_t kMaxFileBytes = 1 << 20;
    static constexpr size_t kMaxNameBytes = 128;
    static constexpr size_t kMaxStringBytes = 4096;
    static constexpr size_t kMaxDeclarations = 256;
    static constexpr size_t kMaxMembers = 1024;  // fields of a record, methods of an interface
    static constexpr size_t kMaxParameters = 64;
    static constexpr size_t kMaxPackageComponents = 32;
    static constexpr size_t kMaxDiagnostics = 50;
};

/*
 * A type as written in a definition.
 *   i32, i64     32- and 64-bit signed integers
 *   bool         a boolean (one 32-bit word on the wire)
 *   string       a UTF-8 string; `string?` may be null (absent)
 *   list<R>      a list of records R (never null)
 *   R            a record value (never null)
 *   I            an interface reference (an empty reference goes as a null
 *                binder, so it is nullable by nature and takes no `?`)
 *   void         a method's result only: the method returns none
 */
enum class TypeKind { Void, Int32, Int64, Bool, String, List, Record, Interface };

struct Type {
    TypeKind kind = TypeKind::Void;
    bool nullable = false;  // only String
    std::string name;       // Record or Interface: its name; List: the element record's name
    Location where;

    bool operator==(const Type& other) const {
        return kind == other.kind && nullable == other.nullable && name == other.name;
    }
};

// A field's default. Absent means the type's own default: 0, false, the
// empty string, an absent `string?`, the empty list.
struct Literal {
    enum class Kind { Integer, Bool, String, Null };
    Kind kind = Kind::Integer;
    int64_t integer = 0;
    bool boolean = false;
    std::string text;
    Location where;
};

struct Field {
    std::string name;
    Type type;
    std::optional<Literal> defaultValue;
    std::string doc;  // the doc comment's text, lines joined with '\n'; may be empty
    Location where;
};

struct Record {
    std::string name;
    std::vector<Field> fields;  // declaration order = wire order
    std::string doc;
    Location where;
};

enum class Direction { In, Out };

struct Parameter {
    Direction direction = Direction::In;
    Type type;
    std::string name;
    Location where;
};

struct Method {
    std::string name;
    Type result;  // TypeKind::Void for none
    std::vector<Parameter> parameters;
    uint32_t code = 0;          // always set after loading
    bool explicitCode = false;  // written as `= N`
    bool oneway = false;
    std::string doc;
    Location where;
};

struct Interface {
    std::string name;
    std::vector<Method> methods;  // declaration order
    std::string doc;
    Location where;
};

struct Definition {
    std::string file;                 // as given to the loader
    std::vector<std::string> package;  // components, e.g. {"vendor", "tolvek", ...}
    int32_t version = 0;
    std::optional<std::string> frozenHash;  // 40 lowercase hex digits
    std::string doc;
    std::vector<Record> records;        // declaration order
    std::vector<Interface> interfaces;  // declaration order
    Location where;

    std::string packageName() const;  // "vendor.tolvek.hardware.aidlbgservice"
    // The frozen hash, or kNotFrozenHash for a version not frozen yet.
    std::string hash() const;
    const Record* findRecord(std::string_view name) const;
    const Interface* findInterface(std::string_view name) const;
};

struct LoadResult {
    std::optional<Definition> definition;  // set exactly when diagnostics is empty
    std::vector<Diagnostic> diagnostics;   // in the order found, at most Limits::kMaxDiagnostics + 1

    bool ok() const { return definition.has_value(); }
};

/*
 * Parses and checks `text`, naming it `file` in diagnostics. Any byte
 * sequence is accepted as input; never throws (bar std::bad_alloc).
 */
LoadResult loadDefinition(std::string_view text, std::string_view file);

// Reads the file at `path` (at most Limits::kMaxFileBytes) and loads it;
// diagnostics name the file as `path` is written.
LoadResult loadDefinitionFile(const std::string& path);

}  // namespace bgs::idl

#endif  // BGS_IDL_DEFINITION_H
