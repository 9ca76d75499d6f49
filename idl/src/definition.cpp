// The loader's entry points and the Definition's queries.
#include <bgs/idl/definition.h>

#include <fstream>
#include <sstream>

#include "front_end.h"

namespace bgs::idl {

std::string Diagnostic::toString() const {
    return file + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) +
           ": error: " + message;
}

std::string Definition::packageName() const {
    std::string name;
    for (const std::string& component : package) {
        if (!name.empty()) name += '.';
        name += component;
    }
    return name;
}

std::string Definition::hash() const {
    return frozenHash ? *frozenHash : std::string(kNotFrozenHash);
}

const Record* Definition::findRecord(std::string_view name) const {
    for (const Record& record : records) {
        if (record.name == name) return &record;
    }
    return nullptr;
}

const Interface* Definition::findInterface(std::string_view name) const {
    for (const Interface& interface : interfaces) {
        if (interface.name == name) return &interface;
    }
    return nullptr;
}

LoadResult loadDefinition(std::string_view text, std::string_view file) {
    detail::Reporter report(file);
    Definition definition;
    definition.file = std::string(file);
    // The checker runs even after syntax errors, over what did parse, so
    // that one run shows both kinds.
    detail::parseDefinition(text, definition, report);
    if (!report.full() && !definition.package.empty()) detail::checkDefinition(definition, report);
    LoadResult result;
    if (report.empty()) {
        result.definition = std::move(definition);
    } else {
        result.diagnostics = report.take();
    }
    return result;
}

LoadResult loadDefinitionFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        LoadResult result;
        result.diagnostics.push_back({path, {1, 1}, "cannot read the file"});
        return result;
    }
    std::string text(Limits::kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return loadDefinition(text, path);
}

}  // namespace bgs::idl
