#include "util/genexpr.h"
#include "util/util.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/heap_type.h"
#include "core/traceback.h"

#include <frameobject.h>

namespace vesk {
namespace {

constexpr const char* kName = "genexpr";
constexpr const char* kQualname = "convert_numpy_to_list.<locals>.genexpr";
constexpr const char* kAlreadyExecuting = "generator already executing";

// Like a Python generator, as far as code can see it: running while it
// converts an element, and done (no frame) once it ended or failed.
struct GenexprObject {
    PyObject_HEAD
    Ref source;  // iterator over the tuple being converted; empty once done
    Ref frame;   // made when gi_frame is first read
    bool started, running;
};

PyTypeObject* genexpr_type = nullptr;
PyObject* genexpr_code = nullptr;  // gi_code of every genexpr, kept for the process

GenexprObject* as_genexpr(PyObject* self) { return reinterpret_cast<GenexprObject*>(self); }

// --- slots ---------------------------------------------------------------

int genexpr_clear(PyObject* self) {
    GenexprObject* g = as_genexpr(self);
    g->source.reset();
    g->frame.reset();
    return 0;
}

void genexpr_dealloc(PyObject* self) {
    dealloc_heap_object<GenexprObject>(self, [](GenexprObject* g) { genexpr_clear(reinterpret_cast<PyObject*>(g)); });
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg) {
    GenexprObject* g = as_genexpr(self);
    Py_VISIT(g->source.get());
    Py_VISIT(g->frame.get());
    return visit_type(self, visit, arg);
}

// One element: the next item of the source, converted through the
// module-level name as it is bound now. NULL without an error at the end.
PyObject* genexpr_next(PyObject* self) {
    GenexprObject* g = as_genexpr(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, kAlreadyExecuting);
        return nullptr;
    }
    if (!g->source) return nullptr;  // done earlier
    g->started = g->running = true;
    PyObject* result = guarded({kConvertLocals.trace_name, kName, line::convert_genexpr},
                               static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
                                   Ref item = Ref::steal(PyIter_Next(g->source.get()));
                                   if (!item) {
                                       if (PyErr_Occurred()) throw_error();
                                       return nullptr;
                                   }
                                   return convert_through_module_name(item.get()).release();
                               });
    g->running = false;
    // The end and an error alike finish it, as they finish a generator.
    if (result == nullptr) genexpr_clear(self);
    return result;
}

PyObject* genexpr_repr(PyObject* self) { return PyUnicode_FromFormat("<generator object %s at %p>", kQualname, self); }

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString(kName); }
PyObject* get_qualname(PyObject*, void*) { return PyUnicode_FromString(kQualname); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_genexpr(self)->running); }
#if PY_VERSION_HEX >= 0x030B0000
PyObject* get_suspended(PyObject* self, void*) {
    GenexprObject* g = as_genexpr(self);
    return PyBool_FromLong(g->started && !g->running && g->source);
}
#endif
PyObject* get_code(PyObject*, void*) { return Py_NewRef(genexpr_code); }
PyObject* get_yieldfrom(PyObject*, void*) { Py_RETURN_NONE; }

// It runs no Python code, so its frame only names the code, as a traceback
// entry's does; None once it is done.
PyObject* get_frame(PyObject* self, void*) {
    GenexprObject* g = as_genexpr(self);
    if (!g->source) Py_RETURN_NONE;
    if (!g->frame) {
        PyObject* globals = module_namespace();  // borrowed
        g->frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(genexpr_code), globals, nullptr)));
    }
    return Py_XNewRef(g->frame.get());
}

// A code object named like the generator, flagged as a generator's.
Ref make_code() {
    Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFileName, kName, line::convert_genexpr)));
    Ref method = getattr(code.get(), kReplace);
    Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR);
#if PY_VERSION_HEX >= 0x030B0000
    Ref qualname = str(kQualname);
    PyObject* values[] = {flags.get(), qualname.get()};
    Ref kwnames = check(Py_BuildValue("(ss)", "co_flags", "co_qualname"));
#else
    PyObject* values[] = {flags.get()};
    Ref kwnames = check(Py_BuildValue("(s)", "co_flags"));
#endif
    return check(PyObject_Vectorcall(method.get(), values, 0, kwnames.get()));
}

// --- tables --------------------------------------------------------------

PyGetSetDef genexpr_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030B0000
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot genexpr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(genexpr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(genexpr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(genexpr_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(genexpr_next)},
    {Py_tp_repr, reinterpret_cast<void*>(genexpr_repr)},
    {Py_tp_getset, genexpr_getset},
    {0, nullptr},
};

PyType_Spec genexpr_spec = {
    "Vesk.genexpr", sizeof(GenexprObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, genexpr_slots,
};

}  // namespace

void ready_genexpr_type() {
    if (genexpr_type != nullptr) return;
    genexpr_code = make_code().release();
    genexpr_type = make_heap_type(&genexpr_spec);
}

Ref make_genexpr(PyObject* source) {
    // The allocator zero-fills (an empty Ref) and starts GC tracking.
    Ref self = check(PyType_GenericAlloc(genexpr_type, 0));
    as_genexpr(self.get())->source = Ref::borrow(source);
    return self;
}

}  // namespace vesk
