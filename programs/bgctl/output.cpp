#include "output.h"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace bgctl {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF
// included).
size_t utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t value = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        value = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        value = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0u) != 0x80u) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3fu);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xd800 && value <= 0xdfff;
    return overlong || surrogate || value > 0x10ffff ? 0 : length;
}

std::mutex gOutputMutex;

}  // namespace

namespace {

void appendEscaped(const std::string& text, bool escapeQuotes, std::string* out) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (escapeQuotes && (c == '"' || c == '\\')) {
            *out += '\\';
            *out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            *out += "\\x";
            *out += kHex[byte >> 4];
            *out += kHex[byte & 0xf];
        } else {
            *out += c;
        }
    }
}

}  // namespace

std::string quoted(const std::string& text) {
    std::string out = "\"";
    appendEscaped(text, true, &out);
    return out + "\"";
}

std::string printable(const std::string& text) {
    std::string out;
    appendEscaped(text, false, &out);
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xf];
                } else {
                    out += static_cast<char>(byte);
                }
        }
        ++i;
    }
    return out + "\"";
}

Shown show(int32_t value) { return show(int64_t{value}); }

Shown show(int64_t value) {
    const std::string text = std::to_string(value);
    return {text, text};
}

Shown show(const std::string& value) { return {quoted(value), jsonString(value)}; }

JsonObject& JsonObject::add(const char* key, const std::string& value) {
    return addJson(key, jsonString(value));
}

JsonObject& JsonObject::add(const char* key, int64_t value) {
    return addJson(key, std::to_string(value));
}

JsonObject& JsonObject::add(const char* key, bool value) {
    return addJson(key, value ? "true" : "false");
}

JsonObject& JsonObject::addJson(const char* key, const std::string& json) {
    if (!mBody.empty()) {
        mBody += ',';
    }
    mBody += jsonString(key) + ':' + json;
    return *this;
}

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(gOutputMutex);
    std::cout << line << '\n' << std::flush;
}

void printError(const std::string& message) {
    std::lock_guard<std::mutex> lock(gOutputMutex);
    std::cerr << "bgctl: " << message << '\n' << std::flush;
}

}  // namespace bgctl
