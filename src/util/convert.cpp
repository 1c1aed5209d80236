// convert_numpy_to_list(data): NumPy arrays, at any depth inside dicts,
// lists and tuples, become plain lists of floats ready for JSON.
#include "util/util.h"

#include "core/call.h"
#include "core/caller.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "core/standard.h"
#include "core/unpack.h"
#include "util/float32_list.h"
#include "util/genexpr.h"
#include "util/stack_room.h"

namespace vesk {
namespace {

constexpr const char* kDictChangedSize = "dictionary changed size during iteration";
constexpr const char* kName = "convert_numpy_to_list";

const Name astype_name("astype"), items_name("items");

bool is_instance(PyObject* data, PyTypeObject* type) {
    return check_status(PyObject_IsInstance(data, reinterpret_cast<PyObject*>(type))) != 0;
}

// An exact dict: its pairs are read directly.
Ref convert_exact_dict(PyObject* data) {
    Ref result = check(PyDict_New());
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed from data until its next change
    for (;;) {
        if (PyDict_GET_SIZE(data) != size) raise(PyExc_RuntimeError, kDictChangedSize);
        if (!PyDict_Next(data, &position, &key, &value)) break;
        // Converting may change data and drop these, so hold them.
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        Ref converted = convert_through_module_name(held_value.get());
        check_status(PyDict_SetItem(result.get(), held_key.get(), converted.get()));
    }
    return result;
}

// A dict subclass: its own items(), each item unpacked into key and value.
Ref convert_dict_subclass(PyObject* data) {
    Ref result = check(PyDict_New());
    Ref items = call_method(data, items_name);
    Ref iterator = check(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair[2];  // key, value = item
        unpack_exactly(item.get(), pair);
        Ref converted = convert_through_module_name(pair[1].get());
        check_status(PyDict_SetItem(result.get(), pair[0].get(), converted.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return result;
}

Ref convert_list(PyObject* data) {
    Ref result = check(PyList_New(0));
    if (PyList_CheckExact(data)) {
        // As list's own iterator does: the length is read again at each
        // step, since converting may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
            Ref converted = convert_through_module_name(item.get());
            check_status(PyList_Append(result.get(), converted.get()));
        }
        return result;
    }
    Ref iterator = check(PyObject_GetIter(data));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref converted = convert_through_module_name(item.get());
        check_status(PyList_Append(result.get(), converted.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return result;
}

// tuple(genexpr): the elements are converted one by one as tuple() asks.
Ref convert_tuple(PyObject* data) {
    Ref iterator = check(PyObject_GetIter(data));
    Ref elements = make_genexpr(iterator.get());
    if (!PyTuple_CheckExact(data)) return check(PySequence_Tuple(elements.get()));
    // An exact tuple yields exactly its items, so the result is made at its
    // size instead of grown; the generator is still run to its end.
    const Py_ssize_t size = PyTuple_GET_SIZE(data);
    Ref result = check(PyTuple_New(size));
    const iternextfunc next = Py_TYPE(elements.get())->tp_iternext;
    for (Py_ssize_t i = 0; i <= size; ++i) {
        PyObject* item = next(elements.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw_error();
            if (i == size) break;
        }
        if (item == nullptr || i == size) {
            Py_XDECREF(item);
            raise(PyExc_SystemError, "Vesk: a tuple's generator yielded another number of items");
        }
        PyTuple_SET_ITEM(result.get(), i, item);
    }
    return result;
}

// Values of these exact built-in types are none of the four kinds (their
// class cannot pretend otherwise), so they come back as they are once the
// ndarray test has been made.
bool is_plain_scalar(PyObject* data) {
    return data == Py_None || PyLong_CheckExact(data) || PyFloat_CheckExact(data) || PyUnicode_CheckExact(data) ||
           PyBool_Check(data) || PyBytes_CheckExact(data);
}

Ref convert_array(PyObject* data, PyObject* np) {
    // The cast comes first, so every element arrives as a 32-bit float.
    Ref float32 = getattr(np, kFloat32);
    Ref cast = call_method(data, astype_name, float32.get());
    return call_method(cast.get(), kTolist);
}

Ref convert_value(PyObject* data) {
    // Each nesting level is one C-level call; see stack_room.h.
    check_stack_room();
    if (PyTypeObject* ndarray = standard_ndarray()) {
        // np is numpy itself: the same tests, without looking up what cannot have changed.
        if (PyDict_CheckExact(data)) return convert_exact_dict(data);
        if (PyList_CheckExact(data)) return convert_list(data);
        if (PyTuple_CheckExact(data)) return convert_tuple(data);
        if (is_plain_scalar(data)) return Ref::borrow(data);
        if (Py_IS_TYPE(data, ndarray) && standard_float32()) {
            if (Ref list = float32_list(data)) return list;
        }
    }
    if (is_instance(data, &PyDict_Type)) {
        return PyDict_CheckExact(data) ? convert_exact_dict(data) : convert_dict_subclass(data);
    }
    if (is_instance(data, &PyList_Type)) return convert_list(data);
    if (is_instance(data, &PyTuple_Type)) return convert_tuple(data);
    Ref np = global(kNp);
    Ref ndarray = getattr(np.get(), kNdarray);
    if (check_status(PyObject_IsInstance(data, ndarray.get())) != 0) return convert_array(data, np.get());
    return Ref::borrow(data);
}

Ref convert_numpy_to_list(PyObject* const* args) { return convert_value(args[0]); }

// What calling the bound function object does, less the call machinery:
// the same recursion count, caller record and traceback entry.
Ref call_directly(PyObject* value) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw_error();
    if (is_plain_scalar(value) && standard_ndarray() != nullptr && stack_room_left()) {
        // Nothing runs for it that could fail or look at the caller record.
        Py_LeaveRecursiveCall();
        return Ref::borrow(value);
    }
    try {
        RunningFunction running(kName);
        Ref result = convert_value(value);
        Py_LeaveRecursiveCall();
        return result;
    } catch (...) {
        Py_LeaveRecursiveCall();
        translate_current_exception();
    }
    add_traceback(convert_numpy_to_list_spec.site());
    throw PyError{};
}

constexpr Parameter kParams[] = {{"data"}};

}  // namespace

Ref convert_through_module_name(PyObject* value) {
    PyObject* bound = PyDict_GetItemWithError(module_namespace(), kConvertNumpyToList.get());  // borrowed
    if (bound != nullptr && bound == standard_convert()) return call_directly(value);
    if (bound == nullptr && PyErr_Occurred()) throw_error();
    Ref function = global(kConvertNumpyToList);
    return call(function.get(), value);
}

bool converts_as_float_array(PyObject* value) {
    PyObject* bound = PyDict_GetItemWithError(module_namespace(), kConvertNumpyToList.get());  // borrowed
    if (bound == nullptr || bound != standard_convert()) {
        if (PyErr_Occurred()) throw_error();
        return false;
    }
    PyTypeObject* ndarray = standard_ndarray();
    if (ndarray == nullptr || !Py_IS_TYPE(value, ndarray) || !standard_float32() || !is_quiet_float_array(value)) {
        return false;
    }
    // The call that is left out would have entered a recursion level.
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw_error();
    Py_LeaveRecursiveCall();
    return true;
}

const BuiltinSpec convert_numpy_to_list_spec = {
    {kName, kParams}, line::convert_numpy_to_list, {}, convert_numpy_to_list};

}  // namespace vesk
