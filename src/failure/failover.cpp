#include "failure/failover.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/module_names.h"

#include <pythread.h>

namespace vesk {
namespace {

const Name kGetNowait("get_nowait"), kCurrentThread("current_thread");

constexpr double kRunnerWaitSeconds = 2.0;  // for a connect hook that reports the runner's exception

// The state's gate, held only for a few queue operations; makes "epoch
// still current, then put" and "new epoch, then drain" exclude each other.
class Gate {
public:
    explicit Gate(ExchangeState& state) : lock_(state.gate) {
        if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock_, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
    }
    ~Gate() { PyThread_release_lock(lock_); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    PyThread_type_lock lock_;
};

// Private objects: nobody else can put them on a queue.
PyObject* private_object(PyObject*& slot) {
    if (slot == nullptr) slot = check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))).release();
    return slot;
}
PyObject* barrier_slot = nullptr;
PyObject* record_slot = nullptr;

PyObject* barrier() { return private_object(barrier_slot); }
PyObject* record_key() { return private_object(record_slot); }

// (key, what, error, detail, thread): the error is the exception instance.
Ref make_record(PyObject* what, PyObject* detail, PyObject* thread) {
    SavedError error = SavedError::fetch();
    error.normalize();
    Ref record = Ref::steal(PyTuple_Pack(5, record_key(), what, error.value() != nullptr ? error.value() : Py_None,
                                         detail != nullptr ? detail : Py_None, thread != nullptr ? thread : Py_None));
    error.restore();
    if (!record) throw PyError{};
    return record;
}

// Runs `body` with the current error kept aside and restored after; a
// failure inside is dropped: reporting must not replace what it reports.
template <class Body>
void keeping_error(Body&& body) {
    SavedError error = SavedError::fetch();
    error.normalize();
    try {
        error.restore_copy();
        body();
    } catch (const PyError&) {
    }
    error.restore();
}

void drain(PyObject* queue) {
    Ref queue_module = import_module(kQueue);
    Ref empty = getattr(queue_module.get(), kEmpty);
    while (true) {
        Ref item = Ref::steal(PyObject_CallMethodNoArgs(queue, kGetNowait.get()));
        if (item) continue;
        if (!PyErr_ExceptionMatches(empty.get())) throw_error();
        PyErr_Clear();
        return;
    }
}

}  // namespace

bool put_reply_if_current(ExchangeState& state, PyObject* reply_queue, PyObject* reply, unsigned long reply_epoch) {
    Gate gate(state);
    if (state.epoch != reply_epoch) return false;
    call_method(reply_queue, kPut, reply);
    return true;
}

void report_bridge_failure(ExchangeState& state, PyObject* reply_queue, unsigned long failed_epoch, PyObject* what,
                           PyObject* detail) {
    keeping_error([&] {
        Ref record = make_record(what, detail, nullptr);
        PyErr_Clear();
        Gate gate(state);
        if (state.epoch != failed_epoch) return;  // the caller gave up on it first
        ++state.epoch;
        call_method(reply_queue, kPut, record.get());
    });
}

void report_listen_failure(ExchangeState& state, PyObject* reply_queue, PyObject* what, PyObject* detail) {
    if (state.listening_bridges > 0) return;  // the one that listens goes on serving
    keeping_error([&] {
        Ref record = make_record(what, detail, Py_None);
        PyErr_Clear();
        Ref threading = import_module(kThreading);
        Ref thread = call_method(threading.get(), kCurrentThread);
        check_status(PyTuple_SetItem(record.get(), 4, thread.release()));
        call_method(reply_queue, kPut, record.get());
    });
}

bool is_barrier(PyObject* task) { return barrier_slot != nullptr && task == barrier_slot; }

bool is_failure_record(PyObject* reply) {
    return record_slot != nullptr && PyTuple_CheckExact(reply) && PyTuple_GET_SIZE(reply) == 5 &&
           PyTuple_GET_ITEM(reply, 0) == record_slot;
}

void take_failure_record(PyObject* record, Ref& what, Ref& detail) {
    what = Ref::borrow(PyTuple_GET_ITEM(record, 1));
    PyObject* detail_text = PyTuple_GET_ITEM(record, 3);
    detail = detail_text == Py_None ? Ref() : Ref::borrow(detail_text);
    PyObject* thread = PyTuple_GET_ITEM(record, 4);
    if (thread != Py_None) {
        // Let the runner's exception leave myfunc (and a connect hook report
        // it) before the caller goes on; a dummy or the current thread
        // cannot be joined, which is fine.
        Ref timeout = check(PyFloat_FromDouble(kRunnerWaitSeconds));
        Ref joined = Ref::steal(PyObject_CallMethodOneArg(thread, kJoin.get(), timeout.get()));
        PyErr_Clear();
    }
    PyObject* error = PyTuple_GET_ITEM(record, 2);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
}

void abandon_exchange(ExchangeState& state, PyObject* send_queue, PyObject* reply_queue) {
    keeping_error([&] {
        PyErr_Clear();
        Gate gate(state);
        ++state.epoch;
        drain(send_queue);
        drain(reply_queue);
        call_method(send_queue, kPut, barrier());
    });
}

}  // namespace vesk
