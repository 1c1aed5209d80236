// Interned Python strings for attribute and global names, made once.
#pragma once
#include <Python.h>

namespace vesk {

class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const noexcept { return text_; }
    // Borrowed; interned on first use and kept for the life of the process.
    PyObject* get() const;
    // The string get() made, for code that must not throw (slots CPython
    // calls without an error boundary): intern it beforehand, when the
    // type is made.
    PyObject* interned() const noexcept { return object_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace vesk
