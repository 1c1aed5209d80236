#include "util/stack_room.h"

#include "core/error.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace vesk {
namespace {

constexpr const char* kStackExhausted =
    "maximum recursion depth exceeded while converting nested data (the thread's stack is nearly used up)";

// Room kept free below the deepest level for the work done there (NumPy
// calls, building the error and its traceback).
constexpr std::size_t kReserve = 256 * 1024;

struct StackBounds {
    std::uintptr_t low = 0;  // lowest usable address; 0 when unknown
    std::size_t size = 0;
};

StackBounds find_bounds() {
    StackBounds bounds;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return bounds;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(low);
        bounds.size = size;
    }
    pthread_attr_destroy(&attr);
#elif defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    bounds.low = static_cast<std::uintptr_t>(low);
    bounds.size = static_cast<std::size_t>(high - low);
#endif
    return bounds;
}

// The address below which a conversion refuses to go deeper, per thread.
std::uintptr_t floor_of_this_thread() {
    thread_local const std::uintptr_t floor = [] {
        const StackBounds bounds = find_bounds();
        if (bounds.low == 0) return std::uintptr_t{0};
        // Small thread stacks keep a proportional reserve instead.
        return bounds.low + std::min(kReserve, bounds.size / 4);
    }();
    return floor;
}

}  // namespace

bool stack_room_left() {
    // Any local's address tells how deep this thread's stack is now.
    volatile char marker = 0;
    const auto here = reinterpret_cast<std::uintptr_t>(&marker);
    const std::uintptr_t floor = floor_of_this_thread();
    return floor == 0 || here >= floor;
}

void check_stack_room() {
    if (!stack_room_left()) raise(PyExc_RecursionError, kStackExhausted);
}

}  // namespace vesk
