// The C++ generator. Each emitter writes one file as plain text; the shape
// of every file is the shape the hand-written library had, with the
// package's names, types and methods filled in.
#include <bgs/idl/cpp_generator.h>

#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace bgs::idl {
namespace {

constexpr size_t kLineWidth = 100;

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// "BGService" -> "bgService", "EventCallback" -> "eventCallback": the leading
// capitals lowered, except the last of several when a lowercase letter follows.
std::string lowerCamel(std::string_view name) {
    std::string out(name);
    size_t run = 0;
    while (run < out.size() && std::isupper(static_cast<unsigned char>(out[run]))) ++run;
    const size_t lower = (run > 1 && run < out.size()) ? run - 1 : run;
    for (size_t i = 0; i < lower; ++i) {
        out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
    }
    return out;
}

// A C++ string literal for `text`: quotes, backslashes and control bytes
// escaped (octal escapes: they stop after three digits).
std::string cppString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            out += '\\';
            out += static_cast<char>('0' + ((byte >> 6) & 7));
            out += static_cast<char>('0' + ((byte >> 3) & 7));
            out += static_cast<char>('0' + (byte & 7));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Text as a comment block at `indent`: "/*\n * line\n */" for several
// lines, "// line" for one; nothing for none.
std::string comment(std::string_view text, const std::string& indent) {
    if (text.empty()) return "";
    std::vector<std::string_view> lines;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    std::string out;
    auto safe = [](std::string_view line) {
        std::string s(line);
        for (size_t at = s.find("*/"); at != std::string::npos; at = s.find("*/", at)) s.replace(at, 2, "* /");
        return s;
    };
    if (lines.size() == 1) return indent + "// " + safe(lines[0]) + "\n";
    out += indent + "/*\n";
    for (std::string_view line : lines) {
        out += line.empty() ? indent + " *\n" : indent + " * " + safe(line) + "\n";
    }
    return out + indent + " */\n";
}

// `head` + items joined by ", " + `tail`, at `indent`; when that passes the
// line width, the items continue on lines indented 8 more, packed.
std::string wrapList(const std::string& indent, const std::string& head,
                     const std::vector<std::string>& items, const std::string& tail) {
    std::string joined;
    for (size_t i = 0; i < items.size(); ++i) joined += (i ? ", " : "") + items[i];
    std::string one = indent + head + joined + tail;
    if (one.size() <= kLineWidth || items.empty()) return one + "\n";
    // Items go on the head's line while they fit, then on continuation lines.
    const std::string more = indent + "        ";
    std::string out;
    std::string current = indent + head;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string piece = items[i] + (i + 1 < items.size() ? "," : tail);
        const std::string candidate = current + (i == 0 ? "" : " ") + piece;
        if (candidate.size() <= kLineWidth) {
            current = candidate;
        } else {
            out += current + "\n";
            current = more + piece;
        }
    }
    return out + current + "\n";
}

class Generator {
  public:
    Generator(const Definition& def, std::string_view sourceName)
        : def_(def), sourceName_(sourceName) {
        for (const std::string& component : def.package) {
            ns_ += (ns_.empty() ? "" : "::") + component;
            includeDir_ += "/" + component;
            guardPrefix_ += "_" + upper(component);
        }
        ns_ = "aidl::" + ns_;
        includeDir_ = "aidl" + includeDir_;
        guardPrefix_ = "AIDL" + guardPrefix_;
        exportMacro_ = guardPrefix_.substr(5) + "_EXPORT";
        collectListElements();
    }

    CppOutput run() {
        CppOutput out;
        checkSupported(out.diagnostics);
        if (!out.diagnostics.empty()) return out;
        add(out, "include/" + includeDir_ + "/export.h", exportHeader());
        for (const Record& record : def_.records) {
            add(out, "include/" + includeDir_ + "/" + record.name + ".h", recordHeader(record));
            add(out, record.name + ".cpp", recordSource(record));
        }
        for (const Interface& interface : def_.interfaces) {
            add(out, "include/" + includeDir_ + "/" + interface.name + ".h", interfaceHeader(interface));
            add(out, "include/" + includeDir_ + "/Bp" + base(interface) + ".h", proxyHeader(interface));
            add(out, "include/" + includeDir_ + "/Bn" + base(interface) + ".h", stubHeader(interface));
            add(out, interface.name + ".cpp", interfaceSource(interface));
        }
        add(out, "registration.h", registrationHeader());
        add(out, def_.package.back() + ".map", exportMap());
        add(out, "sources.cmake", sourcesList());
        return out;
    }

  private:
    static void add(CppOutput& out, std::string path, std::string content) {
        out.files.push_back({std::move(path), std::move(content)});
    }

    // The runtime names codes by a table indexed by code, so the highest
    // code of an interface sizes that table (a null entry for each unused
    // code); the generator keeps it small.
    void checkSupported(std::vector<Diagnostic>& diagnostics) const {
        for (const Interface& interface : def_.interfaces) {
            for (const Method& method : interface.methods) {
                if (method.code > kMaxGeneratedCode) {
                    diagnostics.push_back({def_.file, method.where,
                                           "the C++ generator serves transaction codes up to " +
                                                   std::to_string(kMaxGeneratedCode) + "; '" + method.name +
                                                   "' has code " + std::to_string(method.code)});
                }
            }
        }
    }

    // Whether the interface's methods are two-way with codes 1..N in
    // declaration order: then its dispatch lists the methods alone.
    static bool inCodeOrder(const Interface& interface) {
        for (size_t i = 0; i < interface.methods.size(); ++i) {
            if (interface.methods[i].oneway || interface.methods[i].code != i + 1) return false;
        }
        return true;
    }

    void collectListElements() {
        auto note = [&](const Type& type) {
            if (type.kind == TypeKind::List) listElements_.insert(type.name);
        };
        for (const Record& record : def_.records) {
            for (const Field& field : record.fields) note(field.type);
        }
        for (const Interface& interface : def_.interfaces) {
            for (const Method& method : interface.methods) {
                note(method.result);
                for (const Parameter& parameter : method.parameters) note(parameter.type);
            }
        }
    }

    static std::string base(const Interface& interface) { return interface.name.substr(1); }

    std::string banner() const {
        return "// Generated by bgidlc from " + sourceName_ + "; do not edit.\n";
    }

    std::string guard(const std::string& name) const { return guardPrefix_ + "_" + upper(name) + "_H"; }

    std::string headerStart(const std::string& name, const std::string& doc) const {
        const std::string g = guard(name);
        return banner() + comment(doc, "") + "#ifndef " + g + "\n#define " + g + "\n\n" +
               "#if !defined(__cplusplus) || __cplusplus < 201703L\n#error \"<" + includeDir_ + "/" +
               name + ".h> needs C++17 or later: compile with -std=c++17 or a newer standard\"\n#endif\n\n";
    }

    std::string headerEnd(const std::string& name) const { return "#endif  // " + guard(name) + "\n"; }

    std::string include(const std::string& name) const {
        return "#include <" + includeDir_ + "/" + name + ".h>\n";
    }

    std::string qualifiedName(const std::string& name) const { return ns_ + "::" + name; }

    static std::string valueType(const Type& type) {
        switch (type.kind) {
            case TypeKind::Int32: return "int32_t";
            case TypeKind::Int64: return "int64_t";
            case TypeKind::Bool: return "bool";
            case TypeKind::String: return type.nullable ? "std::optional<std::string>" : "std::string";
            case TypeKind::List: return "std::vector<" + type.name + ">";
            case TypeKind::Record: return type.name;
            case TypeKind::Interface: return "std::shared_ptr<" + type.name + ">";
            case TypeKind::Void: break;
        }
        return "void";
    }

    static bool passedByValue(const Type& type) {
        return type.kind == TypeKind::Int32 || type.kind == TypeKind::Int64 || type.kind == TypeKind::Bool;
    }

    static std::string inType(const Type& type) {
        return passedByValue(type) ? valueType(type) : "const " + valueType(type) + "&";
    }

    // A method's C++ parameters, names included or not: the parameters in
    // declaration order, an out parameter as a pointer to its value, then a
    // pointer to the result.
    static std::vector<std::string> cppParameters(const Method& method, bool named) {
        std::vector<std::string> out;
        for (const Parameter& parameter : method.parameters) {
            const std::string type =
                    parameter.direction == Direction::Out ? valueType(parameter.type) + "*" : inType(parameter.type);
            out.push_back(type + (named ? " " + parameter.name : ""));
        }
        if (method.result.kind != TypeKind::Void) {
            out.push_back(valueType(method.result) + "*" + (named ? " _aidl_return" : ""));
        }
        return out;
    }

    // The std headers a set of types needs beyond <cstdint> and <string>.
    static std::string stdIncludes(const std::vector<const Type*>& types, bool memory) {
        bool optional = false, vector = false;
        for (const Type* type : types) {
            optional = optional || (type->kind == TypeKind::String && type->nullable);
            vector = vector || type->kind == TypeKind::List;
            memory = memory || type->kind == TypeKind::Interface;
        }
        return std::string("#include <cstdint>\n") + (memory ? "#include <memory>\n" : "") +
               (optional ? "#include <optional>\n" : "") + "#include <string>\n" +
               (vector ? "#include <vector>\n" : "");
    }

    // ---------------------------------------------------------------------
    // export.h

    std::string exportHeader() const {
        return headerStart("export",
                           "Visibility of the binding library's programming interface. The library is\n"
                           "built with hidden visibility; only what is marked here is exported.") +
               "#define " + exportMacro_ + " __attribute__((visibility(\"default\")))\n\n" + headerEnd("export");
    }

    // ---------------------------------------------------------------------
    // Records

    static std::string fieldDefault(const Field& field) {
        const Type& type = field.type;
        if (!field.defaultValue) {
            switch (type.kind) {
                case TypeKind::Int32:
                case TypeKind::Int64: return " = 0";
                case TypeKind::Bool: return " = false";
                default: return "";
            }
        }
        const Literal& value = *field.defaultValue;
        switch (value.kind) {
            case Literal::Kind::Integer:
                if (type.kind == TypeKind::Int64 && value.integer == INT64_MIN) {
                    return " = -9223372036854775807 - 1";
                }
                if (type.kind == TypeKind::Int32 && value.integer == INT32_MIN) return " = -2147483647 - 1";
                return " = " + std::to_string(value.integer);
            case Literal::Kind::Bool: return value.boolean ? " = true" : " = false";
            case Literal::Kind::String: return " = " + cppString(value.text);
            case Literal::Kind::Null: return "";
        }
        return "";
    }

    std::string recordHeader(const Record& record) const {
        const std::string& name = record.name;
        std::string out = headerStart(name, record.doc);
        out += "#include <android/binder_parcel_helpers.h>\n\n";
        std::set<std::string> elements;
        std::vector<const Type*> types;
        for (const Field& field : record.fields) {
            types.push_back(&field.type);
            if (field.type.kind == TypeKind::List) elements.insert(field.type.name);
        }
        for (const std::string& element : elements) out += include(element);
        out += include("export") + "\n" + stdIncludes(types, false) + "\nnamespace " + ns_ + " {\n\n";
        out += "class " + exportMacro_ + " " + name + " {\n  public:\n";
        for (const Field& field : record.fields) {
            out += comment(field.doc, "    ");
            out += "    " + valueType(field.type) + " " + field.name + fieldDefault(field) + ";\n";
        }
        if (!record.fields.empty()) out += "\n";
        out += "    // Reads a body at the parcel's position into this object. Returns the\n"
               "    // first failing read's status, or STATUS_BAD_VALUE for a size word below\n"
               "    // 4 or one that overflows the position; fields read before a failure keep\n"
               "    // their new values and the position is not restored.";
        if (!elements.empty()) {
            out += " A list read cuts\n"
                   "    // the list to the count on the wire when that is shorter, reads each\n"
                   "    // element in place and appends elements as they decode, so a count that\n"
                   "    // the data does not back never sizes the list.";
        }
        out += "\n    binder_status_t readFromParcel(const AParcel* parcel);\n\n"
               "    // Appends a body at the parcel's position. On failure the parcel holds a\n"
               "    // partial body whose size word is 0.\n"
               "    binder_status_t writeToParcel(AParcel* parcel) const;\n\n";
        out += "    // \"" + def_.packageName() + "." + name + "\"; not part of the encoding.\n"
               "    static const char* descriptor;\n\n";
        out += "    bool operator==(const " + name + "& other) const;\n";
        out += "    bool operator!=(const " + name + "& other) const { return !(*this == other); }\n\n";
        out += "    // \"" + name + "{field: value, ...}\"\n    std::string toString() const;\n};\n\n";
        out += "}  // namespace " + ns_ + "\n\n";
        if (listElements_.count(name) != 0) {
            const std::string q = qualifiedName(name);
            out += "namespace ndk {\n// The list-element reader and writer for " + name +
                   ", exported by the library.\n"
                   "extern template " + exportMacro_ + " binder_status_t\n"
                   "AParcel_readStdVectorParcelableElement<" + q + ">(\n"
                   "        const AParcel* parcel, void* vectorData, size_t index);\n"
                   "extern template " + exportMacro_ + " binder_status_t\n"
                   "AParcel_writeStdVectorParcelableElement<" + q + ">(\n"
                   "        AParcel* parcel, const void* vectorData, size_t index);\n"
                   "}  // namespace ndk\n\n";
        }
        return out + headerEnd(name);
    }

    std::string recordSource(const Record& record) const {
        std::vector<std::string> members, names;
        for (const Field& field : record.fields) {
            members.push_back("r." + field.name);
            names.push_back("\"" + field.name + "\"");
        }
        std::string out = banner() + include(record.name) + "\n#include \"record_framing.h\"\n\n";
        out += "namespace " + ns_ + " {\nnamespace {\n\n";
        out += "template <typename R>\nauto recordFields(R&" + std::string(members.empty() ? "" : " r") + ") {\n";
        out += wrapList("    ", "return std::tie(", members, ");");
        out += "}\n";
        out += wrapList("", "constexpr std::array<const char*, " + std::to_string(names.size()) +
                                    "> kRecordFieldNames = {",
                        names, "};");
        out += "\n}  // namespace\n\n";
        out += "BGS_DEFINE_RECORD(" + record.name + ", \"" + def_.packageName() + "." + record.name + "\")\n\n";
        out += "}  // namespace " + ns_ + "\n";
        if (listElements_.count(record.name) != 0) {
            const std::string q = qualifiedName(record.name);
            out += "\ntemplate " + exportMacro_ + " binder_status_t\n"
                   "ndk::AParcel_readStdVectorParcelableElement<" + q + ">(\n"
                   "        const AParcel* parcel, void* vectorData, size_t index);\n"
                   "template " + exportMacro_ + " binder_status_t\n"
                   "ndk::AParcel_writeStdVectorParcelableElement<" + q + ">(\n"
                   "        AParcel* parcel, const void* vectorData, size_t index);\n";
        }
        return out;
    }

    // ---------------------------------------------------------------------
    // Interfaces

    // The records and interfaces an interface's methods name (itself excluded).
    void referencedTypes(const Interface& interface, std::set<std::string>& records,
                         std::set<std::string>& interfaces, std::vector<const Type*>& types) const {
        auto note = [&](const Type& type) {
            types.push_back(&type);
            if (type.kind == TypeKind::Record || type.kind == TypeKind::List) records.insert(type.name);
            if (type.kind == TypeKind::Interface && type.name != interface.name) interfaces.insert(type.name);
        };
        for (const Method& method : interface.methods) {
            note(method.result);
            for (const Parameter& parameter : method.parameters) note(parameter.type);
        }
    }

    std::string methodDeclarations(const Interface& interface, const std::string& prefix,
                                   const std::string& suffix, bool docs) const {
        std::string out;
        for (const Method& method : interface.methods) {
            if (docs) out += comment(method.doc, "    ");
            if (docs && method.oneway) {
                out += "    // One-way: a proxy returns once the call is sent; what this returns\n"
                       "    // reaches no caller.\n";
            }
            out += wrapList("    ", prefix + "::ndk::UniqueAStatus " + method.name + "(",
                            cppParameters(method, true), ")" + suffix + ";");
        }
        return out;
    }

    static std::string queryDeclarations(const std::string& prefix, const std::string& suffix) {
        return "    " + prefix + "::ndk::UniqueAStatus getInterfaceVersion(int32_t* _aidl_return)" + suffix +
               ";\n    " + prefix + "::ndk::UniqueAStatus getInterfaceHash(std::string* _aidl_return)" +
               suffix + ";\n";
    }

    std::string interfaceHeader(const Interface& interface) const {
        const std::string& name = interface.name;
        std::set<std::string> records, interfaces;
        std::vector<const Type*> types;
        referencedTypes(interface, records, interfaces, types);
        std::string out = headerStart(name, interface.doc);
        out += "#include <android/binder_interface_utils.h>\n\n";
        std::set<std::string> headers = records;
        headers.insert(interfaces.begin(), interfaces.end());
        for (const std::string& header : headers) out += include(header);
        out += include("export") + "\n" + stdIncludes(types, true) + "\nnamespace " + ns_ + " {\n\n";
        // Interfaces may name each other: the declarations let a header
        // included from another that is still open compile all the same.
        for (const std::string& other : interfaces) out += "class " + other + ";\n";
        if (!interfaces.empty()) out += "\n";
        out += "class " + exportMacro_ + " " + name + " : public ::ndk::ICInterface {\n  public:\n";
        out += "    // \"" + def_.packageName() + "." + name + "\"\n";
        out += "    static const char* descriptor;\n";
        out += "    static inline const int32_t version = " + std::to_string(def_.version) + ";\n";
        out += "    static inline const std::string hash = " + cppString(def_.hash()) + ";\n\n";
        for (const Method& method : interface.methods) {
            const std::string line = "    static constexpr uint32_t TRANSACTION_" + method.name + " =";
            const std::string value = "FIRST_CALL_TRANSACTION + " + std::to_string(method.code - 1) + ";";
            out += line.size() + 1 + value.size() <= kLineWidth ? line + " " + value + "\n"
                                                                : line + "\n            " + value + "\n";
        }
        out += "    static constexpr uint32_t TRANSACTION_getInterfaceHash = 16777214;\n"
               "    static constexpr uint32_t TRANSACTION_getInterfaceVersion = 16777215;\n\n";
        out += "    " + name + "();\n    virtual ~" + name + "();\n\n";
        const std::string bp = "Bp" + base(interface);
        out += "    /*\n"
               "     * The object behind a binder: the local object itself for a binder of\n"
               "     * this process's " + name + " class, a new " + bp + " for a binder\n"
               "     * that serves this descriptor, empty otherwise (null binder included).\n"
               "     */\n"
               "    static std::shared_ptr<" + name + "> fromBinder(const ::ndk::SpAIBinder& binder);\n\n"
               "    // Writes the reference as one strong binder (null for an empty one, or\n"
               "    // for an object without a binder); returns the runtime's write status.\n";
        out += wrapList("    ", "static binder_status_t writeToParcel(",
                        {"AParcel* parcel", "const std::shared_ptr<" + name + ">& instance"}, ");");
        out += "\n    // Reads one strong binder and converts it with fromBinder. On a failed\n"
               "    // read returns its status and leaves *instance as it was.\n";
        out += wrapList("    ", "static binder_status_t readFromParcel(",
                        {"const AParcel* parcel", "std::shared_ptr<" + name + ">* instance"}, ");");
        out += "\n    /*\n"
               "     * Installs the object that proxies fall back to when the other side does\n"
               "     * not have a method. Refuses (false) an empty reference. Safe to call\n"
               "     * while other threads make calls that fall back: the proxies read the\n"
               "     * installed reference with std::atomic_load and keep the object alive\n"
               "     * for the length of the call, and this stores it with std::atomic_store.\n"
               "     */\n"
               "    static bool setDefaultImpl(const std::shared_ptr<" + name + ">& impl);\n\n"
               "    /*\n"
               "     * The installed object (empty when none is). The reference names the\n"
               "     * slot itself, not a copy: copying it, or calling through it, while\n"
               "     * another thread may call setDefaultImpl is a data race, and the object\n"
               "     * may be released under the caller. Such a caller takes its own copy\n"
               "     * with std::atomic_load(&getDefaultImpl()), as the proxies do.\n"
               "     */\n"
               "    static const std::shared_ptr<" + name + ">& getDefaultImpl();\n\n";
        out += methodDeclarations(interface, "virtual ", " = 0", true);
        out += queryDeclarations("virtual ", " = 0");
        out += "\n  private:\n    static std::shared_ptr<" + name + "> default_impl;\n};\n\n";
        out += "/*\n"
               " * Fallback with fixed answers: every method reports\n"
               " * STATUS_UNKNOWN_TRANSACTION and leaves its result untouched; the version is\n"
               " * 0 and the hash empty, both with an OK status; it has no binder.\n"
               " */\n";
        out += "class " + exportMacro_ + " " + name + "Default : public " + name + " {\n  public:\n";
        out += methodDeclarations(interface, "", " override", false);
        out += queryDeclarations("", " override");
        out += "    ::ndk::SpAIBinder asBinder() override;\n    bool isRemote() override;\n};\n\n";
        out += "}  // namespace " + ns_ + "\n\n";
        return out + headerEnd(name);
    }

    std::string proxyHeader(const Interface& interface) const {
        const std::string& name = interface.name;
        const std::string bp = "Bp" + base(interface);
        std::string out = headerStart(
                bp, bp + ": the calling side of " + name + ", a proxy that sends every call\n"
                    "as one transaction over the binder it holds, whether the object behind\n"
                    "that binder is in another process or in this one (isRemote() tells\n"
                    "which). " + name + "::fromBinder gives this process's own object instead\n"
                    "of a proxy when it can; a " + bp + " made over a local binder still\n"
                    "transacts. Any number of threads may call one proxy at once.");
        out += include(name) + "\n#include <atomic>\n#include <mutex>\n\nnamespace " + ns_ + " {\n\n";
        out += "class " + exportMacro_ + " " + bp + " : public ::ndk::BpCInterface<" + name + "> {\n";
        out += "  public:\n    explicit " + bp + "(const ::ndk::SpAIBinder& binder);\n    virtual ~" + bp +
               "();\n\n";
        out += methodDeclarations(interface, "", " override", false);
        out += "    // Answered from the caches once a query to the serving object has succeeded.\n";
        out += queryDeclarations("", " override");
        out += "\n    // The serving object's version, -1 until known.\n"
               "    std::atomic<int32_t> cachedVersion = -1;\n"
               "    // The serving object's hash, \"-1\" until known; guarded by cachedHashMutex.\n"
               "    std::string cachedHash = \"-1\";\n"
               "    std::mutex cachedHashMutex;\n};\n\n";
        out += "}  // namespace " + ns_ + "\n\n";
        return out + headerEnd(bp);
    }

    std::string stubHeader(const Interface& interface) const {
        const std::string& name = interface.name;
        const std::string bn = "Bn" + base(interface);
        std::string out = headerStart(
                bn, bn + ": the base of every local " + name + " implementation.\n"
                    "Derive from it, implement the methods, and create the object with\n"
                    "ndk::SharedRefBase::makeRef. Its binder is made on the first\n"
                    "asBinder() and keeps the object alive while anyone holds it.");
        out += include(name) + "\nnamespace " + ns_ + " {\n\n";
        out += "class " + exportMacro_ + " " + bn + " : public ::ndk::BnCInterface<" + name + "> {\n";
        out += "  public:\n    " + bn + "();\n    virtual ~" + bn + "();\n\n";
        out += "    // Version " + std::to_string(def_.version) + " and " + name +
               "::hash; implementations cannot replace them.\n";
        out += queryDeclarations("", " final");
        out += "\n  protected:\n    ::ndk::SpAIBinder createBinder() override;\n};\n\n";
        out += "}  // namespace " + ns_ + "\n\n";
        return out + headerEnd(bn);
    }

    std::string transactFunction(const Interface& interface) const {
        std::string name = "_aidl";
        for (const std::string& component : def_.package) name += "_" + component;
        return name + "_" + interface.name + "_onTransact";
    }

    std::string classVariable(const Interface& interface) const {
        return lowerCamel(base(interface)) + "Class";
    }

    std::string interfaceSource(const Interface& interface) const {
        const std::string& name = interface.name;
        const std::string bp = "Bp" + base(interface);
        const std::string bn = "Bn" + base(interface);
        const std::string transact = transactFunction(interface);
        const std::string clazz = classVariable(interface);
        const std::string b = "::bgs::binding::";
        std::string out = banner() + include(bn) + include(bp) + include(name);
        out += "\n#include <array>\n\n#include \"registration.h\"\n#include \"transaction.h\"\n\n";
        out += "namespace " + ns_ + " {\n\n";
        out += "// ---------------------------------------------------------------------------\n"
               "// Transaction function and registration. Static initialisation of this\n"
               "// source runs in this order: the class definition, then the registration of\n"
               "// default_impl's release at unload (its destructor). Sources initialise in\n"
               "// the order of sources.cmake.\n\n";
        const bool inOrder = inCodeOrder(interface);
        std::vector<std::string> names, methods;
        for (const Method& method : interface.methods) {
            if (names.size() < method.code) names.resize(method.code, "nullptr");
            names[method.code - 1] = "\"" + method.name + "\"";
            if (inOrder) {
                methods.push_back("&" + name + "::" + method.name);
            } else {
                methods.push_back(b + (method.oneway ? "OnewayCall<" : "Call<") + name + "::TRANSACTION_" +
                                  method.name + ", &" + name + "::" + method.name + ">");
            }
        }
        out += "namespace {\n// Entry i names code FIRST_CALL_TRANSACTION + i; the queries have no entry";
        out += inOrder ? ".\n" : ",\n// nor has a code without a method.\n";
        out += wrapList("", "std::array<const char*, " + std::to_string(names.size()) + "> kMethodNames = {",
                        names, "};");
        out += "}  // namespace\n\n";
        out += wrapList("", "binder_status_t " + transact + "(",
                        {"AIBinder* binder", "transaction_code_t code", "const AParcel* in", "AParcel* out"},
                        ") {");
        out += inOrder ? "    // Methods in code order, from code 1.\n" : "    // Each method with its code.\n";
        std::vector<std::string> dispatch = {name, bn};
        dispatch.insert(dispatch.end(), methods.begin(), methods.end());
        out += wrapList("    ", "return " + b + (inOrder ? "dispatchTransaction<" : "dispatchByCode<"), dispatch,
                        ">(binder, code, in, out);");
        out += "}\n\n";
        out += "const char* " + name + "::descriptor = \"" + def_.packageName() + "." + name + "\";\n\n";
        out += wrapList("", "AIBinder_Class* " + clazz + " = ::ndk::ICInterface::defineBinderClass(",
                        {name + "::descriptor", transact, "kMethodNames.data()", "kMethodNames.size()"}, ");");
        out += "\nstd::shared_ptr<" + name + "> " + name + "::default_impl = nullptr;\n\n";

        out += section(name);
        out += name + "::" + name + "() {}\n" + name + "::~" + name + "() {}\n\n";
        out += "std::shared_ptr<" + name + "> " + name + "::fromBinder(const ::ndk::SpAIBinder& binder) {\n";
        out += wrapList("    ", "return ::ndk::internal::interfaceFromBinder<" + name + ", " + bp + ">(",
                        {"binder", clazz, "descriptor"}, ");");
        out += "}\n\n";
        out += wrapList("", "binder_status_t " + name + "::writeToParcel(",
                        {"AParcel* parcel", "const std::shared_ptr<" + name + ">& instance"}, ") {");
        out += "    return ::ndk::internal::writeInterfaceToParcel(parcel, instance);\n}\n\n";
        out += wrapList("", "binder_status_t " + name + "::readFromParcel(",
                        {"const AParcel* parcel", "std::shared_ptr<" + name + ">* instance"}, ") {");
        out += "    return ::ndk::internal::readInterfaceFromParcel(parcel, instance);\n}\n\n";
        out += "bool " + name + "::setDefaultImpl(const std::shared_ptr<" + name + ">& impl) {\n";
        out += "    return " + b + "installDefaultImpl(&default_impl, impl);\n}\n\n";
        out += "const std::shared_ptr<" + name + ">& " + name + "::getDefaultImpl() { return default_impl; }\n\n";

        const std::string deflt = name + "Default";
        out += section(deflt);
        for (const Method& method : interface.methods) {
            out += wrapList("", "::ndk::UniqueAStatus " + deflt + "::" + method.name + "(",
                            cppParameters(method, false), ") {");
            out += "    return " + b + "unknownTransactionStatus();\n}\n";
        }
        out += "::ndk::UniqueAStatus " + deflt + "::getInterfaceVersion(int32_t* _aidl_return) {\n";
        out += "    return " + b + "defaultInterfaceVersion(_aidl_return);\n}\n";
        out += "::ndk::UniqueAStatus " + deflt + "::getInterfaceHash(std::string* _aidl_return) {\n";
        out += "    return " + b + "defaultInterfaceHash(_aidl_return);\n}\n";
        out += "::ndk::SpAIBinder " + deflt + "::asBinder() { return ::ndk::SpAIBinder(); }\n";
        out += "bool " + deflt + "::isRemote() { return false; }\n\n";

        out += section(bp + ": each method is the proxy call sequence with its code.");
        out += bp + "::" + bp + "(const ::ndk::SpAIBinder& binder) : BpCInterface(binder) {}\n";
        out += bp + "::~" + bp + "() {}\n\n";
        for (const Method& method : interface.methods) {
            out += wrapList("", "::ndk::UniqueAStatus " + bp + "::" + method.name + "(",
                            cppParameters(method, true), ") {");
            std::vector<std::string> args = {"remoteBinder()", "TRANSACTION_" + method.name};
            if (!method.oneway) args.push_back("nullptr");
            for (const Parameter& parameter : method.parameters) args.push_back(parameter.name);
            if (method.result.kind != TypeKind::Void) args.push_back("_aidl_return");
            const std::string call = method.oneway ? "proxyOnewayCall<&" : "proxyCall<&";
            out += wrapList("    ", "return " + b + call + name + "::" + method.name + ">(", args, ");");
            out += "}\n";
        }
        out += "::ndk::UniqueAStatus " + bp + "::getInterfaceVersion(int32_t* _aidl_return) {\n";
        out += wrapList("    ", "return " + b + "proxyGetInterfaceVersion<&" + name + "::getInterfaceVersion>(",
                        {"*this", "_aidl_return"}, ");");
        out += "}\n";
        out += "::ndk::UniqueAStatus " + bp + "::getInterfaceHash(std::string* _aidl_return) {\n";
        out += wrapList("    ", "return " + b + "proxyGetInterfaceHash<&" + name + "::getInterfaceHash>(",
                        {"*this", "_aidl_return"}, ");");
        out += "}\n\n";

        out += section(bn);
        out += bn + "::" + bn + "() {}\n" + bn + "::~" + bn + "() {}\n\n";
        out += "::ndk::UniqueAStatus " + bn + "::getInterfaceVersion(int32_t* _aidl_return) {\n";
        out += "    return " + b + "stubInterfaceVersion<" + name + ">(_aidl_return);\n}\n";
        out += "::ndk::UniqueAStatus " + bn + "::getInterfaceHash(std::string* _aidl_return) {\n";
        out += "    return " + b + "stubInterfaceHash<" + name + ">(_aidl_return);\n}\n";
        out += "::ndk::SpAIBinder " + bn + "::createBinder() {\n";
        out += wrapList("    ", "return " + b + "createStubBinder(",
                        {clazz, "static_cast<::ndk::ICInterface*>(this)"}, ");");
        out += "}\n\n}  // namespace " + ns_ + "\n";
        return out;
    }

    static std::string section(const std::string& title) {
        return "// ---------------------------------------------------------------------------\n// " +
               title + "\n\n";
    }

    // ---------------------------------------------------------------------
    // Library-private and build files

    std::string registrationHeader() const {
        const std::string g = guardPrefix_ + "_REGISTRATION_H";
        std::string out = banner();
        out += comment("The binder classes and transaction functions the library registers at\n"
                       "load. Not exported: reachable only by the library itself and by white-box\n"
                       "tests that link its sources directly.",
                       "");
        out += "#ifndef " + g + "\n#define " + g + "\n\n#include <android/binder_ibinder.h>\n\n";
        out += "namespace " + ns_ + " {\n\n";
        out += "// The interfaces' classes: each set once at load (null when the runtime\n"
               "// refused the definition), never changed or freed.\n";
        for (const Interface& interface : def_.interfaces) {
            out += "extern AIBinder_Class* " + classVariable(interface) + ";\n";
        }
        out += "\n// The interfaces' transaction functions, handed to the runtime with the classes.\n";
        for (const Interface& interface : def_.interfaces) {
            out += wrapList("", "binder_status_t " + transactFunction(interface) + "(",
                            {"AIBinder* binder", "transaction_code_t code", "const AParcel* in",
                             "AParcel* out"},
                            ");");
        }
        out += "\n}  // namespace " + ns_ + "\n\n#endif  // " + g + "\n";
        return out;
    }

    std::string exportMap() const {
        std::string out = "/* Generated by bgidlc from " + sourceName_ + "; do not edit.\n"
                          "   The binding library's exported interface: its classes (with their type\n"
                          "   information and virtual tables), their static members, and the\n"
                          "   list-element readers and writers of records that lists hold. Hidden\n"
                          "   visibility already keeps the internals private; this also keeps out\n"
                          "   standard-library template instances that would otherwise be exported\n"
                          "   alongside. */\n{\n  global:\n    extern \"C++\" {\n";
        const std::string q = ns_ + "::";
        for (const Interface& interface : def_.interfaces) {
            for (const std::string& cls : {interface.name, interface.name + "Default",
                                           "Bp" + base(interface), "Bn" + base(interface)}) {
                out += "      " + q + cls + "::*;\n";
                out += "      typeinfo?for?" + q + cls + ";\n";
                out += "      typeinfo?name?for?" + q + cls + ";\n";
                out += "      vtable?for?" + q + cls + ";\n";
            }
        }
        for (const Record& record : def_.records) out += "      " + q + record.name + "::*;\n";
        for (const Interface& interface : def_.interfaces) {
            out += "      guard?variable?for?" + q + interface.name + "::hash*;\n";
        }
        for (const Record& record : def_.records) {
            if (listElements_.count(record.name) == 0) continue;
            out += "      \"int ndk::AParcel_readStdVectorParcelableElement<" + q + record.name +
                   ">(AParcel const*, void*, unsigned long)\";\n";
            out += "      \"int ndk::AParcel_writeStdVectorParcelableElement<" + q + record.name +
                   ">(AParcel*, void const*, unsigned long)\";\n";
        }
        return out + "    };\n  local:\n    *;\n};\n";
    }

    std::string sourcesList() const {
        std::string out = "# Generated by bgidlc from " + sourceName_ + "; do not edit.\n"
                          "# The generated sources in load order: records, then interfaces, as declared.\n"
                          "set(BGIDL_GENERATED_SOURCES\n";
        for (const Record& record : def_.records) out += "  " + record.name + ".cpp\n";
        for (const Interface& interface : def_.interfaces) out += "  " + interface.name + ".cpp\n";
        return out + ")\n";
    }

    const Definition& def_;
    std::string sourceName_;
    std::string ns_;
    std::string includeDir_;
    std::string guardPrefix_;
    std::string exportMacro_;
    std::set<std::string> listElements_;
};

}  // namespace

CppOutput generateCpp(const Definition& definition, std::string_view sourceName) {
    return Generator(definition, sourceName).run();
}

}  // namespace bgs::idl
