// The few Python statements the utility bodies are made of: os.path calls,
// f-string pieces, one-argument prints and raising a built-in exception.
#pragma once
#include "core/call.h"
#include "core/globals.h"

#include <initializer_list>

namespace vesk {

// The os module as the module-level name `os` is bound now, and its path.
Ref os_module();
Ref os_path_module();

// os.path.<function>(*args)
template <class... Args>
Ref os_path(const Name& function, Args... args) {
    return call_method(os_path_module().get(), function, args...);
}
// os.<function>(*args)
template <class... Args>
Ref os_call(const Name& function, Args... args) {
    return call_method(os_module().get(), function, args...);
}

// What a bare f-string replacement field makes: format(value, "").
Ref formatted(PyObject* value);
// The pieces (all str) joined with nothing in between.
Ref join_text(std::initializer_list<PyObject*> pieces);

// print(*args) through the built-in print resolved at import.
template <class... Args>
void print_line(Args... args) {
    call(builtins().print, args...);
}

// raise exception_type(message): the instance is made by calling the type,
// as a raise statement does.
[[noreturn]] void raise_instance(PyObject* exception_type, PyObject* message);

}  // namespace vesk
