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

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return check(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call_method(PyObject* object, const Name& name, std::initializer_list<PyObject*> args) {
    // Room for the receiver in front of the arguments, as vectorcall methods expect.
    PyObject* stack[8];
    const size_t count = args.size() + 1;
    if (count > 8) raise(PyExc_SystemError, "Vesk: too many arguments for call_method");
    stack[0] = object;
    size_t i = 1;
    for (PyObject* arg : args) stack[i++] = arg;
    return check(PyObject_VectorcallMethod(name.get(), stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

Ref str(const char* text) { return check(PyUnicode_FromString(text)); }
Ref integer(long value) { return check(PyLong_FromLong(value)); }

Ref make_dict(std::initializer_list<Item> items) {
    Ref dict = check(PyDict_New());
    for (const Item& item : items) check_status(PyDict_SetItem(dict.get(), item.key.get(), item.value));
    return dict;
}

}  // namespace vesk
