#include "util/float32_list.h"

#include "core/buffer_view.h"
#include "core/error.h"
#include "util/util.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vesk {
namespace {

template <class T>
float element(const char* p) {
    if constexpr (std::is_same_v<T, bool>) {
        return *reinterpret_cast<const uint8_t*>(p) != 0 ? 1.0f : 0.0f;  // any nonzero byte is True
    } else {
        T value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<float>(value);
    }
}

// NumPy's cast of a float64 to float32 reports overflow, underflow and a
// signalling NaN through its errstate; such arrays are left to NumPy.
bool casts_quietly(const Py_buffer& view, Py_ssize_t count) {
    const char* p = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < count; ++i) {
        double x;
        std::memcpy(&x, p + i * sizeof x, sizeof x);
        if (!casts_quietly_to_float32(x)) return false;
    }
    return true;
}

// Lists nested as the shape says, floats at the bottom, as tolist() makes.
template <class T>
Ref build(const Py_buffer& view, int dimension, const char*& next) {
    if (dimension == view.ndim) {
        const float value = element<T>(next);
        next += sizeof(T);
        return check(PyFloat_FromDouble(static_cast<double>(value)));
    }
    const Py_ssize_t length = view.shape[dimension];
    Ref list = check(PyList_New(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyList_SET_ITEM(list.get(), i, build<T>(view, dimension + 1, next).release());
    }
    return list;
}

template <class T>
Ref build_all(const Py_buffer& view) {
    const char* next = static_cast<const char*>(view.buf);
    return build<T>(view, 0, next);
}

Ref build_for(const Py_buffer& view, char code) {
    switch (code) {
        case 'f':
            return build_all<float>(view);
        case 'd':
            return build_all<double>(view);
        case '?':
            return build_all<bool>(view);
        case 'b':
            return build_all<int8_t>(view);
        case 'B':
            return build_all<uint8_t>(view);
        case 'h':
            return build_all<int16_t>(view);
        case 'H':
            return build_all<uint16_t>(view);
        case 'i':
            return build_all<int32_t>(view);
        case 'I':
            return build_all<uint32_t>(view);
        case 'l':
        case 'q':
            return build_all<int64_t>(view);
        case 'L':
        case 'Q':
            return build_all<uint64_t>(view);
        default:
            return Ref();
    }
}

Py_ssize_t expected_itemsize(char code) {
    switch (code) {
        case '?':
        case 'b':
        case 'B':
            return 1;
        case 'h':
        case 'H':
            return 2;
        case 'f':
        case 'i':
        case 'I':
            return 4;
        case 'd':
        case 'l':
        case 'q':
        case 'L':
        case 'Q':
            return 8;
        default:
            return 0;
    }
}

}  // namespace

bool casts_quietly_to_float32(double x) {
    const double magnitude = std::fabs(x);
    return !(std::isnan(x) || (std::isfinite(x) && magnitude > FLT_MAX) || (x != 0 && magnitude < FLT_MIN));
}

bool is_quiet_float_array(PyObject* array) {
    BufferView view;
    if (!view.open(array)) return false;
    const Py_buffer& buffer = view.buffer();
    if (view.code() == 'f') return buffer.itemsize == 4;
    return view.code() == 'd' && buffer.itemsize == 8 && casts_quietly(buffer, buffer.len / 8);
}

Ref float32_list(PyObject* array) {
    BufferView view;
    if (!view.open(array)) return Ref();
    const Py_buffer& buffer = view.buffer();
    const char code = view.code();
    if (buffer.itemsize != expected_itemsize(code)) return Ref();
    if (code == 'd' && !casts_quietly(buffer, buffer.len / 8)) return Ref();
    return build_for(buffer, code);
}

}  // namespace vesk
