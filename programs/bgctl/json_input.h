/*
 * JSON as bgctl reads it from its own command line: a record or a list of
 * records given as one argument. Numbers are kept as their text, so that the
 * parameter's type decides their range; fractions and exponents are refused
 * where they are read, not here.
 */
#ifndef BGCTL_JSON_INPUT_H
#define BGCTL_JSON_INPUT_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bgctl {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;                                     // a String's value, a Number's text
    std::vector<JsonValue> items;                         // Array
    std::vector<std::pair<std::string, JsonValue>> members;  // Object, in written order

    // "an object", "a string", ...: for messages.
    const char* kindName() const;
};

// Parses one whole JSON value (RFC 8259, surrounding white space allowed).
// Nesting deeper than 32 levels is refused. On failure returns false with
// *error saying what and at which byte offset.
bool parseJson(const std::string& text, JsonValue* value, std::string* error);

}  // namespace bgctl

#endif  // BGCTL_JSON_INPUT_H
