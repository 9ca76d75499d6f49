/*
 * A call of any method of a loaded definition through the runtime's public
 * API alone: the arguments are parsed from the command line by their
 * declared types and written with the bytes the generated code writes for
 * those types; the reply's status header, out values and result are read
 * back under the same rules, with every count and size coming from the
 * service checked by the runtime's bounded readers.
 */
#ifndef BGCTL_DYNAMIC_CALL_H
#define BGCTL_DYNAMIC_CALL_H

#include "methods.h"
#include "output.h"

#include <android/binder_auto_utils.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bgctl {

// One argument, parsed for its declared type.
struct Value {
    int64_t integer = 0;                // i32, i64
    bool boolean = false;               // bool
    std::optional<std::string> text;    // string (always set), string? (absent for null)
    std::vector<Value> elements;        // a record's fields in declaration order; a list's records
};

// Parses one text per in-parameter of `method`, in declaration order (the
// count, Method::argumentCount(), is the caller's to check): integers by range, bool as true/false, strings as given (`null`
// for an absent string?), a record or a list of records as JSON whose
// absent fields take the record's defaults, and only `null` for an
// interface reference. On failure says why in *error, naming the parameter
// and, inside JSON, the field path ("DATA: images[0].value1: ...").
bool parseArguments(const Method& method, const std::vector<std::string>& texts, std::vector<Value>* values,
                    std::string* error);

// What a call came back with: the status, then, only when it is OK and the
// whole reply was read, the out values (declared name and value, in
// declaration order) and the result when the method has one.
struct Outcome {
    ::ndk::UniqueAStatus status;
    std::vector<std::pair<std::string, Shown>> outs;
    std::optional<Shown> result;
};

// Calls `method` on `binder`, which must already be associated with a class
// of the method's interface descriptor, under the calling thread's call
// deadline; `values` holds the in-arguments from parseArguments. The
// request carries only the in-arguments. A failure to prepare, write,
// transact or read gives a status made from the runtime's code
// (STATUS_TIMED_OUT when the deadline passed) and no out values or result.
// A one-way method is sent with FLAG_ONEWAY and no reply is read: its
// status is that of handing the request over.
Outcome callMethod(AIBinder* binder, const Method& method, const std::vector<Value>& values);

}  // namespace bgctl

#endif  // BGCTL_DYNAMIC_CALL_H
