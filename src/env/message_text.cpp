// A JSON encoder for the messages one_task sends. The C encoder of the json
// module spends most of a step's time in float.__repr__; std::to_chars gives
// the same shortest round-trip digits, which are laid out here as repr does.
#include "env/message_text.h"

#include "core/buffer_view.h"
#include "core/call.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "core/standard.h"
#include "env/message_keys.h"
#include "util/util.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace vesk {
namespace {

// Deeper data goes to json.dumps, which also reports cycles.
constexpr int kMaxDepth = 64;
constexpr char kHex[] = "0123456789abcdef";

class Writer {
public:
    std::string out;
    PyObject* array = nullptr;  // written from its buffer where met (borrowed)

    // false: not ours to encode; the caller falls back to json.dumps.
    bool value(PyObject* o, int depth) {
        if (o == Py_None) return put("null");
        if (o == Py_True) return put("true");
        if (o == Py_False) return put("false");
        if (PyUnicode_Check(o)) return string(o);
        if (PyLong_Check(o)) return integer(o);
        if (PyFloat_Check(o)) return real(PyFloat_AS_DOUBLE(o));
        if (o == array) return float_array(o);
        if (depth >= kMaxDepth) return false;
        if (PyList_CheckExact(o)) return items(PySequence_Fast_ITEMS(o), PyList_GET_SIZE(o), depth);
        if (PyTuple_CheckExact(o)) return items(PySequence_Fast_ITEMS(o), PyTuple_GET_SIZE(o), depth);
        if (PyDict_CheckExact(o)) return dict(o, depth);
        return false;
    }

private:
    // As convert_numpy_to_list's lists of float32 values would be written.
    bool float_array(PyObject* o) {
        BufferView view;
        if (!view.open(o)) return false;
        const Py_buffer& buffer = view.buffer();
        const char* next = static_cast<const char*>(buffer.buf);
        if (view.code() == 'f' && buffer.itemsize == 4) return rows<float>(buffer, 0, next);
        if (view.code() == 'd' && buffer.itemsize == 8) return rows<double>(buffer, 0, next);
        return false;
    }

    template <class T>
    bool rows(const Py_buffer& view, int dimension, const char*& next) {
        if (dimension == view.ndim) {
            T value;
            std::memcpy(&value, next, sizeof value);
            next += sizeof value;
            // A value that changed since step looked at it is left to NumPy.
            if constexpr (std::is_same_v<T, double>) {
                if (!casts_quietly_to_float32(value)) return false;
            }
            return real(static_cast<double>(static_cast<float>(value)));
        }
        out += '[';
        for (Py_ssize_t i = 0; i < view.shape[dimension]; ++i) {
            if (i > 0) out += ", ";
            if (!rows<T>(view, dimension + 1, next)) return false;
        }
        out += ']';
        return true;
    }

    bool put(const char* text) {
        out += text;
        return true;
    }

    // Nothing inside may run Python code: the list cannot change under us.
    bool items(PyObject** item, Py_ssize_t size, int depth) {
        out += '[';
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0) out += ", ";
            if (!value(item[i], depth + 1)) return false;
        }
        out += ']';
        return true;
    }

    bool dict(PyObject* o, int depth) {
        out += '{';
        Py_ssize_t position = 0;
        PyObject *key, *item;  // borrowed
        bool first = true;
        while (PyDict_Next(o, &position, &key, &item)) {
            if (!PyUnicode_Check(key)) return false;  // json.dumps turns other keys into text its own way
            if (!first) out += ", ";
            first = false;
            if (!string(key)) return false;
            out += ": ";
            if (!value(item, depth + 1)) return false;
        }
        out += '}';
        return true;
    }

    // ensure_ascii: printable ASCII as is, the rest as \uXXXX (pairs above
    // U+FFFF), with JSON's short escapes.
    bool string(PyObject* o) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(o) < 0) {
            PyErr_Clear();
            return false;
        }
#endif
        const int kind = PyUnicode_KIND(o);
        const void* data = PyUnicode_DATA(o);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(o);
        out += '"';
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                out += static_cast<char>(c);
                continue;
            }
            out += '\\';
            switch (c) {
                case '\\':
                    out += '\\';
                    continue;
                case '"':
                    out += '"';
                    continue;
                case '\b':
                    out += 'b';
                    continue;
                case '\f':
                    out += 'f';
                    continue;
                case '\n':
                    out += 'n';
                    continue;
                case '\r':
                    out += 'r';
                    continue;
                case '\t':
                    out += 't';
                    continue;
                default:
                    break;
            }
            if (c >= 0x10000) {
                const Py_UCS4 high = 0xD800 - (0x10000 >> 10) + (c >> 10);
                hex4(high);
                out += '\\';
                c = 0xDC00 + (c & 0x3FF);
            }
            hex4(c);
        }
        out += '"';
        return true;
    }

    void hex4(Py_UCS4 c) {
        const char digits[5] = {'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf], kHex[c & 0xf]};
        out.append(digits, 5);
    }

    // int.__repr__, which json uses for int subclasses too.
    bool integer(PyObject* o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            char buffer[24];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
            out.append(buffer, result.ptr);
            return true;
        }
        // Huge: int's own repr (which may refuse past the digit limit; then
        // json.dumps is left to say so).
        Ref text = Ref::steal(PyLong_Type.tp_repr(o));
        if (!text) {
            PyErr_Clear();
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return false;
        }
        out.append(utf8, static_cast<size_t>(size));
        return true;
    }

    // float.__repr__: the shortest digits that read back as x, in positional
    // form from 1e-4 up to below 1e16 (with ".0" when integral), otherwise
    // d[.ddd]e±XX. JSON's default allow_nan spells the non-finite ones.
    bool real(double x) {
        if (std::isnan(x)) return put("NaN");
        if (std::isinf(x)) return put(x > 0 ? "Infinity" : "-Infinity");
        if (x == 0) return put(std::signbit(x) ? "-0.0" : "0.0");
        char buffer[40];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
        // buffer: [-]d[.ddd]e±XX
        const char* p = buffer;
        if (*p == '-') out += *p++;
        char digits[20];
        int count = 0;
        while (*p != 'e') {
            if (*p != '.') digits[count++] = *p;
            ++p;
        }
        int exponent = 0;
        std::from_chars(p + (p[1] == '+' ? 2 : 1), result.ptr, exponent);
        const int point = exponent + 1;  // digits are 0.ddd x 10^point
        if (point <= -4 || point > 16) {
            out += digits[0];
            if (count > 1) {
                out += '.';
                out.append(digits + 1, count - 1);
            }
            char tail[8];
            const int written =
                std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
            out.append(tail, written);
        } else if (point <= 0) {
            out += "0.";
            out.append(-point, '0');
            out.append(digits, count);
        } else if (point >= count) {
            out.append(digits, count);
            out.append(point - count, '0');
            out += ".0";
        } else {
            out.append(digits, point);
            out += '.';
            out.append(digits + point, count - point);
        }
        return true;
    }
};

Ref encode(PyObject* value, PyObject* array) {
    Writer writer;
    writer.array = array;
    writer.out.reserve(256);
    if (!writer.value(value, 0)) return Ref();
    // Pure ASCII: the str is made straight from the bytes.
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(writer.out.size()), 127));
    std::memcpy(PyUnicode_DATA(text.get()), writer.out.data(), writer.out.size());
    return text;
}

}  // namespace

Ref encode_json_like_dumps(PyObject* value) { return encode(value, nullptr); }

Ref message_text(PyObject* msg, PyObject* step_array) {
    if (step_array != nullptr) {
        if (standard_json()) {
            if (Ref text = encode(msg, step_array)) return text;
        }
        // What step would have sent: the action converted by the standard function.
        Ref converted = call(standard_convert(), step_array);
        check_status(PyDict_SetItem(msg, kAction.get(), converted.get()));
    }
    if (standard_json()) {
        if (Ref text = encode_json_like_dumps(msg)) return text;
    }
    Ref json = global(kJson);
    return call_method(json.get(), kDumps, msg);
}

}  // namespace vesk
