#include "core/class_creation.h"

#include "core/call.h"

namespace vesk {
namespace {

constexpr const char* kMroEntriesNotTuple = "__mro_entries__ must return a tuple";
constexpr const char* kMetaclassConflict =
    "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the metaclasses of all "
    "its bases";

const Name kMroEntries("__mro_entries__"), kPrepare("__prepare__");

}  // namespace

Ref resolve_bases(PyObject* bases) {
    Ref resolved = check(PyList_New(0));
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (!PyType_Check(base) && hasattr(base, kMroEntries)) {
            Ref entries = call_method(base, kMroEntries, bases);
            if (!PyTuple_Check(entries.get())) raise(PyExc_TypeError, kMroEntriesNotTuple);
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
                check_status(PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)));
            }
            changed = true;
        } else {
            check_status(PyList_Append(resolved.get(), base));
        }
    }
    if (!changed) return Ref::borrow(bases);
    return check(PyList_AsTuple(resolved.get()));
}

Ref pick_metaclass(PyObject* bases) {
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    if (PyTuple_GET_SIZE(bases) > 0) winner = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* candidate = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (check_status(PyObject_IsSubclass(winner, candidate))) continue;
        if (check_status(PyObject_IsSubclass(candidate, winner))) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError, kMetaclassConflict);
    }
    return Ref::borrow(winner);
}

Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) {
    if (!hasattr(metaclass, kPrepare)) return check(PyDict_New());
    return call_method(metaclass, kPrepare, name, bases);
}

}  // namespace vesk
