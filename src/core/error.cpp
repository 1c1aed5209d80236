#include "core/error.h"

#include <cxxabi.h>

#include <cstdarg>
#include <exception>
#include <new>

namespace vesk {

void throw_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Vesk: a C API call failed without setting an error");
    throw PyError{};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyError{};
}

// The catch of __forced_unwind binds a reference to an exception object that
// does not exist (the unwinding is not a C++ throw): UBSan's null check would
// report it at every exit while the bridge thread runs. Nothing here reads it.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((no_sanitize("null")))
#endif
void translate_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Vesk: error reported without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "Vesk: unknown C++ exception");
    }
}

}  // namespace vesk
