#include "bridge/scope.h"

#include "core/call.h"
#include "core/heap_type.h"

namespace vesk {
namespace {

PyTypeObject* scope_type = nullptr;

BridgeScope* as_scope(PyObject* self) { return reinterpret_cast<BridgeScope*>(self); }

int scope_clear(PyObject* self) {
    BridgeScope* scope = as_scope(self);
    scope->environment.reset();
    scope->yourfunction.reset();
    scope->main.reset();
    scope->admission.reset();
    scope->settings.port.reset();
    scope->settings.token.reset();
    scope->settings.origins.reset();
    scope->settings.max_bytes.reset();
    scope->settings.task_timeout.reset();
    scope->settings.run_file.reset();
    return 0;
}

void scope_dealloc(PyObject* self) {
    dealloc_heap_object<BridgeScope>(self, [](BridgeScope* scope) { scope_clear(reinterpret_cast<PyObject*>(scope)); });
}

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    BridgeScope* scope = as_scope(self);
    Py_VISIT(scope->environment.get());
    Py_VISIT(scope->yourfunction.get());
    Py_VISIT(scope->main.get());
    Py_VISIT(scope->admission.get());
    return visit_type(self, visit, arg);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scope_clear)},
    {0, nullptr},
};

PyType_Spec scope_spec = {"Vesk.start_queue_scope", sizeof(BridgeScope), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                          scope_slots};

}  // namespace

void ready_bridge_scope_type() {
    if (scope_type == nullptr) scope_type = make_heap_type(&scope_spec);
}

Ref make_bridge_scope(PyObject* environment) {
    // Zero-filled by the allocator; a zeroed Ref is an empty one.
    Ref self = check(PyType_GenericAlloc(scope_type, 0));
    as_scope(self.get())->environment = Ref::borrow(environment);
    return self;
}

BridgeScope* bridge_scope_of(FunctionObject* function) { return as_scope(function->closure.get()); }

}  // namespace vesk
