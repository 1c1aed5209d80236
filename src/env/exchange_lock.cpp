#include "env/exchange_lock.h"

#include "core/call.h"

namespace vesk {
namespace {

const Name kAcquire("acquire"), kRelease("release"), kAllocateLock("allocate_lock");

// One lock per queue object, so environments with queues of their own do not
// wait for each other. Queues live as long as their classes: kept for ever.
Ref lock_for(PyObject* send_queue) {
    static PyObject* locks = nullptr;  // dict: queue -> lock, kept for the process
    if (locks == nullptr) locks = check(PyDict_New()).release();
    PyObject* found = PyDict_GetItemWithError(locks, send_queue);  // borrowed
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error();
    Ref thread_module = check(PyImport_ImportModule("_thread"));
    Ref lock = call_method(thread_module.get(), kAllocateLock);
    check_status(PyDict_SetItem(locks, send_queue, lock.get()));
    return lock;
}

}  // namespace

ExchangeLock::ExchangeLock(PyObject* send_queue) {
    Ref lock = lock_for(send_queue);
    // A Python lock, not a C one: waiting for it gives way to Ctrl-C.
    call_method(lock.get(), kAcquire);
    lock_ = std::move(lock);
}

ExchangeLock::~ExchangeLock() {
    ErrorGuard keep;
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(lock_.get(), kRelease.get()));
    if (!done) PyErr_Clear();
}

}  // namespace vesk
