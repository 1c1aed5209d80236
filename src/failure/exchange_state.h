// What the failure home keeps for one environment, keyed by its send_queue
// object: environments with queues of their own (instance attributes) share
// nothing here, so a failure of one never disturbs another; environments
// sharing the class's queues share one state, as they share the exchange.
#pragma once
#include "core/ref.h"

#include <pythread.h>

#include <chrono>

namespace vesk {

struct ExchangeState {
    using Clock = std::chrono::steady_clock;

    // Raise mode (failover.h): every failure starts a new epoch.
    unsigned long epoch = 0;
    int listening_bridges = 0;   // bridges of this queue past __aenter__
    int served_connections = 0;  // front-ends being served now
    Clock::time_point last_disconnect{};
    // The task time limit the last bridge of this queue started with, in
    // seconds; the caller's bound on waiting while no front-end is connected.
    double task_timeout = 30;

    Ref exchange_lock;  // a _thread lock: one task in flight (env/exchange_lock.h)
    // Held only for a few queue operations (failover.cpp).
    PyThread_type_lock gate = nullptr;
    Ref weakref;     // to the queue; its callback forgets this state
    Ref queue_kept;  // the queue itself, where it takes no weak reference
};

// The state of `send_queue`, made at its first use and forgotten with the
// queue. Owns a reference to the state's holder.
class ExchangeHandle {
public:
    explicit ExchangeHandle(PyObject* send_queue);  // throws PyError
    ExchangeState* operator->() const noexcept { return state_; }
    ExchangeState& operator*() const noexcept { return *state_; }

private:
    Ref holder_;
    ExchangeState* state_;
};

}  // namespace vesk
