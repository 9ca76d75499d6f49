/*
 * The IBGService methods bgctl can call, as one table. Each entry is made
 * from the method's pointer to member, so its parameter types, its result
 * type and the call itself come from the interface header; the table drives
 * argument parsing, the help text and the call.
 */
#ifndef BGCTL_METHODS_H
#define BGCTL_METHODS_H

#include "output.h"

#include <aidl/vendor/tolvek/hardware/aidlbgservice/IBGService.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bgctl {

using ::aidl::vendor::tolvek::hardware::aidlbgservice::IBGService;

struct Param {
    std::string name;
    std::string type;  // "int32", "int64", "string", "callback"
};

// What a call came back with: the status, and the result when the method
// has one and the status is OK.
struct Outcome {
    ::ndk::UniqueAStatus status;
    std::optional<Shown> result;
};

// A call with its arguments parsed, ready to be made on a service.
using BoundCall = std::function<Outcome(IBGService& service)>;

struct Method {
    std::string name;
    std::vector<Param> params;
    std::string resultType;  // empty when the method returns only a status
    std::string summary;
    // Parses one text per parameter (the count is the caller's to check).
    // On a value that does not parse, returns an empty function and says why
    // in *error, naming the parameter.
    std::function<BoundCall(const std::vector<std::string>& args, std::string* error)> bind;

    // "setTimestamps VALUE:int32 TIMESTAMP:int64"
    std::string synopsis() const;
};

// A decimal int32 (optional sign, digits); on failure says why in *error.
bool parseInt32(const std::string& text, int32_t* value, std::string* error);

// The eight methods and the two interface queries, in interface order.
const std::vector<Method>& methods();

// The entry named `name` exactly, or null.
const Method* findMethod(const std::string& name);

}  // namespace bgctl

#endif  // BGCTL_METHODS_H
