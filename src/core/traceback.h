// Traceback entries for module functions, which have no Python frame.
#pragma once
#include <Python.h>

namespace vesk {

// The file name of module functions' code objects; the '<' keeps linecache
// from looking for a source file.
inline constexpr const char* kTracebackFileName = "<Vesk>";

// A traceback entry: named "<owner>.<name>" (e.g. "Vesk.Vesk_Pal_st.step"),
// or `name` alone when owner is NULL, at `line`.
struct TraceSite {
    const char* owner;
    const char* name;
    int line;
};

// Pushes the entry onto the current exception. Safe to call with an error
// set; keeps it.
void add_traceback(const TraceSite& site) noexcept;

}  // namespace vesk
