// The lexer and the parser of the definition language. Neither recurses:
// the grammar has no nesting beyond one level of braces and parentheses,
// and `list<...>` takes a record name only.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "front_end.h"

namespace bgs::idl::detail {

void Reporter::error(Location where, std::string message) {
    if (full()) return;
    if (diagnostics_.size() == Limits::kMaxDiagnostics) {
        diagnostics_.push_back({file_, where, "too many errors; stopping"});
        return;
    }
    diagnostics_.push_back({file_, where, std::move(message)});
}

namespace {

enum class Tok { End, Ident, Integer, String, Punct };

struct Token {
    Tok kind = Tok::End;
    std::string text;     // Ident: the name; String: the decoded value; Punct: the character
    uint64_t value = 0;   // Integer
    bool tooLarge = false;  // Integer above 2^63 - 1... or a name or string past its limit
    std::string doc;      // the doc comment just before this token, if any
    Location where;
};

// Splits the text into tokens, reporting bad characters, unterminated
// strings and comments; skips comments, keeping the last doc comment
// (/** ... */) for the token after it.
class Lexer {
  public:
    Lexer(std::string_view text, Reporter& report) : text_(text), report_(report) {}

    std::vector<Token> run() {
        std::vector<Token> tokens;
        std::string doc;
        while (!report_.full()) {
            skipSpace();
            if (pos_ >= text_.size()) break;
            const Location start = here();
            if (startsWith("//")) {
                while (pos_ < text_.size() && text_[pos_] != '\n') advance();
                continue;
            }
            if (startsWith("/*")) {
                const bool isDoc = startsWith("/**") && !startsWith("/**/");
                advance();
                advance();
                const size_t bodyStart = pos_;
                while (pos_ < text_.size() && !startsWith("*/")) advance();
                if (pos_ >= text_.size()) {
                    report_.error(start, "unterminated comment");
                    break;
                }
                if (isDoc) doc = docText(text_.substr(bodyStart + 1, pos_ - bodyStart - 1));
                advance();
                advance();
                continue;
            }
            Token token;
            token.where = start;
            token.doc = std::move(doc);
            doc.clear();
            const char c = text_[pos_];
            if (isNameStart(c)) {
                lexName(token);
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                lexInteger(token);
            } else if (c == '"') {
                if (!lexString(token)) continue;
            } else if (std::string_view("{}()<>;,=.?-").find(c) != std::string_view::npos) {
                token.kind = Tok::Punct;
                token.text = std::string(1, c);
                advance();
            } else {
                report_.error(start, describeByte(c));
                advance();
                continue;
            }
            tokens.push_back(std::move(token));
        }
        Token end;
        end.where = here();
        tokens.push_back(std::move(end));
        return tokens;
    }

  private:
    static bool isNameStart(char c) {
        return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
    }
    static bool isNameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    }

    static std::string describeByte(char c) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x21 && byte < 0x7f) return std::string("unexpected character '") + c + "'";
        static const char kHex[] = "0123456789abcdef";
        return std::string("unexpected byte 0x") + kHex[byte >> 4] + kHex[byte & 0xf];
    }

    // A doc comment's text: each line without its leading space and '*',
    // blank lines at either end dropped.
    static std::string docText(std::string_view body) {
        std::vector<std::string> lines;
        size_t begin = 0;
        while (begin <= body.size()) {
            size_t end = body.find('\n', begin);
            if (end == std::string_view::npos) end = body.size();
            std::string_view line = body.substr(begin, end - begin);
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            if (!line.empty() && line.front() == '*') {
                line.remove_prefix(1);
                if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
            }
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
            lines.emplace_back(line);
            begin = end + 1;
        }
        while (!lines.empty() && lines.back().empty()) lines.pop_back();
        size_t first = 0;
        while (first < lines.size() && lines[first].empty()) ++first;
        std::string out;
        for (size_t i = first; i < lines.size(); ++i) {
            if (i > first) out += '\n';
            out += lines[i];
        }
        return out;
    }

    bool startsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

    Location here() const { return {line_, column_}; }

    void advance() {
        if (text_[pos_] == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        ++pos_;
    }

    void skipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            advance();
        }
    }

    void lexName(Token& token) {
        token.kind = Tok::Ident;
        const size_t begin = pos_;
        while (pos_ < text_.size() && isNameChar(text_[pos_])) advance();
        if (pos_ - begin > Limits::kMaxNameBytes) {
            report_.error(token.where, "name longer than " + std::to_string(Limits::kMaxNameBytes) +
                                               " characters");
            token.tooLarge = true;
        }
        token.text = std::string(text_.substr(begin, std::min(pos_ - begin, Limits::kMaxNameBytes)));
    }

    void lexInteger(Token& token) {
        token.kind = Tok::Integer;
        const size_t begin = pos_;
        while (pos_ < text_.size() && isNameChar(text_[pos_])) {
            const char c = text_[pos_];
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                report_.error(here(), "malformed number");
                while (pos_ < text_.size() && isNameChar(text_[pos_])) advance();
                return;
            }
            const uint64_t digit = static_cast<uint64_t>(c - '0');
            if (token.value > (UINT64_C(9223372036854775808) - digit) / 10) {
                token.tooLarge = true;
            } else {
                token.value = token.value * 10 + digit;
            }
            advance();
        }
        if (token.tooLarge) {
            report_.error(token.where, "number too large");
        }
        token.text = std::string(text_.substr(begin, std::min<size_t>(pos_ - begin, 32)));
    }

    // A string literal with the escapes \" \\ \n \t. Returns false (after
    // reporting) for one that does not end on its line.
    bool lexString(Token& token) {
        token.kind = Tok::String;
        advance();  // the opening quote
        while (true) {
            if (pos_ >= text_.size() || text_[pos_] == '\n') {
                report_.error(token.where, "unterminated string");
                return false;
            }
            const char c = text_[pos_];
            if (c == '"') {
                advance();
                break;
            }
            char decoded = c;
            if (c == '\\') {
                const Location escape = here();
                advance();
                const char e = pos_ < text_.size() ? text_[pos_] : '\n';
                if (e == '\n') continue;  // reported as unterminated above
                if (e == 'n') {
                    decoded = '\n';
                } else if (e == 't') {
                    decoded = '\t';
                } else if (e == '"' || e == '\\') {
                    decoded = e;
                } else {
                    report_.error(escape, "unknown escape in string");
                }
            } else if (static_cast<unsigned char>(c) < 0x20) {
                report_.error(here(), "control character in string");
            }
            advance();
            if (token.text.size() < Limits::kMaxStringBytes) {
                token.text += decoded;
            } else if (!token.tooLarge) {
                token.tooLarge = true;
                report_.error(token.where, "string longer than " +
                                                   std::to_string(Limits::kMaxStringBytes) + " bytes");
            }
        }
        return true;
    }

    std::string_view text_;
    Reporter& report_;
    size_t pos_ = 0;
    uint32_t line_ = 1;
    uint32_t column_ = 1;
};

// Builds the Definition from the tokens. Every parse function reports its
// first error and returns false; the caller then resynchronises at the next
// ';' or '}' so that one run reports errors from several declarations.
class Parser {
  public:
    Parser(std::vector<Token> tokens, Definition& out, Reporter& report)
        : tokens_(std::move(tokens)), out_(out), report_(report) {}

    void run() {
        if (!parsePackage() || !parseVersion()) {
            skipToDeclaration();
        }
        while (!at(Tok::End) && !report_.full()) {
            if (isWord("record")) {
                if (!parseRecord()) skipToDeclaration();
            } else if (isWord("interface")) {
                if (!parseInterface()) skipToDeclaration();
            } else if (isWord("package") || isWord("version")) {
                report_.error(peek().where, "'" + peek().text + "' may appear only once, at the top");
                skipToDeclaration();
            } else {
                expected("'record' or 'interface'");
                skipToDeclaration();
            }
            if (out_.records.size() + out_.interfaces.size() > Limits::kMaxDeclarations) {
                report_.error(peek().where, "more than " + std::to_string(Limits::kMaxDeclarations) +
                                                    " declarations");
                return;
            }
        }
    }

  private:
    const Token& peek(size_t ahead = 0) const {
        const size_t i = index_ + ahead;
        return i < tokens_.size() ? tokens_[i] : tokens_.back();
    }
    bool at(Tok kind) const { return peek().kind == kind; }
    bool isWord(std::string_view word, size_t ahead = 0) const {
        return peek(ahead).kind == Tok::Ident && peek(ahead).text == word;
    }
    bool isPunct(char c) const { return at(Tok::Punct) && peek().text[0] == c; }
    const Token& next() {
        const Token& token = peek();
        if (index_ < tokens_.size() - 1) ++index_;
        return token;
    }

    static std::string describe(const Token& token) {
        switch (token.kind) {
            case Tok::End: return "end of file";
            case Tok::Ident: return "'" + token.text + "'";
            case Tok::Integer: return "number " + token.text;
            case Tok::String: return "a string";
            case Tok::Punct: return "'" + token.text + "'";
        }
        return "?";
    }

    bool expected(const std::string& what) {
        report_.error(peek().where, "expected " + what + ", found " + describe(peek()));
        return false;
    }

    bool expectPunct(char c) {
        if (!isPunct(c)) return expected(std::string("'") + c + "'");
        next();
        return true;
    }

    bool expectWord(std::string_view word) {
        if (!isWord(word)) return expected("'" + std::string(word) + "'");
        next();
        return true;
    }

    bool expectName(std::string& name, Location& where, const char* what) {
        if (!at(Tok::Ident)) return expected(what);
        where = peek().where;
        name = next().text;
        return true;
    }

    // After an error at the top level: past the end of the declaration
    // (its closing brace at depth 0, or a ';' outside braces).
    void skipToDeclaration() {
        int depth = 0;
        while (!at(Tok::End)) {
            if (isPunct('{')) {
                ++depth;
            } else if (isPunct('}')) {
                if (--depth <= 0) {
                    next();
                    return;
                }
            } else if (isPunct(';') && depth == 0) {
                next();
                return;
            } else if (depth == 0 && (isWord("record") || isWord("interface"))) {
                return;
            }
            next();
        }
    }

    // After an error inside braces: past the member's ';', or before the
    // closing '}'.
    void skipToMember() {
        while (!at(Tok::End) && !isPunct('}')) {
            if (isPunct(';')) {
                next();
                return;
            }
            next();
        }
    }

    bool parsePackage() {
        if (!isWord("package")) return expected("'package'");
        out_.doc = peek().doc;
        out_.where = peek().where;
        next();
        do {
            std::string component;
            Location where;
            if (!expectName(component, where, "a package name")) return false;
            if (out_.package.size() == Limits::kMaxPackageComponents) {
                report_.error(where, "package name has more than " +
                                             std::to_string(Limits::kMaxPackageComponents) +
                                             " components");
                return false;
            }
            out_.package.push_back(std::move(component));
        } while (isPunct('.') && (next(), true));
        return expectPunct(';');
    }

    bool parseVersion() {
        const Location where = peek().where;
        if (!expectWord("version")) return false;
        if (!at(Tok::Integer)) return expected("a version number");
        const Token& number = next();
        if (number.tooLarge) return false;
        if (number.value < 1 || number.value > INT32_MAX) {
            report_.error(number.where, "version must be between 1 and 2147483647");
        }
        out_.version = static_cast<int32_t>(number.value <= INT32_MAX ? number.value : 0);
        if (isWord("frozen")) {
            next();
            if (!at(Tok::String)) return expected("the frozen version's hash as a string");
            const Token& hash = next();
            bool hex = hash.text.size() == 40;
            for (char c : hash.text) hex = hex && (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'));
            if (!hex) report_.error(hash.where, "a frozen hash is 40 lowercase hexadecimal digits");
            out_.frozenHash = hash.text;
        }
        (void)where;
        return expectPunct(';');
    }

    // type = ("i32" | "i64" | "bool" | "string" | NAME | "list" "<" NAME ">") ["?"]
    bool parseType(Type& type) {
        if (!at(Tok::Ident)) return expected("a type");
        type.where = peek().where;
        const std::string word = next().text;
        if (word == "i32") {
            type.kind = TypeKind::Int32;
        } else if (word == "i64") {
            type.kind = TypeKind::Int64;
        } else if (word == "bool") {
            type.kind = TypeKind::Bool;
        } else if (word == "string") {
            type.kind = TypeKind::String;
        } else if (word == "void") {
            type.kind = TypeKind::Void;
        } else if (word == "list") {
            type.kind = TypeKind::List;
            if (!expectPunct('<')) return false;
            if (isWord("list")) {
                report_.error(peek().where, "a list's elements are records; lists do not nest");
                return false;
            }
            Location where;
            if (!expectName(type.name, where, "the element record's name")) return false;
            if (!expectPunct('>')) return false;
        } else {
            // A record or an interface: the checker tells which.
            type.kind = TypeKind::Record;
            type.name = word;
        }
        if (isPunct('?')) {
            next();
            type.nullable = true;
        }
        return true;
    }

    // literal = ["-"] INTEGER | "true" | "false" | "null" | STRING
    bool parseLiteral(Literal& literal) {
        literal.where = peek().where;
        if (isPunct('-') || at(Tok::Integer)) {
            const bool negative = isPunct('-');
            if (negative) next();
            if (!at(Tok::Integer)) return expected("a number");
            const Token& number = next();
            if (number.tooLarge) return false;
            if (!negative && number.value > static_cast<uint64_t>(INT64_MAX)) {
                report_.error(number.where, "number too large");
                return false;
            }
            literal.kind = Literal::Kind::Integer;
            literal.integer = negative ? static_cast<int64_t>(0 - number.value)
                                       : static_cast<int64_t>(number.value);
        } else if (isWord("true") || isWord("false")) {
            literal.kind = Literal::Kind::Bool;
            literal.boolean = next().text == "true";
        } else if (isWord("null")) {
            next();
            literal.kind = Literal::Kind::Null;
        } else if (at(Tok::String)) {
            literal.kind = Literal::Kind::String;
            literal.text = next().text;
        } else {
            return expected("a default value");
        }
        return true;
    }

    bool parseRecord() {
        Record record;
        record.doc = peek().doc;
        next();  // 'record'
        if (!expectName(record.name, record.where, "the record's name")) return false;
        if (!expectPunct('{')) return false;
        while (!isPunct('}') && !at(Tok::End) && !report_.full()) {
            Field field;
            field.doc = peek().doc;
            const bool ok = parseType(field.type) &&
                            expectName(field.name, field.where, "the field's name") &&
                            (!isPunct('=') || (next(), parseLiteral(field.defaultValue.emplace()))) &&
                            expectPunct(';');
            if (!ok) {
                skipToMember();
                continue;
            }
            if (record.fields.size() == Limits::kMaxMembers) {
                report_.error(field.where, "more than " + std::to_string(Limits::kMaxMembers) + " fields");
                return false;
            }
            record.fields.push_back(std::move(field));
        }
        if (!expectPunct('}')) return false;
        out_.records.push_back(std::move(record));
        return true;
    }

    // method = ["oneway"] type NAME "(" [param {"," param}] ")" ["=" INTEGER] ";"
    // param  = ["in" | "out"] type NAME
    bool parseMethod(Method& method) {
        method.doc = peek().doc;
        if (isWord("oneway")) {
            next();
            method.oneway = true;
        }
        if (!parseType(method.result)) return false;
        if (!expectName(method.name, method.where, "the method's name")) return false;
        if (!expectPunct('(')) return false;
        if (!isPunct(')')) {
            do {
                Parameter parameter;
                if (isWord("in") || isWord("out")) {
                    parameter.direction = next().text == "in" ? Direction::In : Direction::Out;
                }
                if (!parseType(parameter.type)) return false;
                if (!expectName(parameter.name, parameter.where, "the parameter's name")) return false;
                if (method.parameters.size() == Limits::kMaxParameters) {
                    report_.error(parameter.where, "more than " +
                                                           std::to_string(Limits::kMaxParameters) +
                                                           " parameters");
                    return false;
                }
                method.parameters.push_back(std::move(parameter));
            } while (isPunct(',') && (next(), true));
        }
        if (!expectPunct(')')) return false;
        if (isPunct('=')) {
            next();
            if (!at(Tok::Integer)) return expected("a transaction code");
            const Token& code = next();
            if (code.tooLarge) return false;
            if (code.value < kFirstCallCode || code.value > kLastMethodCode) {
                report_.error(code.where,
                              code.value == kInterfaceHashCode || code.value == kInterfaceVersionCode
                                      ? "transaction code " + code.text +
                                                " is reserved for the version and hash queries"
                                      : "transaction code must be between 1 and 16777213");
            }
            method.code = static_cast<uint32_t>(code.value <= kLastMethodCode ? code.value : 0);
            method.explicitCode = true;
        }
        return expectPunct(';');
    }

    bool parseInterface() {
        Interface interface;
        interface.doc = peek().doc;
        next();  // 'interface'
        if (!expectName(interface.name, interface.where, "the interface's name")) return false;
        if (!expectPunct('{')) return false;
        while (!isPunct('}') && !at(Tok::End) && !report_.full()) {
            Method method;
            if (!parseMethod(method)) {
                skipToMember();
                continue;
            }
            if (interface.methods.size() == Limits::kMaxMembers) {
                report_.error(method.where, "more than " + std::to_string(Limits::kMaxMembers) + " methods");
                return false;
            }
            interface.methods.push_back(std::move(method));
        }
        if (!expectPunct('}')) return false;
        out_.interfaces.push_back(std::move(interface));
        return true;
    }

    std::vector<Token> tokens_;
    size_t index_ = 0;
    Definition& out_;
    Reporter& report_;
};

}  // namespace

bool parseDefinition(std::string_view text, Definition& out, Reporter& report) {
    if (text.size() > Limits::kMaxFileBytes) {
        report.error({1, 1}, "file larger than " + std::to_string(Limits::kMaxFileBytes) + " bytes");
        return false;
    }
    Lexer lexer(text, report);
    Parser parser(lexer.run(), out, report);
    parser.run();
    return report.empty();
}

}  // namespace bgs::idl::detail
