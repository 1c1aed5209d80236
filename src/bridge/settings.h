// The bridge's settings: VESK_* environment variables, read when it starts.
#pragma once
#include "core/ref.h"

namespace vesk {

struct BridgeSettings {
    Ref port;             // int: VESK_PORT, else 70
    Ref token;            // str the request's query must carry as token=..., or empty (VESK_TOKEN=off)
    bool own_token;       // VESK_TOKEN unset: the token was made for this run
    Ref origins;          // tuple of str, lower case: VESK_ORIGINS, the origins allowed beside loopback and "null"
    Ref max_bytes;        // int: VESK_MAX_MESSAGE_BYTES, or empty for the library's own limit
    Ref task_timeout;     // int or float, seconds: VESK_TASK_TIMEOUT, else 30
    Ref run_file;         // str: where this run's own token was written for the pages, or empty
    bool told_token_fix;  // the fix for a refused token was written to stderr
};

inline constexpr const char* kPortVariable = "VESK_PORT";
inline constexpr const char* kMaxBytesVariable = "VESK_MAX_MESSAGE_BYTES";
inline constexpr const char* kTaskTimeoutVariable = "VESK_TASK_TIMEOUT";
inline constexpr const char* kTokenVariable = "VESK_TOKEN";

// The port alone, so that a failure to read the others can still name it.
Ref read_port();
// Everything else, VESK_ON_FAILURE checked too (failure/mode.h); throws
// PyError (ValueError naming the variable) on a bad value.
void read_settings(BridgeSettings& settings);
// VESK_TOKEN alone: its value; unset or empty, a new random token for this
// run (own_token); "off", no token at all.
void read_token(BridgeSettings& settings);

// The time limit of one reply, in seconds: a positive number.
Ref read_task_timeout();

}  // namespace vesk
