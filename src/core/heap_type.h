// The dealloc and traverse steps every heap type of the module shares.
#pragma once
#include <Python.h>

namespace vesk {

// Untracks, runs `clear`, frees, then drops the type reference.
template <class Object, class Clear>
void dealloc_heap_object(PyObject* self, Clear&& clear) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(reinterpret_cast<Object*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// Heap types must visit their type from traverse (CPython 3.9 and later).
inline int visit_type(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Makes a heap type from `spec`; the type lives for the process.
PyTypeObject* make_heap_type(PyType_Spec* spec);

}  // namespace vesk
