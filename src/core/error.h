// C API failures become a C++ exception inside the module; every entry point
// that CPython calls turns it back into "NULL with the error indicator set".
#pragma once
#include "core/ref.h"

#include <utility>

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

// The error indicator taken out of the thread state, owned: code may call
// into Python while it is held, and it is dropped unless restored.
class SavedError {
public:
    SavedError() noexcept = default;
    SavedError(Ref type, Ref value, Ref traceback) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    // Takes the current error, if any, and leaves the indicator clear.
    static SavedError fetch() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        return SavedError(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
    }

    // Makes it what an `except` clause sees: an instance that carries its traceback.
    void normalize() noexcept {
        if (!type_) return;
        PyObject *type = type_.release(), *value = value_.release(), *traceback = traceback_.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        *this = SavedError(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
    }

    // Sets the error indicator to it again; this is left empty.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    // Sets the error indicator to it and keeps it here too.
    void restore_copy() const noexcept {
        PyErr_Restore(type_.copy().release(), value_.copy().release(), traceback_.copy().release());
    }

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    PyObject* type() const noexcept { return type_.get(); }  // borrowed, like the two below
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return traceback_.get(); }

private:
    Ref type_, value_, traceback_;
};

// Saves the error indicator and restores it on scope exit, so cleanup code
// that calls into Python cannot clobber the error being reported.
class ErrorGuard {
public:
    ErrorGuard() noexcept : saved_(SavedError::fetch()) {}
    ~ErrorGuard() { saved_.restore(); }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    SavedError saved_;
};

// Converts any C++ exception in flight into a Python error (bad_alloc becomes
// MemoryError, anything else SystemError). Call only inside a catch handler.
// The unwinding that ends a thread at interpreter shutdown (pthread_exit of
// a daemon thread waiting for the GIL) is rethrown: swallowing it aborts the
// process. That is also why entry points are not noexcept.
void translate_current_exception();

struct TraceSite;

// The single conversion point of an entry point: runs body, and on failure
// adds the traceback entry `site` and returns `failed`.
template <class Result, class Body>
Result guarded(const TraceSite& site, Result failed, Body&& body);

}  // namespace vesk

#include "core/traceback.h"

namespace vesk {

template <class Result, class Body>
Result guarded(const TraceSite& site, Result failed, Body&& body) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    add_traceback(site);
    return failed;
}

}  // namespace vesk
