#include "bridge/reply_timer.h"

#include "core/call.h"
#include "core/common_names.h"

namespace vesk {
namespace {

const Name kGetRunningLoop("get_running_loop"), kCurrentTask("current_task"), kCallLater("call_later"),
    kCancel("cancel"), kUncancel("uncancel"), kCancelledError("CancelledError");

// Called by the event loop (no error boundary of ours): notes that it fired
// and cancels the task.
PyObject* reply_overdue(PyObject* state, PyObject*) {
    PyObject* task = PyList_GET_ITEM(state, 0);  // borrowed
    if (task == Py_None) Py_RETURN_NONE;
    Py_INCREF(Py_True);
    if (PyList_SetItem(state, 1, Py_True) < 0) return nullptr;
    return PyObject_CallMethodNoArgs(task, kCancel.interned());
}
PyMethodDef reply_overdue_def = {"reply_overdue", reply_overdue, METH_NOARGS, nullptr};

}  // namespace

ReplyTimer ReplyTimer::for_running_task(PyObject* asyncio) {
    // Interned now: the callback and disarm_after_error must not fail on it.
    for (const Name* name : {&kCancel, &kUncancel, &kCancelledError, &kTimeoutError}) name->get();
    ReplyTimer timer;
    Ref get_running_loop = getattr(asyncio, kGetRunningLoop);
    Ref current_task = getattr(asyncio, kCurrentTask);
    Ref task = call(current_task.get());
    if (task.get() == Py_None) return timer;
    timer.loop_ = call(get_running_loop.get());
    timer.current_task_ = std::move(current_task);
    // Holds the task only while armed: the handler's frame keeps the list,
    // and the task keeps the handler.
    Ref state = check(PyList_New(2));
    PyList_SET_ITEM(state.get(), 0, Py_NewRef(Py_None));
    PyList_SET_ITEM(state.get(), 1, Py_NewRef(Py_False));
    timer.on_overdue_ = check(PyCFunction_New(&reply_overdue_def, state.get()));
    timer.state_ = std::move(state);
    return timer;
}

void ReplyTimer::arm(PyObject* seconds, PyObject* asyncio) {
    asyncio_ = Ref::borrow(asyncio);
    Ref task = call(current_task_.get());
    check_status(PyList_SetItem(state_.get(), 0, task.release()));
    check_status(PyList_SetItem(state_.get(), 1, Py_NewRef(Py_False)));
    handle_ = call_method(loop_.get(), kCallLater, seconds, on_overdue_.get());
}

void ReplyTimer::disarm() {
    Ref handle = std::move(handle_);
    asyncio_.reset();
    check_status(PyList_SetItem(state_.get(), 0, Py_NewRef(Py_None)));
    call_method(handle.get(), kCancel);
}

void ReplyTimer::disarm_after_error() noexcept {
    if (!handle_) return;
    Ref handle = std::move(handle_), asyncio = std::move(asyncio_);
    SavedError error = SavedError::fetch();
    Ref task = Ref::borrow(PyList_GET_ITEM(state_.get(), 0));
    const bool fired = PyList_GET_ITEM(state_.get(), 1) == Py_True;
    PyList_SetItem(state_.get(), 0, Py_NewRef(Py_None));
    Ref::steal(PyObject_CallMethodNoArgs(handle.get(), kCancel.interned()));
    PyErr_Clear();
    if (!fired) return error.restore();
    error.normalize();
    Ref cancelled_type = Ref::steal(PyObject_GetAttr(asyncio.get(), kCancelledError.interned()));
    Ref timeout_type = Ref::steal(PyObject_GetAttr(asyncio.get(), kTimeoutError.interned()));
    Ref timeout = timeout_type ? Ref::steal(PyObject_CallNoArgs(timeout_type.get())) : Ref();
    if (!cancelled_type || !timeout || !PyErr_GivenExceptionMatches(error.type(), cancelled_type.get())) {
        PyErr_Clear();
        return error.restore();
    }
#if PY_VERSION_HEX >= 0x030B0000
    Ref::steal(PyObject_CallMethodNoArgs(task.get(), kUncancel.interned()));
    PyErr_Clear();
#endif
    PyException_SetContext(timeout.get(), Py_NewRef(error.value()));
    PyException_SetCause(timeout.get(), Py_NewRef(error.value()));
    PyErr_SetObject(timeout_type.get(), timeout.get());
}

}  // namespace vesk
