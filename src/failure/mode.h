// VESK_ON_FAILURE: whether a failed task ends the process (the default) or
// raises ConnectionError in the caller. Read and checked here only, at each
// use: a program (or a test) may switch it between tasks, and a lookup in
// os.environ costs next to nothing beside a round trip.
#pragma once

namespace vesk {

enum class FailureMode { exit, raise };

inline constexpr const char* kFailureVariable = "VESK_ON_FAILURE";

// The mode as VESK_ON_FAILURE says now. A bad value throws PyError
// (ValueError naming the variable).
FailureMode failure_mode();

// For the failure paths: true in raise mode. Never throws and leaves the
// error indicator as it was: a value that cannot be read, or a bad one,
// means the default.
bool raising_failures() noexcept;

}  // namespace vesk
