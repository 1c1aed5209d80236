// Module-level functions are plain built-in function objects (no self, no
// binding) whose arguments go through the same parser as the methods.
#pragma once
#include "core/args.h"
#include "core/function.h"

#include <string>

namespace vesk {

using BuiltinBody = Ref (*)(PyObject* const* args);

struct BuiltinSpec {
    Signature signature;
    int line;
    std::span<const DefaultValue> defaults;
    BuiltinBody body;

    TraceSite site() const { return {kModuleScope.trace_name, signature.name, line}; }
};

// Parses, runs the body, and converts a failure, for one call.
PyObject* call_builtin(const BuiltinSpec& spec, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
Ref make_builtin_function(PyMethodDef& def);

// A builtin_function_or_method has no room for a spec pointer (its __self__
// must stay None), so each spec gets its own entry function.
// The defaults tuple of `spec`, made once by make_builtin at import (where a
// failure is reported), never inside a call.
template <const BuiltinSpec& spec>
PyObject*& builtin_defaults() {
    static PyObject* defaults = nullptr;  // kept for the process
    return defaults;
}

template <const BuiltinSpec& spec>
PyObject* builtin_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_builtin(spec, builtin_defaults<spec>(), args, nargs, kwnames);
}

// "name(a, b, c=0)\n--\n\n": a doc that is only a text signature, so that
// inspect.signature works while __doc__ stays None.
std::string text_signature_doc(const BuiltinSpec& spec);

// The builtin_function_or_method for `spec`, with __module__ "Vesk".
template <const BuiltinSpec& spec>
Ref make_builtin() {
    if (builtin_defaults<spec>() == nullptr) builtin_defaults<spec>() = make_defaults(spec.defaults).release();
    static const std::string doc = text_signature_doc(spec);
    static PyMethodDef def = {spec.signature.name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&builtin_entry<spec>)),
                              METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    return make_builtin_function(def);
}

}  // namespace vesk
