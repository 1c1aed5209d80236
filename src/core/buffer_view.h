// A C-contiguous buffer of one scalar type, released however its user ends:
// what the array fast paths read straight from an ndarray.
#pragma once
#include <Python.h>

namespace vesk {

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    // True with the buffer held when `object` exports a C-contiguous buffer
    // whose format is one type code; otherwise false with no error set.
    bool open(PyObject* object) {
        if (PyObject_GetBuffer(object, &buffer_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        const char* format = buffer_.format;
        return format != nullptr && format[0] != '\0' && format[1] == '\0';
    }

    char code() const { return buffer_.format[0]; }
    const Py_buffer& buffer() const { return buffer_; }

private:
    Py_buffer buffer_{};
    bool held_ = false;
};

}  // namespace vesk
