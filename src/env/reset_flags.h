// The test of step's automatic reset: the truth of `flags.any()`.
#pragma once
#include <Python.h>

namespace vesk {

// bool(flags.any()). For an exact NumPy bool array (whose any() nobody can
// replace) the bytes are read directly; anything else has any() called.
bool any_flag_set(PyObject* flags);

}  // namespace vesk
