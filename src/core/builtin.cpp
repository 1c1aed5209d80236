#include "core/builtin.h"

#include "core/call.h"
#include "core/caller.h"

namespace vesk {

PyObject* call_builtin(const BuiltinSpec& spec, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    RunningFunction running(spec.signature.name);
    return guarded(spec.site(), static_cast<PyObject*>(nullptr), [&] {
        PyObject* parsed[kMaxParameters];
        parse_arguments(spec.signature, defaults, args, static_cast<size_t>(nargs), kwnames, parsed);
        return spec.body(parsed).release();
    });
}

std::string text_signature_doc(const BuiltinSpec& spec) {
    const auto& params = spec.signature.params;
    const size_t first_default = params.size() - spec.defaults.size();
    std::string doc = std::string(spec.signature.name) + "(";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i > 0) doc += ", ";
        doc += params[i].name;
        if (i < first_default) continue;
        switch (spec.defaults[i - first_default]) {
            case DefaultValue::none:
                doc += "=None";
                break;
            case DefaultValue::true_value:
                doc += "=True";
                break;
            case DefaultValue::zero:
                doc += "=0";
                break;
        }
    }
    return doc + ")\n--\n\n";
}

Ref make_builtin_function(PyMethodDef& def) {
    Ref module_name = str("Vesk");
    return check(PyCFunction_NewEx(&def, nullptr, module_name.get()));
}

}  // namespace vesk
