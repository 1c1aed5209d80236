#include "env/reset_flags.h"

#include "core/call.h"
#include "core/standard.h"

#include <cstring>

namespace vesk {
namespace {

const Name kAny("any");

// -1: not a contiguous native bool array; else whether a byte is set.
int scan_bool_array(PyObject* flags) {
    Py_buffer view;
    if (PyObject_GetBuffer(flags, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return -1;
    }
    int found = -1;
    if (view.format != nullptr && std::strcmp(view.format, "?") == 0 && view.itemsize == 1) {
        const auto* bytes = static_cast<const unsigned char*>(view.buf);
        found = 0;
        for (Py_ssize_t i = 0; i < view.len && !found; ++i) found = bytes[i] != 0;
    }
    PyBuffer_Release(&view);
    return found;
}

}  // namespace

bool any_flag_set(PyObject* flags) {
    PyTypeObject* ndarray = imported_ndarray();
    if (ndarray != nullptr && Py_IS_TYPE(flags, ndarray)) {
        const int found = scan_bool_array(flags);
        if (found >= 0) return found != 0;
    }
    Ref any = call_method(flags, kAny);
    return is_true(any.get());
}

}  // namespace vesk
