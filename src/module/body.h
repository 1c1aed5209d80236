// The module body run by the execution step: imports, module-level
// functions, the class Vesk_Pal_st and __test__.
#pragma once
#include "core/error.h"

namespace vesk {

// Runs one statement of the body; a failure gains an "init Vesk" traceback
// entry carrying the statement's line.
template <class Statement>
void at_line(int line, Statement&& statement) {
    try {
        statement();
    } catch (const PyError&) {
        add_traceback({nullptr, "init Vesk", line});
        throw;
    }
}

// Runs the body in `namespace_dict`; a failing statement adds an "init Vesk"
// traceback entry with its line. Throws PyError.
void run_module_body(PyObject* namespace_dict);

// Creates Vesk_Pal_st (class statement at line 101); throws PyError with the
// traceback entry already added.
Ref create_environment_class(PyObject* namespace_dict);

}  // namespace vesk
