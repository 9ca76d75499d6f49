#include "definitions.h"

#include "output.h"

#include <iostream>

namespace bgctl {

namespace {

InterfaceRef refOf(const ::bgs::idl::Definition& definition, const ::bgs::idl::Interface& interface) {
    return {&definition, &interface, definition.packageName() + "." + interface.name};
}

void collect(const ::bgs::idl::Definition& definition, const std::string& descriptor,
             const std::string& interfaceName, std::vector<InterfaceRef>* found) {
    for (const ::bgs::idl::Interface& interface : definition.interfaces) {
        const InterfaceRef ref = refOf(definition, interface);
        if (ref.descriptor == descriptor && (interfaceName.empty() || isNamed(ref, interfaceName))) {
            found->push_back(ref);
        }
    }
}

}  // namespace

std::vector<::bgs::idl::Definition>& loadedDefinitions() {
    static std::vector<::bgs::idl::Definition> definitions;
    return definitions;
}

bool loadDefinitions(const std::vector<std::string>& paths, std::vector<::bgs::idl::Definition>* loaded) {
    bool ok = true;
    loaded->reserve(paths.size());  // references into it stay valid
    for (const std::string& path : paths) {
        ::bgs::idl::LoadResult result = ::bgs::idl::loadDefinitionFile(path);
        for (const ::bgs::idl::Diagnostic& diagnostic : result.diagnostics) {
            std::cerr << printable(diagnostic.toString()) << '\n';
        }
        if (result.ok()) {
            loaded->push_back(std::move(*result.definition));
        }
        ok = ok && result.ok();
    }
    return ok;
}

bool isNamed(const InterfaceRef& ref, const std::string& name) {
    return ref.interface->name == name || ref.descriptor == name;
}

std::vector<InterfaceRef> interfacesFor(const std::vector<::bgs::idl::Definition>& loaded,
                                        const std::string& descriptor, const std::string& interfaceName) {
    std::vector<InterfaceRef> found;
    for (const ::bgs::idl::Definition& definition : loaded) {
        collect(definition, descriptor, interfaceName, &found);
    }
    if (found.empty()) {
        collect(builtinDefinition(), descriptor, interfaceName, &found);
    }
    return found;
}

bool namesAnInterface(const std::string& name) {
    std::vector<const ::bgs::idl::Definition*> all{&builtinDefinition()};
    for (const ::bgs::idl::Definition& definition : loadedDefinitions()) all.push_back(&definition);
    for (const ::bgs::idl::Definition* definition : all) {
        for (const ::bgs::idl::Interface& interface : definition->interfaces) {
            if (isNamed(refOf(*definition, interface), name)) return true;
        }
    }
    return false;
}

std::optional<InterfaceRef> callbackInterfaceOf(const InterfaceRef& ref) {
    for (const ::bgs::idl::Method& method : ref.interface->methods) {
        for (const ::bgs::idl::Parameter& parameter : method.parameters) {
            if (parameter.type.kind == ::bgs::idl::TypeKind::Interface && parameter.type.name != ref.interface->name) {
                return refOf(*ref.definition, *ref.definition->findInterface(parameter.type.name));
            }
        }
    }
    return std::nullopt;
}

}  // namespace bgctl
