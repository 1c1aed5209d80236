#include "core/call.h"

namespace vesk {

bool hasattr(PyObject* object, const Name& name) {
    PyObject* value = PyObject_GetAttr(object, name.get());
    if (value != nullptr) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return false;
}

namespace {

Ref vectorcall_with_keyword(PyObject* callable, PyObject* const* stack, size_t positional, const Name& kwname) {
    Ref kwnames = check(PyTuple_Pack(1, kwname.get()));
    return check(PyObject_Vectorcall(callable, stack, positional, kwnames.get()));
}

}  // namespace

Ref call_with_keyword(PyObject* callable, PyObject* arg, const Name& kwname, PyObject* kwvalue) {
    PyObject* stack[] = {arg, kwvalue};
    return vectorcall_with_keyword(callable, stack, 1, kwname);
}

Ref call_with_keyword(PyObject* callable, PyObject* arg1, PyObject* arg2, const Name& kwname, PyObject* kwvalue) {
    PyObject* stack[] = {arg1, arg2, kwvalue};
    return vectorcall_with_keyword(callable, stack, 2, kwname);
}

bool is_true(PyObject* object) { return check_status(PyObject_IsTrue(object)) != 0; }

Ref import_module(const Name& module) { return check(PyImport_Import(module.get())); }

Ref str(const char* text) { return check(PyUnicode_FromString(text)); }
Ref integer(long value) { return check(PyLong_FromLong(value)); }

Ref make_dict(std::initializer_list<Item> items) {
    Ref dict = check(PyDict_New());
    for (const Item& item : items) check_status(PyDict_SetItem(dict.get(), item.key.get(), item.value));
    return dict;
}

}  // namespace vesk
