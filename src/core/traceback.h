// Traceback entries for module functions, which have no Python frame.
#pragma once
#include <Python.h>

namespace vesk {

// The file name of module functions' code objects; the '<' keeps linecache
// from looking for a source file.
inline constexpr const char* kTracebackFileName = "<Vesk>";

// Pushes a traceback entry named `name` (e.g. "Vesk.Vesk_Pal_st.step") at
// `line` onto the current exception. Safe to call with an error set; keeps it.
void add_traceback(const char* name, int line) noexcept;

}  // namespace vesk
