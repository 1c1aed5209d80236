// The steps of Python's class creation, for a class statement made in C++:
// the same bases, metaclass and namespace as `class Name(*bases):` gets.
#pragma once
#include "core/ref.h"

namespace vesk {

// PEP 560: bases that are not classes may stand for others through
// __mro_entries__. Returns `bases` itself when none does.
Ref resolve_bases(PyObject* bases);

// The most derived metaclass of the bases (type when there are none);
// TypeError on a metaclass conflict.
Ref pick_metaclass(PyObject* bases);

// metaclass.__prepare__(name, bases) where it has one, else a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases);

}  // namespace vesk
