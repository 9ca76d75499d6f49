/*
 * The definitions bgctl works from: the files given with --defs, loaded
 * with the definition language's own loader, and the package's built-in
 * one. A served binder is matched to an interface by the descriptor its
 * process sent with it.
 */
#ifndef BGCTL_DEFINITIONS_H
#define BGCTL_DEFINITIONS_H

#include "methods.h"

#include <android/binder_auto_utils.h>

#include <optional>
#include <string>
#include <vector>

namespace bgctl {

// The definitions given with --defs, once main has loaded them.
std::vector<::bgs::idl::Definition>& loadedDefinitions();

// Loads every file of `paths`, in order, into *loaded (which keeps them for
// the process). Every diagnostic is printed on stderr as the compiler
// prints it ("FILE:LINE:COLUMN: error: ..."). Returns false when any file
// has one.
bool loadDefinitions(const std::vector<std::string>& paths, std::vector<::bgs::idl::Definition>* loaded);

// The interfaces of `loaded` whose descriptor is `descriptor`; when none,
// the built-in definition's. With `interfaceName` (a name or a descriptor)
// only that interface is considered.
std::vector<InterfaceRef> interfacesFor(const std::vector<::bgs::idl::Definition>& loaded,
                                        const std::string& descriptor, const std::string& interfaceName);

// Whether `ref` is named by `name`: its name or its descriptor.
bool isNamed(const InterfaceRef& ref, const std::string& name);

// Whether `name` names an interface of the loaded definitions or of the
// built-in one.
bool namesAnInterface(const std::string& name);

// The first interface that a parameter of `ref` refers to (the one a
// service calls back), from the same definition; absent when none.
std::optional<InterfaceRef> callbackInterfaceOf(const InterfaceRef& ref);

}  // namespace bgctl

#endif  // BGCTL_DEFINITIONS_H
