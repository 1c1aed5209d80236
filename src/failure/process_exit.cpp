#include "failure/process_exit.h"
#include "failure/mode.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/module_names.h"

#include <unistd.h>
#include <cstdio>

namespace vesk {
namespace {

// "module.Qualname" as tracebacks print it, bare for built-in exceptions.
Ref exception_type_name(PyObject* type) {
    static const Name module_attr("__module__"), qualname_attr("__qualname__");
    Ref qualname = getattr(type, qualname_attr);
    Ref module = Ref::steal(PyObject_GetAttr(type, module_attr.get()));
    if (!module) PyErr_Clear();
    if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
        return qualname;
    }
    return check(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

}  // namespace

Ref failure_text(const char* what, PyObject* type, PyObject* value, PyObject* detail) {
    Ref type_name = exception_type_name(type);
    Ref message = value != nullptr ? check(PyObject_Str(value)) : str("");
    const bool has_message = PyUnicode_GET_LENGTH(message.get()) > 0;
    Ref line = check(PyUnicode_FromFormat("%s: %U%s%U", what, type_name.get(), has_message ? ": " : "", message.get()));
    if (detail != nullptr) line = check(PyUnicode_FromFormat("%U; %U", line.get(), detail));
    // One line, whatever the message held.
    Ref newline = str("\n"), blank = str(" ");
    return call_method(line.get(), kReplace, newline.get(), blank.get());
}

namespace {

Ref failure_line(const char* what, PyObject* type, PyObject* value, PyObject* detail) {
    Ref text = failure_text(what, type, value, detail);
    return check(PyUnicode_FromFormat("Vesk: %U\n", text.get()));
}

void write_stderr(PyObject* text) {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream != nullptr && stream != Py_None && PyFile_WriteObject(text, stream, Py_PRINT_RAW) == 0) return;
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text));
    if (bytes) fputs(PyBytes_AS_STRING(bytes.get()), stderr);
    PyErr_Clear();
}

// The two below run on the way out of a [[noreturn]] function: they call
// the C API directly, so nothing can throw, and leave no error set.
void flush(const char* stream_name) noexcept {
    PyObject* stream = PySys_GetObject(stream_name);  // borrowed
    if (stream == nullptr || stream == Py_None) return;
    Ref result = Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
    PyErr_Clear();
}

void stop_running_loop() noexcept {
    // Interned when the module body bound `asyncio`.
    PyObject* name = kAsyncio.interned();
    Ref asyncio = name != nullptr ? Ref::steal(PyImport_Import(name)) : Ref();
    Ref loop = asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr)) : Ref();
    if (loop) Ref::steal(PyObject_CallMethod(loop.get(), "stop", nullptr));
    PyErr_Clear();
}

}  // namespace

void end_process_after_failure(const char* what, PyObject* detail) {
    SavedError error = SavedError::fetch();
    error.normalize();
    try {
        Ref line = failure_line(what, error ? error.type() : PyExc_SystemError, error.value(), detail);
        write_stderr(line.get());
    } catch (...) {
        PyErr_Clear();
        fprintf(stderr, "Vesk: %s\n", what);
    }
    flush("stdout");
    flush("stderr");
    fflush(stdout);
    fflush(stderr);
    stop_running_loop();
    PyErr_Clear();
    _exit(1);
}

void raise_connection_error(const char* what, PyObject* detail) {
    SavedError cause = SavedError::fetch();
    cause.normalize();
    if (cause.value() == nullptr) {
        PyErr_SetString(PyExc_ConnectionError, what);
        throw PyError{};
    }
    Ref text = failure_text(what, cause.type(), cause.value(), detail);
    Ref error = check(PyObject_CallOneArg(PyExc_ConnectionError, text.get()));
    PyException_SetCause(error.get(), Py_NewRef(cause.value()));
    PyException_SetContext(error.get(), Py_NewRef(cause.value()));
    PyErr_SetObject(PyExc_ConnectionError, error.get());
    throw PyError{};
}

void fail_exchange(const char* what, PyObject* detail) {
    if (!raising_failures()) end_process_after_failure(what, detail);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
    raise_connection_error(what, detail);
}

}  // namespace vesk
