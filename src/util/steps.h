// The few Python statements the utility bodies are made of: os.path calls,
// f-string pieces, one-argument prints and raising a built-in exception.
#pragma once
#include "core/call.h"

#include <initializer_list>

namespace vesk {

// os.path.<function>(*args), with `os` looked up as a module-level name now.
Ref os_path(const Name& function, std::initializer_list<PyObject*> args);
// os.<function>(*args), likewise.
Ref os_call(const Name& function, std::initializer_list<PyObject*> args);

// What a bare f-string replacement field makes: format(value, "").
Ref formatted(PyObject* value);
// The pieces (all str) joined with nothing in between.
Ref join_text(std::initializer_list<PyObject*> pieces);

// print(*args) through the built-in print resolved at import.
void print_line(std::initializer_list<PyObject*> args);

// raise exception_type(message): the instance is made by calling the type,
// as a raise statement does.
[[noreturn]] void raise_instance(PyObject* exception_type, PyObject* message);

}  // namespace vesk
