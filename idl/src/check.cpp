// The checker: everything about a parsed definition that the grammar alone
// does not say. It resolves names to records or interfaces, applies the
// wire rules, assigns implicit transaction codes and refuses names the
// generated C++ could not carry.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "front_end.h"

namespace bgs::idl::detail {
namespace {

const std::set<std::string_view>& languageWords() {
    static const std::set<std::string_view> kWords = {
            "bool",  "false",   "frozen", "i32",    "i64",    "in",     "interface", "list",
            "null",  "oneway",  "out",    "package", "record", "string", "true",      "version",
            "void"};
    return kWords;
}

const std::set<std::string_view>& cppKeywords() {
    static const std::set<std::string_view> kWords = {
            "alignas",      "alignof",     "and",        "and_eq",    "asm",          "auto",
            "bitand",       "bitor",       "break",      "case",      "catch",        "char",
            "char16_t",     "char32_t",    "char8_t",    "class",     "compl",        "concept",
            "const",        "const_cast",  "consteval",  "constexpr", "constinit",    "continue",
            "co_await",     "co_return",   "co_yield",   "decltype",  "default",      "delete",
            "do",           "double",      "dynamic_cast", "else",    "enum",         "explicit",
            "export",       "extern",      "float",      "for",       "friend",       "goto",
            "if",           "inline",      "int",        "long",      "mutable",      "namespace",
            "new",          "noexcept",    "not",        "not_eq",    "nullptr",      "operator",
            "or",           "or_eq",       "private",    "protected", "public",       "register",
            "reinterpret_cast", "requires", "return",    "short",     "signed",       "sizeof",
            "static",       "static_assert", "static_cast", "struct", "switch",       "template",
            "this",         "thread_local", "throw",     "try",       "typedef",      "typeid",
            "typename",     "union",       "unsigned",   "using",     "virtual",      "volatile",
            "wchar_t",      "while",       "xor",        "xor_eq",    "std",          "ndk",
            "aidl",         "internal"};
    return kWords;
}

// Members every generated interface class (or its bases) already has.
const std::set<std::string_view>& reservedMethodNames() {
    static const std::set<std::string_view> kNames = {
            "asBinder",       "cachedHash",      "cachedHashMutex", "cachedVersion",
            "createBinder",   "default_impl",    "defineBinderClass", "descriptor",
            "dump",           "fromBinder",      "getDefaultImpl",  "getInterfaceHash",
            "getInterfaceVersion", "handleShellCommand", "hash",    "isRemote",
            "localInterface", "readFromParcel",  "remoteBinder",    "setDefaultImpl",
            "version",        "writeToParcel"};
    return kNames;
}

// Members every generated record class already has.
const std::set<std::string_view>& reservedFieldNames() {
    static const std::set<std::string_view> kNames = {"descriptor", "readFromParcel",
                                                       "writeToParcel", "toString"};
    return kNames;
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

std::string typeText(const Type& type) {
    switch (type.kind) {
        case TypeKind::Void: return "void";
        case TypeKind::Int32: return "i32";
        case TypeKind::Int64: return "i64";
        case TypeKind::Bool: return "bool";
        case TypeKind::String: return "string";
        case TypeKind::List: return "list<" + type.name + ">";
        case TypeKind::Record:
        case TypeKind::Interface: return type.name;
    }
    return "?";
}

class Checker {
  public:
    Checker(Definition& definition, Reporter& report) : def_(definition), report_(report) {}

    void run() {
        for (const std::string& component : def_.package) checkName(component, def_.where, "package name");
        declareTypes();
        for (Record& record : def_.records) checkRecord(record);
        for (Interface& interface : def_.interfaces) checkInterface(interface);
        checkRecursion();
    }

  private:
    // Names become C++ identifiers as written: no keyword of either
    // language, nothing the implementation reserves.
    bool checkName(const std::string& name, Location where, const char* what) {
        if (languageWords().count(name) != 0) {
            report_.error(where, quoted(name) + " is a keyword and cannot be a " + what);
            return false;
        }
        if (cppKeywords().count(name) != 0) {
            report_.error(where, quoted(name) + " is reserved in C++ and cannot be a " + what);
            return false;
        }
        if (name[0] == '_' || name.find("__") != std::string::npos) {
            report_.error(where, quoted(name) + ": names may not begin with '_' or contain '__'");
            return false;
        }
        return true;
    }

    void declareTypes() {
        for (const Record& record : def_.records) declare(record.name, record.where, "record");
        for (const Interface& interface : def_.interfaces) {
            if (!declare(interface.name, interface.where, "interface")) continue;
            const std::string& name = interface.name;
            if (name.size() < 2 || name[0] != 'I' || !std::isupper(static_cast<unsigned char>(name[1]))) {
                report_.error(interface.where, "interface name " + quoted(name) +
                                                       " must begin with 'I' and a capital letter");
                continue;
            }
            // The classes generated beside the interface take these names.
            const std::string base = name.substr(1);
            for (const std::string& generated : {"Bp" + base, "Bn" + base, name + "Default"}) {
                generatedNames_.emplace(generated, name);
            }
        }
        for (const auto& [generated, owner] : generatedNames_) {
            auto it = declared_.find(generated);
            if (it != declared_.end()) {
                report_.error(it->second, quoted(generated) + " clashes with a class generated for interface " +
                                                  quoted(owner));
            }
        }
    }

    bool declare(const std::string& name, Location where, const char* what) {
        if (!checkName(name, where, what)) return false;
        auto [it, inserted] = declared_.emplace(name, where);
        if (!inserted) {
            report_.error(where, quoted(name) + " is already declared at line " +
                                         std::to_string(it->second.line));
            return false;
        }
        return true;
    }

    // Resolves a named type to a record or an interface and checks the
    // nullability mark. Returns false after reporting.
    bool resolve(Type& type) {
        if (type.kind == TypeKind::Record) {
            if (def_.findInterface(type.name) != nullptr) {
                type.kind = TypeKind::Interface;
            } else if (def_.findRecord(type.name) == nullptr) {
                report_.error(type.where, "unknown type " + quoted(type.name));
                return false;
            }
        } else if (type.kind == TypeKind::List && def_.findRecord(type.name) == nullptr) {
            report_.error(type.where, def_.findInterface(type.name) != nullptr ||
                                                      languageWords().count(type.name) != 0
                                              ? "lists hold records only, not " + quoted(type.name)
                                              : "unknown type " + quoted(type.name));
            return false;
        }
        if (type.nullable && type.kind != TypeKind::String) {
            report_.error(type.where,
                          type.kind == TypeKind::Interface
                                  ? "interface references are nullable already (an empty one goes as a null binder); drop the '?'"
                                  : typeText(type) + " has no null form on the wire; only string may be marked '?'");
            return false;
        }
        return true;
    }

    void checkRecord(Record& record) {
        std::map<std::string, Location> names;
        for (Field& field : record.fields) {
            if (checkName(field.name, field.where, "field name")) {
                if (reservedFieldNames().count(field.name) != 0) {
                    report_.error(field.where, quoted(field.name) + " is a member every record has");
                } else if (!names.emplace(field.name, field.where).second) {
                    report_.error(field.where, "field " + quoted(field.name) + " is already declared in " +
                                                       quoted(record.name));
                }
            }
            if (!resolve(field.type)) continue;
            switch (field.type.kind) {
                case TypeKind::Void:
                    report_.error(field.type.where, "a field cannot be void");
                    continue;
                case TypeKind::Interface:
                    report_.error(field.type.where, "a record cannot hold an interface reference");
                    continue;
                case TypeKind::Record:
                    report_.error(field.type.where, "a record cannot hold a record value; use list<" +
                                                            field.type.name + ">");
                    continue;
                default:
                    break;
            }
            if (field.defaultValue) checkDefault(field);
        }
    }

    void checkDefault(const Field& field) {
        const Literal& value = *field.defaultValue;
        const Type& type = field.type;
        bool fits = false;
        switch (type.kind) {
            case TypeKind::Int32:
                fits = value.kind == Literal::Kind::Integer && value.integer >= INT32_MIN &&
                       value.integer <= INT32_MAX;
                if (value.kind == Literal::Kind::Integer && !fits) {
                    report_.error(value.where, "default out of range for i32");
                    return;
                }
                break;
            case TypeKind::Int64: fits = value.kind == Literal::Kind::Integer; break;
            case TypeKind::Bool: fits = value.kind == Literal::Kind::Bool; break;
            case TypeKind::String:
                fits = value.kind == Literal::Kind::String ||
                       (value.kind == Literal::Kind::Null && type.nullable);
                break;
            case TypeKind::List:
                report_.error(value.where, "a list has no default other than the empty list");
                return;
            default: break;
        }
        if (!fits) report_.error(value.where, "default does not match type " + typeText(type) +
                                                      (type.nullable ? "?" : ""));
    }

    void checkInterface(Interface& interface) {
        std::map<std::string, const Method*> names;
        std::map<uint32_t, const Method*> codes;
        uint32_t nextCode = kFirstCallCode;
        for (Method& method : interface.methods) {
            if (checkName(method.name, method.where, "method name")) {
                if (reservedMethodNames().count(method.name) != 0 ||
                    method.name.rfind("TRANSACTION_", 0) == 0) {
                    report_.error(method.where, quoted(method.name) + " is a member every interface has");
                } else if (!names.emplace(method.name, &method).second) {
                    report_.error(method.where, "method " + quoted(method.name) +
                                                        " is already declared in " + quoted(interface.name));
                }
            }
            checkSignature(method);
            if (!method.explicitCode) {
                if (nextCode > kLastMethodCode) {
                    report_.error(method.where, "implicit transaction code " + std::to_string(nextCode) +
                                                        " is out of range; give the method a code");
                    continue;
                }
                method.code = nextCode;
            }
            if (method.code == 0) continue;  // reported by the parser
            nextCode = method.code + 1;
            auto [it, inserted] = codes.emplace(method.code, &method);
            if (!inserted) {
                report_.error(method.where, "transaction code " + std::to_string(method.code) +
                                                    " is already used by " + quoted(it->second->name));
            }
        }
    }

    void checkSignature(Method& method) {
        if (resolve(method.result) && method.oneway && method.result.kind != TypeKind::Void) {
            report_.error(method.result.where, "a oneway method cannot return a result");
        }
        std::set<std::string> names;
        for (Parameter& parameter : method.parameters) {
            if (checkName(parameter.name, parameter.where, "parameter name") &&
                !names.insert(parameter.name).second) {
                report_.error(parameter.where, "parameter " + quoted(parameter.name) + " is already declared");
            }
            if (!resolve(parameter.type)) continue;
            if (parameter.type.kind == TypeKind::Void) {
                report_.error(parameter.type.where, "a parameter cannot be void");
            } else if (method.oneway && parameter.direction == Direction::Out) {
                report_.error(parameter.where, "a oneway method cannot have out parameters");
            }
        }
    }

    // A record may not contain itself through its lists: its value would
    // have no finite default, and its headers would include each other.
    void checkRecursion() {
        for (const Record& record : def_.records) {
            for (const Field& field : record.fields) {
                if (field.type.kind != TypeKind::List) continue;
                if (reaches(field.type.name, record.name)) {
                    report_.error(field.type.where, "record " + quoted(record.name) +
                                                            " contains itself through field " +
                                                            quoted(field.name));
                    break;
                }
            }
        }
    }

    // Whether record `from` (or a record its lists hold, transitively) is `target`.
    bool reaches(const std::string& from, const std::string& target) const {
        std::set<std::string> seen;
        std::vector<std::string> pending = {from};
        while (!pending.empty()) {
            const std::string name = pending.back();
            pending.pop_back();
            if (name == target) return true;
            if (!seen.insert(name).second) continue;
            const Record* record = def_.findRecord(name);
            if (record == nullptr) continue;
            for (const Field& field : record->fields) {
                if (field.type.kind == TypeKind::List) pending.push_back(field.type.name);
            }
        }
        return false;
    }

    Definition& def_;
    Reporter& report_;
    std::map<std::string, Location> declared_;
    std::map<std::string, std::string> generatedNames_;
};

}  // namespace

void checkDefinition(Definition& definition, Reporter& report) { Checker(definition, report).run(); }

}  // namespace bgs::idl::detail
