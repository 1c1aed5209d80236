#include "core/builtin.h"

#include "core/call.h"
#include "core/caller.h"

namespace vesk {

PyObject* call_builtin(const BuiltinSpec& spec, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    RunningFunction running(spec.signature.name);
    return guarded(spec.trace_name, spec.line, static_cast<PyObject*>(nullptr), [&] {
        PyObject* parsed[kMaxParameters];
        parse_arguments(spec.signature, defaults, args, static_cast<size_t>(nargs), kwnames, parsed);
        return spec.body(parsed).release();
    });
}

Ref make_builtin_function(PyMethodDef& def) {
    Ref module_name = str("Vesk");
    return check(PyCFunction_NewEx(&def, nullptr, module_name.get()));
}

}  // namespace vesk
