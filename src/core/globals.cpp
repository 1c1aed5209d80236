#include "core/globals.h"

#include "core/call.h"
#include "core/common_names.h"

namespace vesk {
namespace {

PyObject* namespace_dict = nullptr;   // borrowed
PyObject* builtins_module = nullptr;  // borrowed
CachedBuiltins cached;

constexpr const char* kNotDefined = "name '%U' is not defined";

}  // namespace

void set_module_namespace(PyObject* dict, PyObject* builtins) {
    namespace_dict = dict;
    builtins_module = builtins;
}

PyObject* module_namespace() { return namespace_dict; }

Ref global(const Name& name) {
    PyObject* value = PyDict_GetItemWithError(namespace_dict, name.get());
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw_error();
    Ref from_builtins = Ref::steal(PyObject_GetAttr(builtins_module, name.get()));
    if (from_builtins) return from_builtins;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    raise_format(PyExc_NameError, kNotDefined, name.get());
}

void resolve_builtins() {
    static const Name print("print"), recursion_error("RecursionError"), file_not_found("FileNotFoundError"),
        value_error("ValueError"), range("range"), not_implemented("NotImplementedError");
    auto resolve = [](const Name& name) {
        PyObject* value = PyObject_GetAttr(builtins_module, name.get());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            raise_format(PyExc_NameError, kNotDefined, name.get());
        }
        return value;  // kept for the process
    };
    CachedBuiltins found;
    found.print = resolve(print);
    found.RecursionError = resolve(recursion_error);
    found.FileNotFoundError = resolve(file_not_found);
    found.ValueError = resolve(value_error);
    found.range = resolve(range);
    found.NotImplementedError = resolve(not_implemented);
    static const Name literal_eval("literal_eval");
    Ref ast = import_module(kAst);
    found.literal_eval = getattr(ast.get(), literal_eval).release();
    cached = found;
}

const CachedBuiltins& builtins() { return cached; }

}  // namespace vesk
