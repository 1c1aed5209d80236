// VESK_ON_FAILURE: whether a failed task ends the process (the default) or
// raises ConnectionError in the caller. Read and checked here only, and kept
// once read, so that the bridge and the caller always agree on it.
#pragma once

namespace vesk {

enum class FailureMode { exit, raise };

inline constexpr const char* kFailureVariable = "VESK_ON_FAILURE";

// The mode: read at the first call that finds a valid value, then kept for
// the process. A bad value throws PyError (ValueError naming the variable).
FailureMode failure_mode();

// For the failure paths: true in raise mode. Never throws and leaves the
// error indicator as it was: a value that cannot be read, or a bad one,
// means the default.
bool raising_failures() noexcept;

}  // namespace vesk
