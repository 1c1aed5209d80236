#include "failure/exchange_state.h"

#include "core/call.h"
#include "core/common_names.h"

namespace vesk {
namespace {

const Name kAllocateLock("allocate_lock");

constexpr const char* kCapsuleName = "Vesk.exchange_state";

// id(queue) -> capsule holding its state; kept for the process. Keyed by
// identity: a queue class may define __eq__ and __hash__ as it likes.
PyObject* states = nullptr;

void free_state(PyObject* capsule) {
    auto* state = static_cast<ExchangeState*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (state == nullptr) return PyErr_Clear();
    if (state->gate != nullptr) PyThread_free_lock(state->gate);
    delete state;
}

// The queue's weak reference died: its id may now be given to another object.
PyObject* forget_state(PyObject* key, PyObject*) {
    if (states != nullptr && PyDict_DelItem(states, key) < 0) PyErr_Clear();
    Py_RETURN_NONE;
}
PyMethodDef forget_state_def = {"forget_exchange_state", forget_state, METH_O, nullptr};

Ref make_state(PyObject* send_queue, PyObject* key) {
    auto* fresh = new ExchangeState();
    Ref capsule = Ref::steal(PyCapsule_New(fresh, kCapsuleName, free_state));
    if (!capsule) {
        delete fresh;
        throw_error();
    }
    ExchangeState& state = *fresh;
    state.gate = PyThread_allocate_lock();
    if (state.gate == nullptr) raise(PyExc_MemoryError, "Vesk: cannot allocate a lock");
    Ref thread_module = import_module(kThreadModule);
    state.exchange_lock = call_method(thread_module.get(), kAllocateLock);
    Ref forget = check(PyCFunction_New(&forget_state_def, key));
    state.weakref = Ref::steal(PyWeakref_NewRef(send_queue, forget.get()));
    if (!state.weakref) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        state.queue_kept = Ref::borrow(send_queue);  // then its id is never reused
    }
    return capsule;
}

}  // namespace

ExchangeHandle::ExchangeHandle(PyObject* send_queue) {
    if (states == nullptr) states = check(PyDict_New()).release();
    Ref key = check(PyLong_FromVoidPtr(send_queue));
    PyObject* found = PyDict_GetItemWithError(states, key.get());  // borrowed
    if (found != nullptr) {
        holder_ = Ref::borrow(found);
    } else {
        if (PyErr_Occurred()) throw_error();
        holder_ = make_state(send_queue, key.get());
        check_status(PyDict_SetItem(states, key.get(), holder_.get()));
    }
    state_ = static_cast<ExchangeState*>(PyCapsule_GetPointer(holder_.get(), kCapsuleName));
    if (state_ == nullptr) throw_error();
}

}  // namespace vesk
