/*
 * The methods bgctl can call, as tables made from definitions: the
 * package's own IBGService from the definition embedded at build time (the
 * same file the binding library is generated from), and any interface of
 * the files given with --defs. A table drives argument parsing, the help
 * text, describe and the call itself.
 */
#ifndef BGCTL_METHODS_H
#define BGCTL_METHODS_H

#include "output.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>
#include <bgs/idl/definition.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bgctl {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;

struct Param {
    std::string name;
    std::string type;  // "int32", "int64", "bool", "string", "string?", "callback", a record, "list<R>"
    bool out = false;  // filled in by the service and sent back in the reply; not given on the command line
};

struct Method {
    std::string name;
    std::vector<Param> params;
    std::string resultType;  // empty when the method returns only a status
    std::string summary;
    transaction_code_t code = 0;
    bool oneway = false;
    // The definition the method comes from (its records), and its signature
    // there; the two interface queries have a signature made here.
    const ::bgs::idl::Definition* definition = nullptr;
    ::bgs::idl::Method signature;

    // "setTimestamps VALUE:int32 TIMESTAMP:int64"; an out parameter is
    // shown in parentheses where it is declared, as it is not typed:
    // "split TEXT:string (out HEAD:string?) KEEP:int64".
    std::string synopsis() const;
    // The arguments the command line gives: the parameters that are not out.
    size_t argumentCount() const;
};

// One interface of a loaded definition, and its descriptor.
struct InterfaceRef {
    const ::bgs::idl::Definition* definition = nullptr;
    const ::bgs::idl::Interface* interface = nullptr;
    std::string descriptor;  // "<package>.<name>"
};

// A decimal integer (optional sign, digits) in the type's range; on failure
// says why in *error.
bool parseInt32(const std::string& text, int32_t* value, std::string* error);
bool parseInt64(const std::string& text, int64_t* value, std::string* error);

// "imageName" -> "IMAGE_NAME", as parameters are shown in help and errors.
std::string upperName(const std::string& name);

// A type as bgctl names it; an interface reference is a "callback".
std::string typeName(const ::bgs::idl::Type& type);

// The methods of `ref` in declaration order; with `withQueries`, then the
// version and hash queries every interface answers. A method's summary is
// `summaryOf(name)` when that is not empty, else its doc comment's first
// line.
std::vector<Method> methodsOf(const InterfaceRef& ref, bool withQueries,
                              std::string (*summaryOf)(const std::string& name) = nullptr);

// The package's own definition, embedded at build time; loaded once.
const ::bgs::idl::Definition& builtinDefinition();
// Its interface `name` (IBGService, IEventCallback).
InterfaceRef builtinInterface(const std::string& name);

// IBGService's methods and the two interface queries, in interface order.
const std::vector<Method>& methods();

// The entry of `table` named `name` exactly, or null.
const Method* findMethod(const std::string& name, const std::vector<Method>& table = methods());

}  // namespace bgctl

#endif  // BGCTL_METHODS_H
