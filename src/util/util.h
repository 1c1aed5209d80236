// The module-level utilities, and the method form of upload.
#pragma once
#include "core/builtin.h"

namespace vesk {

extern const BuiltinSpec convert_numpy_to_list_spec;
extern const BuiltinSpec copy_files_spec;
extern const BuiltinSpec upload_spec;
extern const BuiltinSpec log_one_task_spec;
extern const FunctionSpec upload_method_spec;

// convert_numpy_to_list(value) through the module-level name as bound now, so
// that a rebinding takes effect for hook results and inside nested data alike.
Ref convert_through_module_name(PyObject* value);

// convert_through_module_name(value) would be the standard function's
// float32 lists of an exact, C-contiguous float32 or float64 array, made
// without running Python code or warning: its text may then be made from
// the buffer. Throws RecursionError where the call would.
bool converts_as_float_array(PyObject* value);

// A float64 value narrows to float32 without a flag NumPy's cast reports.
bool casts_quietly_to_float32(double value);

}  // namespace vesk
