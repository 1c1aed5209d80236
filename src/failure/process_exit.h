// The failure regime of task exchanges and the bridge's connection loop:
// the process ends at once, but says why and loses no output first.
#pragma once
#include "core/ref.h"

namespace vesk {

// With a Python error set: writes one line to standard error,
// "Vesk: <what>: <exception type>: <message>[; <detail>]", flushes standard
// output and error, stops the calling thread's running event loop if it has
// one, and ends the process with exit status 1. `detail` may be NULL.
[[noreturn]] void end_process_after_failure(const char* what, PyObject* detail);

// The line's text without "Vesk: " and the newline.
Ref failure_text(const char* what, PyObject* type, PyObject* value, PyObject* detail);

// With a Python error set: raises ConnectionError whose message is that text
// and whose cause is the error. Throws PyError.
[[noreturn]] void raise_connection_error(const char* what, PyObject* detail);

// The end of a failed exchange, with its error set: by default the process
// ends as above; with VESK_ON_FAILURE=raise, ConnectionError as above, in
// the calling thread (KeyboardInterrupt and other errors that are not an
// Exception pass as they are). Throws PyError.
[[noreturn]] void fail_exchange(const char* what, PyObject* detail);

}  // namespace vesk
