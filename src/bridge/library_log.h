// Keeps the library's log from repeating a failure the bridge reports itself,
// and from holding the token.
#pragma once

namespace vesk {

// Filters the server logger's records: drops the "keepalive ping failed"
// records whose error is a closed connection (the bridge reports that
// failure in its own one line, or as the caller's ConnectionError), and
// writes every "token=<value>" of a message (the request line, at DEBUG) as
// "token=<redacted>". Idempotent; everything else is logged as it is.
void quiet_library_failure_log();

}  // namespace vesk
