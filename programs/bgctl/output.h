/*
 * How bgctl shows values: as readable text for people and as JSON for
 * scripts. Every value it prints (a method's result, an event's argument)
 * is made once as a Shown, which carries both forms, so the two outputs
 * cannot drift apart.
 */
#ifndef BGCTL_OUTPUT_H
#define BGCTL_OUTPUT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bgctl {

// A string in double quotes as the records' toString() writes one: '"' and
// '\' escaped with '\', control bytes as \xNN, so one value is one line.
std::string quoted(const std::string& text);

// `text` as it is, but with control bytes as \xNN, so that a service's
// message cannot move the cursor or split a line.
std::string printable(const std::string& text);

// A JSON string literal. Control characters, '"' and '\' are escaped; bytes
// that are not valid UTF-8 become U+FFFD, so the output is always valid
// JSON whatever bytes the service sent.
std::string jsonString(const std::string& text);

// One value in both forms.
struct Shown {
    std::string text;  // for people: 42, "req1.jpg", CallbackData{...}
    std::string json;  // a JSON value: 42, "req1.jpg", "CallbackData{...}"
};

Shown show(int32_t value);
Shown show(int64_t value);
Shown show(const std::string& value);

// A record: its toString(), a JSON string in the JSON form.
template <typename Record>
auto show(const Record& record) -> decltype(record.toString(), Shown()) {
    const std::string text = record.toString();
    return {text, jsonString(text)};
}

// A JSON object written field by field, in order; keys are plain ASCII
// names chosen by bgctl.
class JsonObject {
  public:
    JsonObject& add(const char* key, const std::string& value);
    JsonObject& add(const char* key, const char* value) { return add(key, std::string(value)); }
    JsonObject& add(const char* key, int64_t value);
    JsonObject& add(const char* key, int32_t value) { return add(key, int64_t{value}); }
    JsonObject& add(const char* key, bool value);
    // `json` is already a JSON value (an object, a number, ...).
    JsonObject& addJson(const char* key, const std::string& json);
    std::string str() const { return "{" + mBody + "}"; }

  private:
    std::string mBody;
};

// Writes one line to stdout and flushes at once: a reader at the other end
// of a pipe sees every line as soon as it is printed. Safe to call from
// several threads; lines never interleave.
void printLine(const std::string& line);

// "bgctl: <message>" on stderr.
void printError(const std::string& message);

}  // namespace bgctl

#endif  // BGCTL_OUTPUT_H
