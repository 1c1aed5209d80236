#include "env/exchange_lock.h"

#include "core/call.h"

namespace vesk {
namespace {

const Name kAcquire("acquire"), kRelease("release");

}  // namespace

ExchangeLock::ExchangeLock(ExchangeState& state) {
    Ref lock = state.exchange_lock.copy();
    // A Python lock, not a C one: waiting for it gives way to Ctrl-C.
    call_method(lock.get(), kAcquire);
    lock_ = std::move(lock);
}

ExchangeLock::~ExchangeLock() {
    ErrorGuard keep;
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(lock_.get(), kRelease.get()));
    if (!done) PyErr_Clear();
}

}  // namespace vesk
