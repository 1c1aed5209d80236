// The run file: this run's port and own token, written beside the client kit
// in the bundle folder, so that the user's pages opened by hand connect.
#pragma once
#include "core/ref.h"

namespace vesk {

// Writes <bundle folder>/assets/vesk-run.js (mode 0600, replaced in one
// rename) and returns its path; empty when there is no assets folder or the
// file cannot be written (a page then needs ?token=). Never throws.
Ref write_run_file(PyObject* port, PyObject* token);

// "<bundle folder>/assets/vesk-run.js", for messages. Never throws.
Ref run_file_path();

}  // namespace vesk
