#include "core/traceback.h"

#include <frameobject.h>

#include <map>
#include <string>
#include <utility>

namespace vesk {
namespace {

// A code object whose first line is `line`: its empty line table makes every
// frame made from it report exactly that line, on every supported CPython.
PyCodeObject* code_for(const char* name, int line) {
    static std::map<std::pair<std::string, int>, PyCodeObject*> cache;
    auto key = std::make_pair(std::string(name), line);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PyCodeObject* code = PyCode_NewEmpty(kTracebackFileName, name, line);
    if (code != nullptr) cache.emplace(std::move(key), code);  // kept for the process
    return code;
}

PyObject* frame_globals() {
    static PyObject* globals = nullptr;
    if (globals == nullptr) {
        globals = Py_BuildValue("{ss}", "__name__", "Vesk");
    }
    return globals;
}

}  // namespace

void add_traceback(const char* name, int line) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = code_for(name, line);  // borrowed from the cache
    PyObject* globals = code != nullptr ? frame_globals() : nullptr;
    PyFrameObject* frame = globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure to build the entry must not replace the error being reported.
    if (frame == nullptr) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace vesk
