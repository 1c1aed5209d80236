// Pieces of getset slots shared by the module's types.
#pragma once
#include "core/ref.h"

namespace vesk {

inline constexpr const char* kNameMustBeString = "__name__ must be set to a string object";
inline constexpr const char* kQualnameMustBeString = "__qualname__ must be set to a string object";

// The field's value, None for an empty field (a new reference).
inline PyObject* get_field(const Ref& field) { return Py_NewRef(field ? field.get() : Py_None); }

// Setters refuse deletion and values `accepts` refuses, with CPython's texts.
inline int set_field_checked(Ref& field, PyObject* value, bool (*accepts)(PyObject*), const char* message) {
    if (value == nullptr || !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    field = Ref::borrow(value);
    return 0;
}

inline bool is_str(PyObject* value) { return PyUnicode_Check(value); }

}  // namespace vesk
