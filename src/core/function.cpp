#include "core/function.h"
#include "core/common_names.h"

#include "core/call.h"
#include "core/caller.h"
#include "core/getset.h"
#include "core/heap_type.h"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace vesk {
namespace {

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* function = as_function(callable);
    const FunctionSpec& spec = *function->spec;
    RunningFunction running(spec.signature.name);
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback(spec.site());
        return nullptr;
    }
    // Held for the call: the body may run code that replaces __defaults__
    // while it still uses a default value.
    Ref defaults = function->defaults.copy();
    PyObject* result = guarded(spec.site(), static_cast<PyObject*>(nullptr), [&] {
        PyObject* parsed[kMaxParameters];
        parse_arguments(spec.signature, defaults.get(), args, nargsf, kwnames, parsed);
        return spec.body(function, parsed).release();
    });
    Py_LeaveRecursiveCall();
    return result;
}

// --- slots ---------------------------------------------------------------

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    f->name.reset();
    f->qualname.reset();
    f->module.reset();
    f->doc.reset();
    f->defaults.reset();
    f->kwdefaults.reset();
    f->annotations.reset();
    f->globals.reset();
    f->dict.reset();
    f->code.reset();
    f->closure.reset();
    f->type_params.reset();
    return 0;
}

void function_dealloc(PyObject* self) {
    dealloc_heap_object<FunctionObject>(self, [](FunctionObject* f) {
        if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(reinterpret_cast<PyObject*>(f));
        function_clear(reinterpret_cast<PyObject*>(f));
    });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name.get());
    Py_VISIT(f->qualname.get());
    Py_VISIT(f->module.get());
    Py_VISIT(f->doc.get());
    Py_VISIT(f->defaults.get());
    Py_VISIT(f->kwdefaults.get());
    Py_VISIT(f->annotations.get());
    Py_VISIT(f->globals.get());
    Py_VISIT(f->dict.get());
    Py_VISIT(f->code.get());
    Py_VISIT(f->closure.get());
    Py_VISIT(f->type_params.get());
    return visit_type(self, visit, arg);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

// --- getset ----------------------------------------------------------------

bool is_tuple(PyObject* v) { return PyTuple_Check(v); }
bool is_dict(PyObject* v) { return PyDict_Check(v); }

// __defaults__, __kwdefaults__ and __annotations__: None or deletion empties
// the field, anything else must be of the field's type, as for Python functions.
struct OptionalField {
    Ref FunctionObject::* field;
    bool (*accepts)(PyObject*);
    const char* message;
};
OptionalField defaults_field = {&FunctionObject::defaults, is_tuple, "__defaults__ must be set to a tuple object"};
OptionalField kwdefaults_field = {&FunctionObject::kwdefaults, is_dict, "__kwdefaults__ must be set to a dict object"};
OptionalField annotations_field = {&FunctionObject::annotations, is_dict,
                                   "__annotations__ must be set to a dict object"};

int set_optional_field(PyObject* self, PyObject* value, void* closure) {
    const OptionalField& field = *static_cast<const OptionalField*>(closure);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !field.accepts(value)) {
        PyErr_SetString(PyExc_TypeError, field.message);
        return -1;
    }
    as_function(self)->*field.field = Ref::borrow(value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_field_checked(as_function(self)->name, value, is_str, kNameMustBeString);
}
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_field_checked(as_function(self)->qualname, value, is_str, kQualnameMustBeString);
}
PyObject* get_module(PyObject* self, void*) { return get_field(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->module = Ref::borrow(value);  // deleting leaves None, as for Python functions
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return get_field(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value != nullptr ? value : Py_None);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return get_field(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return get_field(as_function(self)->kwdefaults); }
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    // An emptied field reads back as a new empty dict.
    if (!f->annotations) f->annotations = Ref::steal(PyDict_New());
    return Py_XNewRef(f->annotations.get());
}
PyObject* get_globals(PyObject* self, void*) { return get_field(as_function(self)->globals); }

// A code object carrying the real parameter names, so inspect.signature works.
Ref build_code(const FunctionSpec& spec) {
    Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFileName, spec.signature.name, spec.line)));
    const Py_ssize_t count = static_cast<Py_ssize_t>(spec.signature.params.size());
    Ref names = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(names.get(), i, check(PyUnicode_InternFromString(spec.signature.params[i].name)).release());
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.coroutine) flags |= CO_COROUTINE;
    Ref kwnames =
        check(Py_BuildValue("(sssss)", "co_argcount", "co_nlocals", "co_varnames", "co_flags", "co_posonlyargcount"));
    Ref argcount = integer(static_cast<long>(count));
    Ref flag_value = integer(flags);
    Ref zero = integer(0);
    Ref method = getattr(code.get(), kReplace);
    PyObject* stack[] = {argcount.get(), argcount.get(), names.get(), flag_value.get(), zero.get()};
    return check(PyObject_Vectorcall(method.get(), stack, 0, kwnames.get()));
}

PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guarded(f->spec->site(), static_cast<PyObject*>(nullptr), [&] {
        if (!f->code) f->code = build_code(*f->spec);
        return Py_NewRef(f->code.get());
    });
}
int set_code(PyObject*, PyObject*, void*) {
    PyErr_SetString(PyExc_AttributeError, "__code__ of a Vesk function cannot be replaced");
    return -1;
}

#if PY_VERSION_HEX >= 0x030C0000
// As Python functions have it since 3.12, so functools.wraps copies it
// instead of leaving it in the wrapper's __dict__.
PyObject* get_type_params(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return f->type_params ? Py_NewRef(f->type_params.get()) : PyTuple_New(0);
}
int set_type_params(PyObject* self, PyObject* value, void*) {
    return set_field_checked(as_function(self)->type_params, value, is_tuple, "__type_params__ must be set to a tuple");
}
#endif

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_optional_field, nullptr, &defaults_field},
    {"__kwdefaults__", get_kwdefaults, set_optional_field, nullptr, &kwdefaults_field},
    {"__annotations__", get_annotations, set_optional_field, nullptr, &annotations_field},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "Vesk.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    function_slots,
};

}  // namespace

void ready_function_type() {
    if (function_type != nullptr) return;
    function_type = make_heap_type(&function_spec);
    // Older CPythons ignore the offset members of a spec; set them directly.
    function_type->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type->tp_dictoffset = offsetof(FunctionObject, dict);
    function_type->tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
}

bool is_function_of(PyObject* object, const FunctionSpec& spec) {
    return Py_IS_TYPE(object, function_type) && as_function(object)->spec == &spec;
}

Ref make_defaults(std::span<const DefaultValue> defaults) {
    if (defaults.empty()) return Ref();
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
    for (size_t i = 0; i < defaults.size(); ++i) {
        PyObject* value = nullptr;
        switch (defaults[i]) {
            case DefaultValue::none:
                value = Py_NewRef(Py_None);
                break;
            case DefaultValue::true_value:
                value = Py_NewRef(Py_True);
                break;
            case DefaultValue::zero:
                value = check(PyLong_FromLong(0)).release();
                break;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple;
}

Ref make_qualname(const FunctionSpec& spec) {
    if (spec.owner.qualname == nullptr) return str(spec.signature.name);
    return check(PyUnicode_FromFormat("%s.%s", spec.owner.qualname, spec.signature.name));
}

Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure) {
    // The allocator zero-fills the object, and a zeroed Ref is an empty one.
    Ref self = check(PyType_GenericAlloc(function_type, 0));
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = str(spec.signature.name);
    f->qualname = make_qualname(spec);
    f->module = str("Vesk");
    f->doc = Ref::borrow(Py_None);
    f->defaults = make_defaults(spec.defaults);
    f->annotations = check(PyDict_New());
    for (const Annotation& annotation : spec.annotations) {
        check_status(PyDict_SetItemString(f->annotations.get(), annotation.parameter, str(annotation.text).get()));
    }
    f->globals = Ref::borrow(globals);
    f->closure = Ref::borrow(closure);
    return self;
}

}  // namespace vesk
