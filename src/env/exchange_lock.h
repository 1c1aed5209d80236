// One exchange at a time: replies are paired with tasks by order alone, so a
// task's put and its reply's get must not interleave with another thread's.
#pragma once
#include "core/ref.h"

namespace vesk {

// Holds the lock of the queue `send_queue` for its lifetime. Waiting for it
// can be interrupted (KeyboardInterrupt), which throws PyError.
class ExchangeLock {
public:
    explicit ExchangeLock(PyObject* send_queue);
    ~ExchangeLock();
    ExchangeLock(const ExchangeLock&) = delete;
    ExchangeLock& operator=(const ExchangeLock&) = delete;

private:
    Ref lock_;
};

}  // namespace vesk
