#include "env/reset_flags.h"

#include "core/buffer_view.h"
#include "core/call.h"
#include "core/standard.h"

namespace vesk {
namespace {

const Name kAny("any");

// -1: not a contiguous native bool array; else whether a byte is set.
int scan_bool_array(PyObject* flags) {
    BufferView view;
    if (!view.open(flags) || view.code() != '?' || view.buffer().itemsize != 1) return -1;
    const auto* bytes = static_cast<const unsigned char*>(view.buffer().buf);
    for (Py_ssize_t i = 0; i < view.buffer().len; ++i) {
        if (bytes[i] != 0) return 1;
    }
    return 0;
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
