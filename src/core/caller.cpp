#include "core/caller.h"

#include "core/call.h"

#include <frameobject.h>

namespace vesk {
namespace {

thread_local RunningFunction* innermost = nullptr;

PyObject* current_frame() noexcept { return reinterpret_cast<PyObject*>(PyEval_GetFrame()); }

}  // namespace

RunningFunction::RunningFunction(const char* name) noexcept : name_(name), frame_(current_frame()), below_(innermost) {
    innermost = this;
}

RunningFunction::~RunningFunction() { innermost = below_; }

Ref name_of_caller() {
    PyObject* frame = current_frame();
    const RunningFunction* caller = innermost != nullptr ? innermost->below() : nullptr;
    if (caller != nullptr && caller->frame() == frame) return str(caller->name());
    if (frame == nullptr) return Ref::borrow(Py_None);
    static const Name f_code("f_code"), co_name("co_name");
    Ref code = getattr(frame, f_code);
    return getattr(code.get(), co_name);
}

}  // namespace vesk
