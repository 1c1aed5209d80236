// Short forms of the C API calls the module bodies make; each throws PyError.
#pragma once
#include "core/error.h"
#include "core/name.h"

#include <initializer_list>
#include <type_traits>

namespace vesk {

inline Ref getattr(PyObject* object, const Name& name) { return check(PyObject_GetAttr(object, name.get())); }
inline void setattr(PyObject* object, const Name& name, PyObject* value) {
    check_status(PyObject_SetAttr(object, name.get(), value));
}
// hasattr() semantics: only AttributeError counts as absence.
bool hasattr(PyObject* object, const Name& name);

template <class... Args>
concept PyObjects = (std::is_convertible_v<Args, PyObject*> && ...);

// callable(*args); arguments are borrowed. The slot in front of them lets
// vectorcall prepend a bound method's self without copying.
template <class... Args>
    requires PyObjects<Args...>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return check(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.name(*args)
template <class... Args>
    requires PyObjects<Args...>
Ref call_method(PyObject* object, const Name& name, Args... args) {
    PyObject* stack[] = {object, args...};
    return check(
        PyObject_VectorcallMethod(name.get(), stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg, **{kwname: kwvalue}) and callable(arg1, arg2, **{kwname: kwvalue})
Ref call_with_keyword(PyObject* callable, PyObject* arg, const Name& kwname, PyObject* kwvalue);
Ref call_with_keyword(PyObject* callable, PyObject* arg1, PyObject* arg2, const Name& kwname, PyObject* kwvalue);

bool is_true(PyObject* object);

// import_module(kQueue): the module of that name, as `import` finds it.
// Module names are interned names too (module_names.h, common_names.h).
Ref import_module(const Name& module);

// Fresh str / int objects.
Ref str(const char* text);
Ref integer(long value);

// A new dict whose keys are given in order.
struct Item {
    const Name& key;
    PyObject* value;  // borrowed
};
Ref make_dict(std::initializer_list<Item> items);

}  // namespace vesk
