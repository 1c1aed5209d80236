// Publishing must not destroy what it publishes: the bundle folder is cleared
// before the copy, and the copy must not land inside its own source.
#pragma once
#include <Python.h>

namespace vesk {

// Throws PyError (ValueError naming the paths) when the source folder is the
// bundle folder or contains it, lies inside an entry of the bundle folder that
// the clearing removes, or holds the destination of the copy. Real paths are
// compared, so links and ".." steps cannot hide an overlap. All borrowed.
void refuse_overlap(PyObject* source, PyObject* bundle, PyObject* destination);

// Throws PyError (ValueError) when `folder_name` is absolute or its
// normalised path leaves the bundle folder. Both borrowed.
void refuse_escape(PyObject* folder_name, PyObject* bundle);

}  // namespace vesk
