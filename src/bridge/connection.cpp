// yourfunction(websocket): carries tasks from send_queue to the front-end and
// its replies onto reply_quene, one in flight at a time, for ever.
#include "bridge/scope.h"

#include "core/call.h"
#include "core/coroutine.h"
#include "core/globals.h"
#include "core/process_exit.h"
#include "core/standard.h"
#include "bridge/failover.h"

namespace vesk {
namespace {

constexpr long kReplyTimeoutSeconds = 30;
constexpr long kBusyCloseCode = 1013;  // "try again later"
constexpr long kTooBigCloseCode = 1009;
constexpr const char* kBusyReason = "another front-end is connected";
constexpr const char* kFailure = "connection to the front-end failed";
constexpr const char* kTimeoutDetail = "no reply within %ld seconds";
constexpr const char* kTooBigDetail = "a reply was larger than %S bytes; VESK_MAX_MESSAGE_BYTES sets the limit";
constexpr long kLibraryMaxBytes = 1 << 20;  // websockets' own default
// While no task is queued the handler blocks in get() for at most this long,
// then lets the event loop run (pings, closes, other connections).
constexpr double kIdleSliceSeconds = 0.005;

const Name kSendQueue("send_queue"), kReplyQueue("reply_quene"), kGet("get"), kSend("send"), kRecv("recv"),
    kClose("close"), kAsyncio("asyncio"), kWaitFor("wait_for"), kSleep("sleep"), kTimeout("timeout"),
    kQueue("queue"), kEmpty("Empty"), kTimeoutError("TimeoutError"), kSent("sent"), kCode("code"),
    kGetRunningLoop("get_running_loop"), kCurrentTask("current_task"), kCallLater("call_later"), kCancel("cancel"),
    kUncancel("uncancel"), kCancelledError("CancelledError");

// recv() under a 30-second limit without wait_for's Task per reply: a timer
// cancels the handler's own task when the reply is overdue, and the
// cancellation is turned into the TimeoutError wait_for raises. Used only
// while asyncio.wait_for is the library's own.
struct ReplyTimer {
    Ref loop, task;
    Ref state;     // [task, fired]: the timer callback's own
    Ref on_overdue;
};

// The timer's callback; `state` is the list [task, fired].
PyObject* reply_overdue(PyObject* state, PyObject*) {
    Py_INCREF(Py_True);
    if (PyList_SetItem(state, 1, Py_True) < 0) return nullptr;
    return PyObject_CallMethodNoArgs(PyList_GET_ITEM(state, 0), kCancel.interned());
}
PyMethodDef reply_overdue_def = {"reply_overdue", reply_overdue, METH_NOARGS, nullptr};

// Empty when the handler does not run in a task of its own (then wait_for serves).
ReplyTimer make_reply_timer(PyObject* asyncio) {
    kCancel.get();  // interned now: the callback runs without an error boundary
    ReplyTimer timer;
    Ref get_running_loop = getattr(asyncio, kGetRunningLoop), current_task = getattr(asyncio, kCurrentTask);
    Ref loop = call(get_running_loop.get());
    Ref task = call(current_task.get());
    if (task.get() == Py_None) return timer;
    timer.state = check(PyList_New(2));
    PyList_SET_ITEM(timer.state.get(), 0, Py_NewRef(task.get()));
    PyList_SET_ITEM(timer.state.get(), 1, Py_NewRef(Py_False));
    timer.on_overdue = check(PyCFunction_New(&reply_overdue_def, timer.state.get()));
    timer.loop = std::move(loop);
    timer.task = std::move(task);
    return timer;
}

bool timer_fired(const ReplyTimer& timer) { return PyList_GET_ITEM(timer.state.get(), 1) == Py_True; }

// With the recv's error set: after the timer fired, a CancelledError becomes
// the TimeoutError wait_for raises (from the cancellation), and the task's
// cancel request is taken back, as wait_for's own task never had one.
void turn_overdue_into_timeout(const ReplyTimer& timer, PyObject* asyncio) {
    if (!timer_fired(timer)) return;
    SavedError cancelled = SavedError::fetch();
    cancelled.normalize();
    Ref cancelled_type = Ref::steal(PyObject_GetAttr(asyncio, kCancelledError.get()));
    Ref timeout_type = Ref::steal(PyObject_GetAttr(asyncio, kTimeoutError.get()));
    Ref timeout = timeout_type ? Ref::steal(PyObject_CallNoArgs(timeout_type.get())) : Ref();
    if (!cancelled_type || !timeout || !PyErr_GivenExceptionMatches(cancelled.type(), cancelled_type.get())) {
        PyErr_Clear();
        cancelled.restore();
        return;
    }
#if PY_VERSION_HEX >= 0x030B0000
    Ref taken_back = Ref::steal(PyObject_CallMethodNoArgs(timer.task.get(), kUncancel.get()));
    PyErr_Clear();
#endif
    PyException_SetContext(timeout.get(), Py_NewRef(cancelled.value()));
    PyException_SetCause(timeout.get(), Py_NewRef(cancelled.value()));
    PyErr_SetObject(timeout_type.get(), timeout.get());
}

// The next task, or an empty Ref when none arrived within one idle slice.
Ref next_task_within_slice(PyObject* environment, PyObject* empty_error) {
    Ref send_queue = getattr(environment, kSendQueue);
    // Kept for the process. Never NULL when passed on: a missing timeout
    // would end the argument list, and get() would block the loop for good.
    static PyObject* slice = nullptr;
    if (slice == nullptr) slice = check(PyFloat_FromDouble(kIdleSliceSeconds)).release();
    Ref task = Ref::steal(PyObject_CallMethodObjArgs(send_queue.get(), kGet.get(), Py_True, slice, nullptr));
    if (task) return task;
    if (!PyErr_ExceptionMatches(empty_error)) throw_error();
    PyErr_Clear();
    return Ref();
}

// The close code the bridge itself sent, if the error is a ConnectionClosed.
long sent_close_code(PyObject* error) {
    Ref sent = Ref::steal(PyObject_GetAttr(error, kSent.get()));
    Ref code = sent && sent.get() != Py_None ? Ref::steal(PyObject_GetAttr(sent.get(), kCode.get())) : Ref();
    const long value = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
    PyErr_Clear();
    return value;
}

// With the error set (it stays set): what the failure line adds after the
// error, or empty.
Ref failure_detail(PyObject* timeout_error, const BridgeSettings& settings) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref detail;
    if (timeout_error != nullptr && type != nullptr && PyErr_GivenExceptionMatches(type, timeout_error)) {
        detail = Ref::steal(PyUnicode_FromFormat(kTimeoutDetail, kReplyTimeoutSeconds));
    } else if (value != nullptr && sent_close_code(value) == kTooBigCloseCode) {
        Ref limit = settings.max_bytes ? settings.max_bytes.copy() : Ref::steal(PyLong_FromLong(kLibraryMaxBytes));
        if (limit) detail = Ref::steal(PyUnicode_FromFormat(kTooBigDetail, limit.get()));
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return detail;
}

// Errors that end the handler at once instead of closing the connection
// first: cancellation and closing of the coroutine.
bool must_propagate(PyObject* error_type) { return !PyErr_GivenExceptionMatches(error_type, PyExc_Exception); }

CoroutineBody serve_connection(Ref scope_object, Ref websocket) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    if (scope->serving) {
        // One front-end at a time: two handlers must never share the queues.
        Ref code = integer(kBusyCloseCode), reason = str(kBusyReason);
        co_await py_await(call_method(websocket.get(), kClose, code.get(), reason.get()));
        co_return Ref::borrow(Py_None);
    }
    scope->serving = true;
    // This connection carries the tasks of this epoch only (bridge/failover.h).
    const unsigned long epoch = exchange_epoch();
    Ref timeout_error, error_type, error, error_traceback;
    try {
        Ref asyncio = global(kAsyncio);
        timeout_error = getattr(asyncio.get(), kTimeoutError);
        Ref queue_module = global(kQueue);
        Ref empty_error = getattr(queue_module.get(), kEmpty);
        Ref sleep = getattr(asyncio.get(), kSleep);
        ReplyTimer timer;
        bool timer_made = false;
        Ref zero = integer(0), timeout = integer(kReplyTimeoutSeconds);
        for (;;) {
            Ref task = next_task_within_slice(scope->environment.get(), empty_error.get());
            if (!task) {
                // Twice: network events polled by the first pass only run
                // after the second, so pings wait one slice, not two.
                co_await py_await(call(sleep.get(), zero.get()));
                co_await py_await(call(sleep.get(), zero.get()));
                continue;
            }
            if (is_barrier(task.get())) {
                if (exchange_epoch() != epoch) break;  // its caller gave up: this connection is done
                continue;                              // left from before this connection
            }
            co_await py_await(call_method(websocket.get(), kSend, task.get()));
            Ref receive = call_method(websocket.get(), kRecv);
            Ref reply;
            PyObject* standard_asyncio = standard_asyncio_wait_for();  // borrowed
            if (standard_asyncio != nullptr && !timer_made) {
                timer = make_reply_timer(standard_asyncio);
                timer_made = true;
            }
            if (standard_asyncio != nullptr && timer.state) {
                check_status(PyList_SetItem(timer.state.get(), 1, Py_NewRef(Py_False)));
                Ref handle = call_method(timer.loop.get(), kCallLater, timeout.get(), timer.on_overdue.get());
                try {
                    reply = co_await py_await(std::move(receive));
                } catch (const PyError&) {
                    {
                        ErrorGuard keep;
                        Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(handle.get(), kCancel.get()));
                        PyErr_Clear();
                    }
                    turn_overdue_into_timeout(timer, standard_asyncio);
                    throw;
                }
                call_method(handle.get(), kCancel);
            } else {
                Ref wait_for = getattr(asyncio.get(), kWaitFor);
                reply = co_await py_await(call_with_keyword(wait_for.get(), receive.get(), kTimeout, timeout.get()));
            }
            Ref reply_queue = getattr(scope->environment.get(), kReplyQueue);
            if (!put_reply_if_current(reply_queue.get(), reply.get(), epoch)) break;  // a late reply: dropped
        }
    } catch (const PyError&) {
        Ref detail = failure_detail(timeout_error.get(), scope->settings);
        // By default any failure, cancellation and closing included, ends the process.
        if (!raise_on_failure()) end_process_after_failure(kFailure, detail.get());
        Ref what = str(kFailure);
        Ref reply_queue = Ref::steal(PyObject_GetAttr(scope->environment.get(), kReplyQueue.get()));
        if (reply_queue) {
            report_bridge_failure(reply_queue.get(), epoch, what.get(), detail.get());
        }
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        error_type = Ref::steal(type), error = Ref::steal(value), error_traceback = Ref::steal(traceback);
    }
    scope->serving = false;
    if (error_type && must_propagate(error_type.get())) {
        PyErr_Restore(error_type.release(), error.release(), error_traceback.release());
        throw PyError{};
    }
    // Closed whatever the failure, so that a late reply can never be taken
    // for the answer to a later task; the page's client opens a new one.
    try {
        co_await py_await(call_method(websocket.get(), kClose));
    } catch (const PyError&) {
        PyErr_Clear();
    }
    co_return Ref::borrow(Py_None);
}

Ref yourfunction(FunctionObject* function, PyObject* const* args) {
    return make_coroutine(yourfunction_spec, serve_connection(function->closure.copy(), Ref::borrow(args[0])));
}

constexpr Parameter kWebsocketParams[] = {{"websocket"}};

}  // namespace

const FunctionSpec yourfunction_spec = {{"yourfunction", kWebsocketParams},
                                        "Vesk_Pal_st.start_queue.<locals>.yourfunction",
                                        "Vesk.Vesk_Pal_st.start_queue.yourfunction",
                                        302,
                                        {},
                                        {},
                                        yourfunction,
                                        true};

}  // namespace vesk
