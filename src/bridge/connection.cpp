// yourfunction(websocket): carries tasks from send_queue to the front-end and
// its replies onto reply_quene, one in flight at a time, for ever.
#include "bridge/scope.h"

#include "bridge/failover.h"
#include "bridge/reply_timer.h"
#include "core/call.h"
#include "core/common_names.h"
#include "core/coroutine.h"
#include "core/environment_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "core/process_exit.h"
#include "core/standard.h"

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

const Name kRecv("recv"), kWaitFor("wait_for"), kSleep("sleep"), kTimeout("timeout"), kTimeoutError("TimeoutError"),
    kSent("sent"), kCode("code");

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
    SavedError error = SavedError::fetch();
    error.normalize();
    Ref detail;
    if (timeout_error != nullptr && error && PyErr_GivenExceptionMatches(error.type(), timeout_error)) {
        detail = Ref::steal(PyUnicode_FromFormat(kTimeoutDetail, kReplyTimeoutSeconds));
    } else if (error.value() != nullptr && sent_close_code(error.value()) == kTooBigCloseCode) {
        Ref limit = settings.max_bytes ? settings.max_bytes.copy() : Ref::steal(PyLong_FromLong(kLibraryMaxBytes));
        if (limit) detail = Ref::steal(PyUnicode_FromFormat(kTooBigDetail, limit.get()));
    }
    PyErr_Clear();
    error.restore();
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
    Ref timeout_error;
    SavedError failure;
    ReplyTimer timer;
    try {
        Ref asyncio = global(kAsyncio);
        timeout_error = getattr(asyncio.get(), kTimeoutError);
        Ref queue_module = global(kQueue);
        Ref empty_error = getattr(queue_module.get(), kEmpty);
        Ref sleep = getattr(asyncio.get(), kSleep);
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
            PyObject* standard_asyncio = standard_asyncio_wait_for();  // borrowed
            if (standard_asyncio != nullptr && !timer_made) {
                timer = ReplyTimer::for_running_task(standard_asyncio);
                timer_made = true;
            }
            Ref awaited;
            if (standard_asyncio != nullptr && timer) {
                timer.arm(timeout.get(), standard_asyncio);  // failing, the await is disarmed in the catch below
                awaited = std::move(receive);
            } else {
                Ref wait_for = getattr(asyncio.get(), kWaitFor);
                awaited = call_with_keyword(wait_for.get(), receive.get(), kTimeout, timeout.get());
            }
            // Initialised, never assigned: GCC mishandles the temporaries of
            // an assignment from co_await.
            Ref reply = co_await py_await(std::move(awaited));
            if (timer.armed()) timer.disarm();
            Ref reply_queue = getattr(scope->environment.get(), kReplyQueue);
            if (!put_reply_if_current(reply_queue.get(), reply.get(), epoch)) break;  // a late reply: dropped
        }
    } catch (const PyError&) {
        // An overdue reply's cancellation becomes TimeoutError here.
        timer.disarm_after_error();
        Ref detail = failure_detail(timeout_error.get(), scope->settings);
        // By default any failure, cancellation and closing included, ends the process.
        if (!raise_on_failure()) end_process_after_failure(kFailure, detail.get());
        Ref what = str(kFailure);
        Ref reply_queue;
        {
            // Not with the failure set: a lookup that misses the type's
            // cache would fail on it, and the caller would wait for ever.
            ErrorGuard keep;
            reply_queue = Ref::steal(PyObject_GetAttr(scope->environment.get(), kReplyQueue.get()));
            PyErr_Clear();
        }
        if (reply_queue) {
            report_bridge_failure(reply_queue.get(), epoch, what.get(), detail.get());
        }
        failure = SavedError::fetch();
    }
    scope->serving = false;
    if (failure && must_propagate(failure.type())) {
        failure.restore();
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

const FunctionSpec yourfunction_spec = {
    {"yourfunction", kWebsocketParams}, kStartQueueLocals, line::yourfunction, {}, {}, yourfunction, true};

}  // namespace vesk
