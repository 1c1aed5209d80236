// yourfunction(websocket): carries tasks from send_queue to the front-end and
// its replies onto reply_quene, one in flight at a time, for ever.
#include "bridge/scope.h"

#include "core/call.h"
#include "core/coroutine.h"
#include "core/globals.h"
#include "core/process_exit.h"

namespace vesk {
namespace {

constexpr long kReplyTimeoutSeconds = 30;
constexpr long kBusyCloseCode = 1013;  // "try again later"
constexpr const char* kBusyReason = "another front-end is connected";
constexpr const char* kFailure = "connection to the front-end failed";
constexpr const char* kTimeoutDetail = "no reply within 30 seconds";
// While no task is queued the handler blocks in get() for at most this long,
// then lets the event loop run (pings, closes, other connections).
constexpr double kIdleSliceSeconds = 0.005;

const Name kSendQueue("send_queue"), kReplyQueue("reply_quene"), kGet("get"), kPut("put"), kSend("send"),
    kRecv("recv"), kClose("close"), kAsyncio("asyncio"), kWaitFor("wait_for"), kSleep("sleep"), kTimeout("timeout"),
    kQueue("queue"), kEmpty("Empty"), kTimeoutError("TimeoutError");

// The next task, or an empty Ref when none arrived within one idle slice.
Ref next_task_within_slice(PyObject* environment, PyObject* empty_error) {
    Ref send_queue = getattr(environment, kSendQueue);
    static PyObject* slice = PyFloat_FromDouble(kIdleSliceSeconds);  // kept for the process
    Ref task = Ref::steal(PyObject_CallMethodObjArgs(send_queue.get(), kGet.get(), Py_True, slice, nullptr));
    if (task) return task;
    if (!PyErr_ExceptionMatches(empty_error)) throw_error();
    PyErr_Clear();
    return Ref();
}

[[noreturn]] void end_process(PyObject* timeout_error) {
    const bool timed_out = timeout_error != nullptr && PyErr_ExceptionMatches(timeout_error);
    Ref detail = timed_out ? str(kTimeoutDetail) : Ref();
    end_process_after_failure(kFailure, detail.get());
}

CoroutineBody serve_connection(Ref scope_object, Ref websocket) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    if (scope->serving) {
        // One front-end at a time: two handlers must never share the queues.
        Ref code = integer(kBusyCloseCode), reason = str(kBusyReason);
        co_await py_await(call_method(websocket.get(), kClose, code.get(), reason.get()));
        co_return Ref::borrow(Py_None);
    }
    scope->serving = true;
    Ref timeout_error;
    try {
        Ref asyncio = global(kAsyncio);
        timeout_error = getattr(asyncio.get(), kTimeoutError);
        Ref queue_module = global(kQueue);
        Ref empty_error = getattr(queue_module.get(), kEmpty);
        Ref wait_for = getattr(asyncio.get(), kWaitFor);
        Ref sleep = getattr(asyncio.get(), kSleep);
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
            co_await py_await(call_method(websocket.get(), kSend, task.get()));
            Ref receive = call_method(websocket.get(), kRecv);
            Ref reply = co_await py_await(call_with_keyword(wait_for.get(), receive.get(), kTimeout, timeout.get()));
            Ref reply_queue = getattr(scope->environment.get(), kReplyQueue);
            call_method(reply_queue.get(), kPut, reply.get());
        }
    } catch (const PyError&) {
        // Any failure, cancellation and closing included, ends the process.
        end_process(timeout_error.get());
    }
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
