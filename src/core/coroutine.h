// Coroutine bodies are C++20 coroutines written as straight-line code,
//     Ref reply = co_await py_await(call_with_keyword(wait_for, receive, timeout_name, thirty));
// and one generic Python coroutine type drives them, delegating to each
// awaited object the way `yield from` does.
#pragma once
#include "core/error.h"
#include "core/function.h"

#include <coroutine>
#include <utility>

namespace vesk {

class CoroutineBody {
public:
    struct promise_type {
        Ref awaiting;                    // what the body awaits now
        Ref sent;                        // the value it resumes with
        bool resume_with_error = false;  // resume by throwing the current Python error
        Ref result;                      // co_return value
        bool failed = false;             // an error left the body; the indicator is set

        CoroutineBody get_return_object() noexcept {
            return CoroutineBody(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void unhandled_exception();
    };
    using Handle = std::coroutine_handle<promise_type>;

    CoroutineBody(CoroutineBody&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    CoroutineBody(const CoroutineBody&) = delete;
    CoroutineBody& operator=(const CoroutineBody&) = delete;
    ~CoroutineBody() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit CoroutineBody(Handle handle) noexcept : handle_(handle) {}
    Handle handle_;
};

// `co_await py_await(x)` suspends the body until the awaitable x is done,
// then gives its result, or throws PyError with its exception set.
class PyAwaiter {
public:
    explicit PyAwaiter(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(CoroutineBody::Handle body) noexcept {
        body_ = body;
        body.promise().awaiting = std::move(awaitable_);
    }
    Ref await_resume() {
        auto& promise = body_.promise();
        if (promise.resume_with_error) throw PyError{};
        return std::move(promise.sent);
    }

private:
    Ref awaitable_;
    CoroutineBody::Handle body_;
};

inline PyAwaiter py_await(Ref awaitable) noexcept { return PyAwaiter(std::move(awaitable)); }

// Wraps a started-suspended body into a Python coroutine object named after
// `spec` (the function whose call made it).
Ref make_coroutine(const FunctionSpec& spec, CoroutineBody body);

// Created by the execution step.
void ready_coroutine_type();

}  // namespace vesk
