// Process-wide state of the module: one copy per process, never torn down.
#pragma once
#include <Python.h>

#include <cstdint>

namespace vesk {

struct ProcessState {
    // Owned: set while exec runs and after it succeeds. A re-import after the
    // module left sys.modules must find this very object alive.
    PyObject* initialised_module = nullptr;
    int64_t owning_interpreter = -1;
    int runtime_major = -1, runtime_minor = -1;  // read once, at the first execution step
};

ProcessState& process_state();

}  // namespace vesk
