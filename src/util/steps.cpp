#include "util/steps.h"

#include "core/globals.h"

namespace vesk {
namespace {

const Name os_name("os"), path_name("path"), empty("");

}  // namespace

Ref os_path(const Name& function, std::initializer_list<PyObject*> args) {
    Ref os = global(os_name);
    Ref path = getattr(os.get(), path_name);
    return call_method(path.get(), function, args);
}

Ref os_call(const Name& function, std::initializer_list<PyObject*> args) {
    Ref os = global(os_name);
    return call_method(os.get(), function, args);
}

Ref formatted(PyObject* value) { return check(PyObject_Format(value, empty.get())); }

Ref join_text(std::initializer_list<PyObject*> pieces) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyList_SET_ITEM(list.get(), i++, Py_NewRef(piece));
    return check(PyUnicode_Join(empty.get(), list.get()));
}

void print_line(std::initializer_list<PyObject*> args) { call(builtins().print, args); }

void raise_instance(PyObject* exception_type, PyObject* message) {
    Ref exception = call(exception_type, {message});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw PyError{};
}

}  // namespace vesk
