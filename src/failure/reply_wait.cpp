#include "failure/reply_wait.h"
#include "failure/mode.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/module_names.h"

#include <algorithm>
#include <cstdio>

namespace vesk {
namespace {

using Clock = ExchangeState::Clock;
using Seconds = std::chrono::duration<double>;

constexpr const char* kNoFrontEnd =
    "no front-end connected within %s s to answer the task; VESK_TASK_TIMEOUT sets the limit";
constexpr double kShortestWait = 0.01;
constexpr double kLongestWait = 0.25;  // how soon a change of connection or limit is seen

Clock::time_point after(Clock::time_point start, double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}

// reply_queue.get(True, seconds), or an empty Ref when it timed out.
Ref get_within(PyObject* reply_queue, double seconds, PyObject* empty_error) {
    Ref timeout = check(PyFloat_FromDouble(std::max(seconds, kShortestWait)));
    Ref reply = Ref::steal(PyObject_CallMethodObjArgs(reply_queue, kGet.get(), Py_True, timeout.get(), nullptr));
    if (reply) return reply;
    if (!PyErr_ExceptionMatches(empty_error)) throw_error();
    PyErr_Clear();
    return Ref();
}

}  // namespace

void front_end_connected(ExchangeState& state) noexcept { ++state.served_connections; }

void front_end_disconnected(ExchangeState& state) noexcept {
    --state.served_connections;
    state.last_disconnect = Clock::now();
}

Ref wait_for_reply(ExchangeState& state, PyObject* reply_queue) {
    if (!raising_failures()) return call_method(reply_queue, kGet);
    Ref queue_module = import_module(kQueue);
    Ref empty_error = getattr(queue_module.get(), kEmpty);
    Clock::time_point waiting_since = Clock::now();
    for (;;) {
        const Clock::time_point now = Clock::now();
        // While connected the bridge's limit on the reply applies; the
        // caller's runs from the last moment a front-end was there. The limit
        // is read each time: a bridge starting meanwhile sets it.
        waiting_since = state.served_connections > 0 ? now : std::max(waiting_since, state.last_disconnect);
        const Clock::time_point deadline = after(waiting_since, state.task_timeout);
        if (deadline <= now) return Ref();
        const double seconds = std::min(Seconds(deadline - now).count(), kLongestWait);
        if (Ref reply = get_within(reply_queue, seconds, empty_error.get())) return reply;
    }
}

void set_no_front_end_error(const ExchangeState& state) noexcept {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", state.task_timeout);
    PyErr_Format(PyExc_ConnectionError, kNoFrontEnd, seconds);
}

}  // namespace vesk
