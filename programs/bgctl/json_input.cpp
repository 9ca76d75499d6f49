#include "json_input.h"

#include <cstring>

namespace bgctl {

namespace {

constexpr int kMaxDepth = 32;

class Parser {
  public:
    explicit Parser(const std::string& text) : mText(text) {}

    bool parse(JsonValue* value, std::string* error) {
        if (!parseValue(value, 0) || (skipSpace(), mAt != mText.size() && fail("unexpected text after the value"))) {
            *error = mError + " at offset " + std::to_string(mAt);
            return false;
        }
        return true;
    }

  private:
    bool fail(const std::string& message) {
        if (mError.empty()) mError = message;
        return false;
    }
    void skipSpace() {
        while (mAt < mText.size() && std::strchr(" \t\r\n", mText[mAt]) != nullptr && mText[mAt] != '\0') ++mAt;
    }
    bool eat(char c) {
        skipSpace();
        if (mAt < mText.size() && mText[mAt] == c) {
            ++mAt;
            return true;
        }
        return false;
    }
    bool literal(const char* word) {
        const size_t length = std::strlen(word);
        if (mText.compare(mAt, length, word) != 0) return false;
        mAt += length;
        return true;
    }

    bool parseValue(JsonValue* value, int depth) {
        skipSpace();
        if (mAt >= mText.size()) return fail("a value is missing");
        const char c = mText[mAt];
        if (c == '{' || c == '[') {
            if (depth >= kMaxDepth) return fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return c == '{' ? parseObject(value, depth + 1) : parseArray(value, depth + 1);
        }
        if (c == '"') {
            value->kind = JsonValue::Kind::String;
            return parseString(&value->text);
        }
        if (literal("true") || literal("false")) {
            value->kind = JsonValue::Kind::Bool;
            value->boolean = c == 't';
            return true;
        }
        if (literal("null")) {
            value->kind = JsonValue::Kind::Null;
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) return parseNumber(value);
        return fail(std::string("unexpected '") + c + "'");
    }

    bool parseNumber(JsonValue* value) {
        const size_t start = mAt;
        const auto digits = [&] {
            const size_t from = mAt;
            while (mAt < mText.size() && mText[mAt] >= '0' && mText[mAt] <= '9') ++mAt;
            return mAt > from;
        };
        if (mText[mAt] == '-') ++mAt;
        if (!digits()) return fail("a number needs digits");
        if (mAt < mText.size() && mText[mAt] == '.') {
            ++mAt;
            if (!digits()) return fail("a fraction needs digits");
        }
        if (mAt < mText.size() && (mText[mAt] == 'e' || mText[mAt] == 'E')) {
            ++mAt;
            if (mAt < mText.size() && (mText[mAt] == '+' || mText[mAt] == '-')) ++mAt;
            if (!digits()) return fail("an exponent needs digits");
        }
        value->kind = JsonValue::Kind::Number;
        value->text = mText.substr(start, mAt - start);
        return true;
    }

    bool parseHex4(unsigned* code) {
        if (mAt + 4 > mText.size()) return fail("a \\u escape needs 4 hex digits");
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = mText[mAt++];
            const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
            if (digit < 0) return fail("a \\u escape needs 4 hex digits");
            *code = *code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    static void appendUtf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xc0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xe0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        } else {
            out->push_back(static_cast<char>(0xf0 | (code >> 18)));
            out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        }
    }

    bool parseString(std::string* out) {
        ++mAt;  // the opening quote
        while (mAt < mText.size()) {
            const auto c = static_cast<unsigned char>(mText[mAt++]);
            if (c == '"') return true;
            if (c < 0x20) return fail("a control character in a string");
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (mAt >= mText.size()) break;
            const char escape = mText[mAt++];
            static const char kFrom[] = "\"\\/bfnrt";
            static const char kTo[] = "\"\\/\b\f\n\r\t";
            if (const char* simple = std::strchr(kFrom, escape); simple != nullptr && escape != '\0') {
                out->push_back(kTo[simple - kFrom]);
                continue;
            }
            if (escape != 'u') return fail(std::string("unknown escape '\\") + escape + "'");
            unsigned code = 0;
            if (!parseHex4(&code)) return false;
            if (code >= 0xd800 && code <= 0xdbff) {
                unsigned low = 0;
                if (!literal("\\u") || !parseHex4(&low) || low < 0xdc00 || low > 0xdfff) {
                    return fail("a lone surrogate in a \\u escape");
                }
                code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
            } else if (code >= 0xdc00 && code <= 0xdfff) {
                return fail("a lone surrogate in a \\u escape");
            }
            appendUtf8(code, out);
        }
        return fail("a string is not closed");
    }

    bool parseArray(JsonValue* value, int depth) {
        ++mAt;
        value->kind = JsonValue::Kind::Array;
        if (eat(']')) return true;
        do {
            value->items.emplace_back();
            if (!parseValue(&value->items.back(), depth)) return false;
        } while (eat(','));
        return eat(']') || fail("expected ',' or ']'");
    }

    bool parseObject(JsonValue* value, int depth) {
        ++mAt;
        value->kind = JsonValue::Kind::Object;
        if (eat('}')) return true;
        do {
            skipSpace();
            if (mAt >= mText.size() || mText[mAt] != '"') return fail("expected a member name in quotes");
            std::string key;
            if (!parseString(&key)) return false;
            if (!eat(':')) return fail("expected ':' after a member name");
            value->members.emplace_back(std::move(key), JsonValue());
            if (!parseValue(&value->members.back().second, depth)) return false;
        } while (eat(','));
        return eat('}') || fail("expected ',' or '}'");
    }

    const std::string& mText;
    size_t mAt = 0;
    std::string mError;
};

}  // namespace

const char* JsonValue::kindName() const {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return "a boolean";
        case Kind::Number: return "a number";
        case Kind::String: return "a string";
        case Kind::Array: return "an array";
        case Kind::Object: return "an object";
    }
    return "a value";
}

bool parseJson(const std::string& text, JsonValue* value, std::string* error) {
    *value = JsonValue();
    return Parser(text).parse(value, error);
}

}  // namespace bgctl
