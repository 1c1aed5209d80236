#include "core/args.h"

#include "core/error.h"

#include <algorithm>

namespace vesk {
namespace {

[[noreturn]] void raise_count(const Signature& signature, Py_ssize_t defaults, Py_ssize_t given) {
    const Py_ssize_t max = static_cast<Py_ssize_t>(signature.params.size());
    const Py_ssize_t min = max - defaults;
    const Py_ssize_t expected = given < min ? min : max;
    const char* more_or_less = defaults == 0 ? "exactly" : (given < min ? "at least" : "at most");
    raise_format(PyExc_TypeError, kTooFewOrMany, signature.name, more_or_less, expected, expected == 1 ? "" : "s",
                 given);
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (size_t i = 0; i < signature.params.size(); ++i) {
        int equal = PyUnicode_CompareWithASCIIString(keyword, signature.params[i].name);
        if (equal == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

void check_exact_type(const char* parameter, ExactType exact, PyObject* value) {
    PyTypeObject* expected = nullptr;
    switch (exact) {
        case ExactType::any:
            return;
        case ExactType::str:
            expected = &PyUnicode_Type;
            break;
        case ExactType::list:
            expected = &PyList_Type;
            break;
    }
    if (Py_IS_TYPE(value, expected)) return;
    PyTypeObject* given = Py_TYPE(value);
    if (PyType_IsSubtype(given, expected)) {
        raise_format(PyExc_TypeError, kIncorrectTypeOfSubclass, parameter, expected->tp_name, given->tp_name);
    }
    raise_format(PyExc_TypeError, kIncorrectType, parameter, expected->tp_name, given->tp_name);
}

void parse_arguments(const Signature& signature, PyObject* defaults, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames, PyObject** out) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(signature.params.size());
    const Py_ssize_t default_count = defaults != nullptr ? std::min(PyTuple_GET_SIZE(defaults), count) : 0;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > count) raise_count(signature, default_count, positional);

    std::fill(out, out + count, nullptr);
    std::copy(args, args + positional, out);

    // A bad keyword is reported after a missing required argument, so the
    // count error wins when both apply.
    const char* keyword_error = nullptr;
    PyObject* bad_keyword = nullptr;  // borrowed
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            raise_format(PyExc_TypeError, kKeywordsMustBeStrings, signature.name);
        }
        const Py_ssize_t index = parameter_index(signature, keyword);
        if (index < 0 || out[index] != nullptr) {
            if (keyword_error == nullptr) {
                keyword_error = index < 0 ? kUnexpectedKeyword : kMultipleValues;
                bad_keyword = keyword;
            }
            continue;
        }
        out[index] = args[positional + k];
    }

    const Py_ssize_t first_default = count - default_count;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (out[i] != nullptr) continue;
        if (i < first_default) raise_count(signature, default_count, i);
        out[i] = PyTuple_GET_ITEM(defaults, i - first_default);
    }
    if (keyword_error != nullptr) raise_format(PyExc_TypeError, keyword_error, signature.name, bad_keyword);

    for (Py_ssize_t i = 0; i < count; ++i)
        check_exact_type(signature.params[i].name, signature.params[i].exact, out[i]);
}

}  // namespace vesk
