// Keeps the library's log from repeating a failure the bridge reports itself.
#pragma once

namespace vesk {

// Drops the server logger's "keepalive ping failed" records whose error is a
// closed connection: the bridge reports that failure in its own one line (or
// as the caller's ConnectionError). Idempotent; everything else is logged.
void quiet_library_failure_log();

}  // namespace vesk
