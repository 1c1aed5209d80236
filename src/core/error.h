// C API failures become a C++ exception inside the module; every entry point
// that CPython calls turns it back into "NULL with the error indicator set".
#pragma once
#include "core/ref.h"

namespace vesk {

// Thrown after a C API call failed; the Python error indicator stays set.
struct PyError {};

// Throws PyError. If no Python error is set (a C API misuse), sets SystemError.
[[noreturn]] void throw_error();

// Sets a Python exception and throws PyError.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// A new reference from the C API, or throw if it is NULL.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw_error();
    return Ref::steal(p);
}
// A status from the C API (-1 means failure).
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

// Saves the error indicator and restores it on scope exit, so cleanup code
// that calls into Python cannot clobber the error being reported.
class ErrorGuard {
public:
    ErrorGuard() noexcept;
    ~ErrorGuard();
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// Converts any C++ exception in flight into a Python error (bad_alloc becomes
// MemoryError, anything else SystemError). Call only inside a catch handler.
// The unwinding that ends a thread at interpreter shutdown (pthread_exit of
// a daemon thread waiting for the GIL) is rethrown: swallowing it aborts the
// process. That is also why entry points are not noexcept.
void translate_current_exception();

// The single conversion point of an entry point: runs body, and on failure
// adds the traceback entry trace_name:line and returns `failed`.
template <class Result, class Body>
Result guarded(const char* trace_name, int line, Result failed, Body&& body);

}  // namespace vesk

#include "core/traceback.h"

namespace vesk {

template <class Result, class Body>
Result guarded(const char* trace_name, int line, Result failed, Body&& body) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    add_traceback(trace_name, line);
    return failed;
}

}  // namespace vesk
