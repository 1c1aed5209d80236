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

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace vesk
