// The module's own function type, used for the methods of Vesk_Pal_st and
// for nested functions. Each function is described by a static FunctionSpec.
#pragma once
#include "core/args.h"
#include "core/ref.h"
#include "core/source_lines.h"
#include "core/traceback.h"

#include <span>

namespace vesk {

struct FunctionObject;

// A method or nested function body: `args` holds one borrowed object per
// parameter, already checked. Returns a new reference or throws PyError.
using FunctionBody = Ref (*)(FunctionObject* function, PyObject* const* args);

// Literal default values a row can name.
enum class DefaultValue { none, true_value, zero };

struct Annotation {
    const char* parameter;  // "return" for the return annotation
    const char* text;       // stored as a string, never evaluated
};

struct FunctionSpec {
    Signature signature;  // bare name and parameters
    const Owner& owner;   // __qualname__ and traceback name derive from it
    int line;
    std::span<const DefaultValue> defaults;  // for the trailing parameters
    std::span<const Annotation> annotations;
    FunctionBody body;
    bool coroutine = false;  // calling it returns a coroutine

    TraceSite site() const { return {owner.trace_name, signature.name, line}; }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Ref name, qualname, module, doc, defaults, kwdefaults, annotations, globals, dict, code;
    Ref closure;      // the enclosing scope, for nested functions
    Ref type_params;  // __type_params__ (3.12+), empty: ()
    PyObject* weakrefs;
};

// Makes a function object for `spec`. `globals` is the module namespace;
// `closure` may be NULL.
Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* closure);

// The __qualname__ of the functions (and coroutines) `spec` makes.
Ref make_qualname(const FunctionSpec& spec);

// `object` is a function object made for `spec` (borrowed, may be anything):
// it runs that row's body, whatever its name or attributes say.
bool is_function_of(PyObject* object, const FunctionSpec& spec);

// The defaults tuple a row names (NULL Ref when it has none).
Ref make_defaults(std::span<const DefaultValue> defaults);

// Created by the execution step.
void ready_function_type();

}  // namespace vesk
