#include "util/steps.h"

#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {

Ref os_module() { return global(kOs); }

Ref os_path_module() {
    Ref os = os_module();
    return getattr(os.get(), kPath);
}

Ref formatted(PyObject* value) { return check(PyObject_Format(value, kEmptyText.get())); }

Ref join_text(std::initializer_list<PyObject*> pieces) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyList_SET_ITEM(list.get(), i++, Py_NewRef(piece));
    return check(PyUnicode_Join(kEmptyText.get(), list.get()));
}

void raise_instance(PyObject* exception_type, PyObject* message) {
    Ref exception = call(exception_type, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw PyError{};
}

}  // namespace vesk
