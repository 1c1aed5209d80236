// Short forms of the C API calls the module bodies make; each throws PyError.
#pragma once
#include "core/error.h"
#include "core/name.h"

#include <initializer_list>

namespace vesk {

inline Ref getattr(PyObject* object, const Name& name) {
    return check(PyObject_GetAttr(object, name.get()));
}
inline void setattr(PyObject* object, const Name& name, PyObject* value) {
    check_status(PyObject_SetAttr(object, name.get(), value));
}
// hasattr() semantics: only AttributeError counts as absence.
bool hasattr(PyObject* object, const Name& name);

// callable(*args); arguments are borrowed.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {});
// object.name(*args)
Ref call_method(PyObject* object, const Name& name, std::initializer_list<PyObject*> args = {});
// callable(*args, **{kwname: kwvalue}) with one keyword argument.
Ref call_with_keyword(PyObject* callable, std::initializer_list<PyObject*> args, const Name& kwname,
                      PyObject* kwvalue);

bool is_true(PyObject* object);

// Fresh str / int objects.
Ref str(const char* text);
Ref integer(long value);

// A new dict whose keys are given in order.
struct Item {
    const Name& key;
    PyObject* value;  // borrowed
};
Ref make_dict(std::initializer_list<Item> items);

}  // namespace vesk
