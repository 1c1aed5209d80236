#include "util/genexpr.h"
#include "util/util.h"

#include "core/call.h"
#include "core/globals.h"
#include "core/heap_type.h"

namespace vesk {
namespace {

constexpr const char* kName = "genexpr";
constexpr const char* kQualname = "convert_numpy_to_list.<locals>.genexpr";
constexpr const char* kTraceName = "Vesk.convert_numpy_to_list.genexpr";
constexpr int kLine = 18;  // the tuple branch of convert_numpy_to_list

struct GenexprObject {
    PyObject_HEAD
    Ref source;  // iterator over the tuple being converted
};

PyTypeObject* genexpr_type = nullptr;

GenexprObject* as_genexpr(PyObject* self) { return reinterpret_cast<GenexprObject*>(self); }

// --- slots ---------------------------------------------------------------

int genexpr_clear(PyObject* self) {
    as_genexpr(self)->source.reset();
    return 0;
}

void genexpr_dealloc(PyObject* self) {
    dealloc_heap_object<GenexprObject>(self, [](GenexprObject* g) { g->source.reset(); });
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_genexpr(self)->source.get());
    return visit_type(self, visit, arg);
}

// One element: the next item of the source, converted through the
// module-level name as it is bound now. NULL without an error at the end.
PyObject* genexpr_next(PyObject* self) {
    return guarded(kTraceName, kLine, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        GenexprObject* g = as_genexpr(self);
        if (!g->source) return nullptr;  // exhausted earlier
        Ref item = Ref::steal(PyIter_Next(g->source.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_error();
            g->source.reset();
            return nullptr;
        }
        return convert_through_module_name(item.get()).release();
    });
}

PyObject* genexpr_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %s at %p>", kQualname, self);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString(kName); }
PyObject* get_qualname(PyObject*, void*) { return PyUnicode_FromString(kQualname); }

// --- tables --------------------------------------------------------------

PyGetSetDef genexpr_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
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
    "Vesk.genexpr",
    sizeof(GenexprObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    genexpr_slots,
};

}  // namespace

void ready_genexpr_type() {
    if (genexpr_type == nullptr) genexpr_type = make_heap_type(&genexpr_spec);
}

Ref make_genexpr(PyObject* source) {
    // The allocator zero-fills (an empty Ref) and starts GC tracking.
    Ref self = check(PyType_GenericAlloc(genexpr_type, 0));
    as_genexpr(self.get())->source = Ref::borrow(source);
    return self;
}

}  // namespace vesk
