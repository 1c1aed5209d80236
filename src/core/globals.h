// Module-level names are looked up at each use, in the module namespace and
// then in builtins; the built-ins the bodies use are resolved once at import.
#pragma once
#include "core/name.h"
#include "core/ref.h"

namespace vesk {

struct CachedBuiltins {
    PyObject* print = nullptr;
    PyObject* RecursionError = nullptr;
    PyObject* FileNotFoundError = nullptr;
    PyObject* ValueError = nullptr;
    PyObject* range = nullptr;
    PyObject* NotImplementedError = nullptr;
    PyObject* literal_eval = nullptr;  // ast.literal_eval: text replies are literals only
};

// Set by the execution step; both borrowed: the module, which the process
// state owns for ever, holds them.
void set_module_namespace(PyObject* namespace_dict, PyObject* builtins_module);
PyObject* module_namespace();  // borrowed

// The value bound to `name` now, or NameError "name '%U' is not defined".
Ref global(const Name& name);

// Resolves the cached built-ins once; throws PyError (NameError) on a missing one.
void resolve_builtins();
const CachedBuiltins& builtins();

}  // namespace vesk
