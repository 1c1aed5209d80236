// recv() under the 30-second limit without the Task that asyncio.wait_for
// makes for each reply: a timer cancels the handler's own task when the
// reply is overdue, and that cancellation becomes the TimeoutError wait_for
// raises. The handler uses it only while asyncio.wait_for is the library's.
#pragma once
#include "core/ref.h"

namespace vesk {

class ReplyTimer {
public:
    ReplyTimer() = default;
    // For the task running now; empty where there is none (wait_for serves).
    static ReplyTimer for_running_task(PyObject* asyncio);
    explicit operator bool() const noexcept { return static_cast<bool>(state_); }
    bool armed() const noexcept { return static_cast<bool>(handle_); }

    // The limit starts now, for the await that follows; `asyncio` is the
    // module whose wait_for it stands in for.
    void arm(PyObject* seconds, PyObject* asyncio);
    // The await gave its result: the timer is stopped.
    void disarm();
    // With an error set: if armed, the timer is stopped, and a cancellation
    // of its own becomes TimeoutError (raised from it), the task's cancel
    // request taken back, as wait_for's inner task would have taken it.
    void disarm_after_error() noexcept;

private:
    Ref loop_, current_task_;
    Ref state_;       // [task being limited or None, fired]: the callback's
    Ref on_overdue_;  // the callback, bound to state_
    Ref handle_;      // the armed TimerHandle
    Ref asyncio_;     // while armed
};

}  // namespace vesk
