// One exchange at a time: replies are paired with tasks by order alone, so a
// task's put and its reply's get must not interleave with another thread's.
#pragma once
#include "failure/exchange_state.h"

namespace vesk {

// Holds the exchange lock of one environment's queues (the state of its
// send_queue) for its lifetime. Waiting for it can be interrupted
// (KeyboardInterrupt), which throws PyError.
class ExchangeLock {
public:
    explicit ExchangeLock(ExchangeState& state);
    ~ExchangeLock();
    ExchangeLock(const ExchangeLock&) = delete;
    ExchangeLock& operator=(const ExchangeLock&) = delete;

private:
    Ref lock_;
};

}  // namespace vesk
