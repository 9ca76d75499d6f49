#include "methods.h"

#include <builtin_definition.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

namespace bgctl {

namespace {

using ::bgs::idl::TypeKind;

// A decimal integer that fits T: an optional sign and digits, nothing else.
template <typename T>
bool parseInteger(const std::string& text, const char* typeName, T* value, std::string* error) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+' && end - begin > 1 && std::isdigit(static_cast<unsigned char>(begin[1]))) {
        ++begin;
    }
    const auto [stop, problem] = std::from_chars(begin, end, *value);
    if (problem == std::errc::result_out_of_range && stop == end) {
        *error = "'" + text + "' is out of range for " + typeName + " (" +
                 std::to_string(std::numeric_limits<T>::min()) + " to " +
                 std::to_string(std::numeric_limits<T>::max()) + ")";
        return false;
    }
    if (problem != std::errc() || stop != end) {
        *error = "'" + text + "' is not an " + typeName + " (a decimal integer)";
        return false;
    }
    return true;
}

// What bgctl says of IBGService's methods; the definition has no doc
// comments on them (they would change the generated headers).
std::string builtinSummary(const std::string& name) {
    static const std::map<std::string, std::string> summaries = {
            {"setCapabilities", "what the client supports, e.g. hdr,night,burst"},
            {"setEventCallback", "null unregisters the event callback; returns 0 (bgctl listen registers one)"},
            {"setTimestamps", "the capture time of request VALUE"},
            {"setRequstCompleted", "request VALUE is done: events go to the event callback"},
            {"setGalleryEventCallback",
             "null unregisters the gallery callback; returns 0 (bgctl listen --gallery registers one)"},
            {"getGalleryAvailability", "snapshots saved in gallery VALUE"},
            {"getStorageLoadCompletedStatus", "1 once storage VALUE is ready, else 0"},
            {"setRequstCompletedImageName", "saves a completed request's image to the gallery"},
    };
    const auto found = summaries.find(name);
    return found == summaries.end() ? std::string() : found->second;
}

// A doc comment's first line, without its leading blanks.
std::string firstLine(const std::string& doc) {
    const size_t start = doc.find_first_not_of(" \t\n");
    if (start == std::string::npos) return "";
    return doc.substr(start, doc.find('\n', start) - start);
}

Method query(const char* name, TypeKind result, transaction_code_t code, const char* summary) {
    Method method;
    method.name = name;
    method.resultType = result == TypeKind::Int32 ? "int32" : "string";
    method.summary = summary;
    method.code = code;
    method.signature.name = name;
    method.signature.result.kind = result;
    method.signature.code = code;
    return method;
}

}  // namespace

bool parseInt32(const std::string& text, int32_t* value, std::string* error) {
    return parseInteger(text, "int32", value, error);
}

bool parseInt64(const std::string& text, int64_t* value, std::string* error) {
    return parseInteger(text, "int64", value, error);
}

std::string upperName(const std::string& name) {
    std::string text;
    for (char c : name) {
        if (std::isupper(static_cast<unsigned char>(c)) && !text.empty()) {
            text += '_';
        }
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string typeName(const ::bgs::idl::Type& type) {
    switch (type.kind) {
        case TypeKind::Void: return "";
        case TypeKind::Int32: return "int32";
        case TypeKind::Int64: return "int64";
        case TypeKind::Bool: return "bool";
        case TypeKind::String: return type.nullable ? "string?" : "string";
        case TypeKind::List: return "list<" + type.name + ">";
        case TypeKind::Record: return type.name;
        case TypeKind::Interface: return "callback";
    }
    return "";
}

std::string Method::synopsis() const {
    std::string text = name;
    for (const Param& param : params) {
        const std::string typed = upperName(param.name) + ":" + param.type;
        text += param.out ? " (out " + typed + ")" : " " + typed;
    }
    return text;
}

size_t Method::argumentCount() const {
    size_t count = 0;
    for (const Param& param : params) count += param.out ? 0 : 1;
    return count;
}

std::vector<Method> methodsOf(const InterfaceRef& ref, bool withQueries,
                              std::string (*summaryOf)(const std::string& name)) {
    std::vector<Method> table;
    for (const ::bgs::idl::Method& source : ref.interface->methods) {
        Method method;
        method.name = source.name;
        for (const ::bgs::idl::Parameter& parameter : source.parameters) {
            method.params.push_back(
                    {parameter.name, typeName(parameter.type), parameter.direction == ::bgs::idl::Direction::Out});
        }
        method.resultType = typeName(source.result);
        method.summary = summaryOf != nullptr ? summaryOf(source.name) : "";
        if (method.summary.empty()) method.summary = firstLine(source.doc);
        method.code = source.code;
        method.oneway = source.oneway;
        method.definition = ref.definition;
        method.signature = source;
        table.push_back(std::move(method));
    }
    if (withQueries) {
        for (Method method : {query("getInterfaceVersion", TypeKind::Int32, ::bgs::idl::kInterfaceVersionCode,
                                    "the service's interface version"),
                              query("getInterfaceHash", TypeKind::String, ::bgs::idl::kInterfaceHashCode,
                                    "the service's interface hash")}) {
            method.definition = ref.definition;
            table.push_back(std::move(method));
        }
    }
    return table;
}

const ::bgs::idl::Definition& builtinDefinition() {
    static const ::bgs::idl::Definition definition = [] {
        ::bgs::idl::LoadResult loaded = ::bgs::idl::loadDefinition(kBuiltinDefinitionText, "aidlbgservice.bgidl");
        if (!loaded.ok()) {
            // The build embeds the file the binding library is generated
            // from, which the build has checked: this is a bug of bgctl.
            std::fprintf(stderr, "bgctl: the built-in definition does not load: %s\n",
                         loaded.diagnostics.front().toString().c_str());
            std::abort();
        }
        return std::move(*loaded.definition);
    }();
    return definition;
}

InterfaceRef builtinInterface(const std::string& name) {
    const ::bgs::idl::Definition& definition = builtinDefinition();
    const ::bgs::idl::Interface* interface = definition.findInterface(name);
    if (interface == nullptr) {
        std::fprintf(stderr, "bgctl: the built-in definition has no %s\n", name.c_str());
        std::abort();
    }
    return {&definition, interface, definition.packageName() + "." + name};
}

const std::vector<Method>& methods() {
    static const std::vector<Method> table = methodsOf(builtinInterface("IBGService"), true, builtinSummary);
    return table;
}

const Method* findMethod(const std::string& name, const std::vector<Method>& table) {
    for (const Method& entry : table) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace bgctl
