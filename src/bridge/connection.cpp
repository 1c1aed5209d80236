// yourfunction(websocket): carries tasks from send_queue to the front-end and
// its replies onto reply_quene, one in flight at a time, for ever.
#include "bridge/scope.h"

#include "bridge/reply_timer.h"
#include "core/call.h"
#include "core/common_names.h"
#include "core/coroutine.h"
#include "core/environment_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "core/standard.h"
#include "failure/failover.h"
#include "failure/mode.h"
#include "failure/process_exit.h"
#include "failure/reply_wait.h"

#include <optional>

namespace vesk {
namespace {

constexpr long kBusyCloseCode = 1013;  // "try again later"
constexpr long kTooBigCloseCode = 1009;
constexpr const char* kBusyReason = "another front-end is connected";
constexpr const char* kFailure = "connection to the front-end failed";
constexpr const char* kTimeoutDetail = "no reply within %S seconds";
constexpr const char* kTooBigDetail = "a reply was larger than %S bytes; VESK_MAX_MESSAGE_BYTES sets the limit";
constexpr long kLibraryMaxBytes = 1 << 20;  // websockets' own default
// While no task is queued the handler blocks in get() for at most this long,
// then lets the event loop run (pings, closes, other connections).
constexpr double kIdleSliceSeconds = 0.005;

const Name kRecv("recv"), kSleep("sleep"), kTimeout("timeout"), kSent("sent"), kCode("code");

// The close code the bridge itself sent, if the error is a ConnectionClosed.
long sent_close_code(PyObject* error) {
    Ref sent = Ref::steal(PyObject_GetAttr(error, kSent.get()));
    Ref code = sent && sent.get() != Py_None ? Ref::steal(PyObject_GetAttr(sent.get(), kCode.get())) : Ref();
    const long value = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
    PyErr_Clear();
    return value;
}

// Errors that end the handler at once instead of closing the connection
// first: cancellation and closing of the coroutine.
bool must_propagate(PyObject* error_type) { return !PyErr_GivenExceptionMatches(error_type, PyExc_Exception); }

// One served front-end: what its loop keeps, one method per step of it.
class Connection {
public:
    explicit Connection(BridgeScope* scope) : scope_(scope) {}

    // Looks up what the loop needs and takes the epoch it serves.
    void begin() {
        Ref send_queue = getattr(scope_->environment.get(), kSendQueue);
        state_.emplace(send_queue.get());
        front_end_connected(**state_);
        // This connection carries the tasks of this epoch only (failure/failover.h).
        epoch_ = (*state_)->epoch;
        asyncio_ = global(kAsyncio);
        timeout_error_ = getattr(asyncio_.get(), kTimeoutError);
        Ref queue_module = global(kQueue);
        empty_error_ = getattr(queue_module.get(), kEmpty);
        sleep_ = getattr(asyncio_.get(), kSleep);
        zero_ = integer(0);
        slice_ = check(PyFloat_FromDouble(kIdleSliceSeconds));
    }

    ~Connection() {
        if (state_) front_end_disconnected(**state_);
    }

    // The next task, or an empty Ref when none arrived within one idle slice.
    Ref next_task() {
        Ref send_queue = getattr(scope_->environment.get(), kSendQueue);
        Ref task = Ref::steal(PyObject_CallMethodObjArgs(send_queue.get(), kGet.get(), Py_True, slice_.get(), nullptr));
        if (task) return task;
        if (!PyErr_ExceptionMatches(empty_error_.get())) throw_error();
        PyErr_Clear();
        return Ref();
    }
    Ref yield_to_loop() { return call(sleep_.get(), zero_.get()); }

    // A barrier: true when its caller gave up on this epoch, which ends the
    // connection; else it was left from before this connection.
    bool epoch_abandoned() const { return (*state_)->epoch != epoch_; }

    // What to await for the reply to the task just sent: recv() under the
    // task time limit, timed by the ReplyTimer while asyncio.wait_for is
    // the library's own, else through the wait_for bound now.
    Ref reply_awaitable(Ref receive) {
        PyObject* timeout = scope_->settings.task_timeout.get();
        PyObject* standard_asyncio = standard_asyncio_wait_for();  // borrowed
        if (standard_asyncio != nullptr && !timer_made_) {
            timer_ = ReplyTimer::for_running_task(standard_asyncio);
            timer_made_ = true;
        }
        if (standard_asyncio != nullptr && timer_) {
            timer_.arm(timeout, standard_asyncio);  // failing, the await is disarmed in fail() below
            return receive;
        }
        Ref wait_for = getattr(asyncio_.get(), kWaitFor);
        return call_with_keyword(wait_for.get(), receive.get(), kTimeout, timeout);
    }

    // False for a late reply (its caller gave up): dropped, and the connection ends.
    bool put_reply(PyObject* reply) {
        if (timer_.armed()) timer_.disarm();
        Ref reply_queue = getattr(scope_->environment.get(), kReplyQueue);
        return put_reply_if_current(**state_, reply_queue.get(), reply, epoch_);
    }

    // With the loop's error set: ends the process (the default), or tells a
    // waiting caller and returns the error.
    SavedError fail() {
        // An overdue reply's cancellation becomes TimeoutError here.
        timer_.disarm_after_error();
        Ref detail = failure_detail();
        // By default any failure, cancellation and closing included, ends the process.
        if (!raising_failures()) end_process_after_failure(kFailure, detail.get());
        Ref reply_queue, what;
        {
            // Not with the failure set: a lookup that misses the type's
            // cache would fail on it, and the caller would wait for ever.
            ErrorGuard keep;
            reply_queue = Ref::steal(PyObject_GetAttr(scope_->environment.get(), kReplyQueue.get()));
            what = Ref::steal(PyUnicode_FromString(kFailure));
            PyErr_Clear();
        }
        if (reply_queue && what && state_) {
            report_bridge_failure(**state_, reply_queue.get(), epoch_, what.get(), detail.get());
        }
        return SavedError::fetch();
    }

private:
    // With the error set (it stays set): what the failure line adds after
    // the error, or empty.
    Ref failure_detail() {
        SavedError error = SavedError::fetch();
        error.normalize();
        Ref detail;
        if (timeout_error_ && error && PyErr_GivenExceptionMatches(error.type(), timeout_error_.get())) {
            detail = Ref::steal(PyUnicode_FromFormat(kTimeoutDetail, scope_->settings.task_timeout.get()));
        } else if (error.value() != nullptr && sent_close_code(error.value()) == kTooBigCloseCode) {
            const BridgeSettings& settings = scope_->settings;
            Ref limit = settings.max_bytes ? settings.max_bytes.copy() : Ref::steal(PyLong_FromLong(kLibraryMaxBytes));
            if (limit) detail = Ref::steal(PyUnicode_FromFormat(kTooBigDetail, limit.get()));
        }
        PyErr_Clear();
        error.restore();
        return detail;
    }

    BridgeScope* scope_;  // borrowed: the handler's frame holds it
    std::optional<ExchangeHandle> state_;
    unsigned long epoch_ = 0;
    Ref asyncio_, timeout_error_, empty_error_, sleep_, zero_, slice_;
    ReplyTimer timer_;
    bool timer_made_ = false;
};

CoroutineBody serve_connection(Ref scope_object, Ref websocket) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    if (scope->serving) {
        // One front-end at a time: two handlers must never share the queues.
        Ref code = integer(kBusyCloseCode), reason = str(kBusyReason);
        co_await py_await(call_method(websocket.get(), kClose, code.get(), reason.get()));
        co_return Ref::borrow(Py_None);
    }
    scope->serving = true;
    SavedError failure;
    {
        Connection connection(scope);
        try {
            connection.begin();
            for (;;) {
                Ref task = connection.next_task();
                if (!task) {
                    // Twice: network events polled by the first pass only run
                    // after the second, so pings wait one slice, not two.
                    co_await py_await(connection.yield_to_loop());
                    co_await py_await(connection.yield_to_loop());
                    continue;
                }
                if (is_barrier(task.get())) {
                    if (connection.epoch_abandoned()) break;
                    continue;
                }
                co_await py_await(call_method(websocket.get(), kSend, task.get()));
                Ref awaited = connection.reply_awaitable(call_method(websocket.get(), kRecv));
                // Initialised, never assigned: GCC mishandles the temporaries
                // of an assignment from co_await.
                Ref reply = co_await py_await(std::move(awaited));
                if (!connection.put_reply(reply.get())) break;
            }
        } catch (const PyError&) {
            failure = connection.fail();
        }
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
