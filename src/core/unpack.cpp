#include "core/unpack.h"

#include "core/error.h"

#include <vector>

namespace vesk {
namespace {

[[noreturn]] void raise_need_more(Py_ssize_t found) {
    raise_format(PyExc_ValueError, kNeedMoreValues, found, found == 1 ? "" : "s");
}

}  // namespace

void unpack_exactly(PyObject* iterable, std::span<Ref> out) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(out.size());
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size > expected) raise_format(PyExc_ValueError, kTooManyValues, expected);
        if (size < expected) raise_need_more(size);
        for (Py_ssize_t i = 0; i < expected; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
        return;
    }
    Ref iterator = check(PyObject_GetIter(iterable));
    std::vector<Ref> values;
    values.reserve(out.size());
    for (Py_ssize_t i = 0; i < expected; ++i) {
        Ref value = Ref::steal(PyIter_Next(iterator.get()));
        if (!value) {
            if (PyErr_Occurred()) throw_error();
            raise_need_more(i);
        }
        values.push_back(std::move(value));
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) raise_format(PyExc_ValueError, kTooManyValues, expected);
    if (PyErr_Occurred()) throw_error();
    for (Py_ssize_t i = 0; i < expected; ++i) out[i] = std::move(values[i]);
}

}  // namespace vesk
