#include "core/process_exit.h"

#include "core/call.h"

#include <cstdio>
#include <unistd.h>

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
    Ref line = check(PyUnicode_FromFormat("%s: %U%s%U", what, type_name.get(), has_message ? ": " : "",
                                          message.get()));
    if (detail != nullptr) line = check(PyUnicode_FromFormat("%U; %U", line.get(), detail));
    // One line, whatever the message held.
    static const Name replace("replace");
    Ref newline = str("\n"), blank = str(" ");
    return call_method(line.get(), replace, {newline.get(), blank.get()});
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

void flush(const char* stream_name) {
    static const Name flush_name("flush");
    PyObject* stream = PySys_GetObject(stream_name);  // borrowed
    if (stream == nullptr || stream == Py_None) return;
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(stream, flush_name.get(), nullptr));
    PyErr_Clear();
}

void stop_running_loop() {
    static const Name get_running_loop("get_running_loop"), stop("stop");
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return;
    Ref get = Ref::steal(PyObject_GetAttr(asyncio.get(), get_running_loop.get()));
    Ref loop = get ? Ref::steal(PyObject_CallNoArgs(get.get())) : Ref();
    if (loop) Ref::steal(PyObject_CallMethodObjArgs(loop.get(), stop.get(), nullptr));
}

}  // namespace

void end_process_after_failure(const char* what, PyObject* detail) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    try {
        Ref line = failure_line(what, type != nullptr ? type : PyExc_SystemError, value, detail);
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
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {
        PyErr_SetString(PyExc_ConnectionError, what);
        throw PyError{};
    }
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref cause_type = Ref::steal(type), cause = Ref::steal(value), cause_traceback = Ref::steal(traceback);
    Ref text = failure_text(what, cause_type.get(), cause.get(), detail);
    Ref error = check(PyObject_CallOneArg(PyExc_ConnectionError, text.get()));
    PyException_SetCause(error.get(), cause.copy().release());
    PyException_SetContext(error.get(), cause.release());
    PyErr_SetObject(PyExc_ConnectionError, error.get());
    throw PyError{};
}

}  // namespace vesk
