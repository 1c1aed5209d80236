// The standard objects a fast path stands in for, remembered at import. A
// fast path is taken only while the module-level name (and whatever it reads
// on the way) still holds the very object remembered here; anything else is
// honoured by the ordinary Python call.
#pragma once
#include "core/ref.h"

namespace vesk {

// Called once by the execution step after the imports: remembers numpy,
// json and asyncio as imported, and the convert_numpy_to_list function object bound.
// A piece that does not look like the genuine library switches its fast
// path off for the process; nothing here fails the import.
void remember_standard_objects(PyObject* module_namespace, PyObject* convert_function);

// The global `np` is numpy as imported and numpy.ndarray is still the
// library's own: then the ndarray type (borrowed), else NULL.
PyTypeObject* standard_ndarray();
// ... and numpy.float32 too.
bool standard_float32();

// numpy.ndarray as imported (borrowed), whatever `np` is bound to now; NULL
// if numpy did not look genuine at import. Its methods cannot be replaced.
PyTypeObject* imported_ndarray();

// The global `json` is the standard module, and json.dumps(obj) would run
// its default encoder unchanged: dumps, its defaults, the default encoder
// and its settings, JSONEncoder's methods and separators, the C encoder.
bool standard_json();

// The convert_numpy_to_list function object bound at import (borrowed).
PyObject* standard_convert();

// The global `asyncio` is the module as imported and its wait_for is still
// the library's own function: then the module (borrowed), else NULL.
PyObject* standard_asyncio_wait_for();

}  // namespace vesk
