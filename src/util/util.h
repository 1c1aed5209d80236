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

}  // namespace vesk
