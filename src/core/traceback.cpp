#include "core/traceback.h"

#include "core/error.h"

#include <frameobject.h>

#include <map>
#include <new>
#include <string>
#include <utility>

namespace vesk {
namespace {

// A code object whose first line is `line`: its empty line table makes every
// frame made from it report exactly that line, on every supported CPython.
PyCodeObject* code_for(const TraceSite& site) noexcept try {
    static std::map<std::pair<std::string, int>, PyCodeObject*> cache;
    std::string name = site.owner != nullptr ? std::string(site.owner) + "." + site.name : std::string(site.name);
    auto key = std::make_pair(std::move(name), site.line);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PyCodeObject* code = PyCode_NewEmpty(kTracebackFileName, key.first.c_str(), site.line);
    if (code != nullptr) cache.emplace(std::move(key), code);  // kept for the process
    return code;
} catch (const std::bad_alloc&) {
    return nullptr;  // no entry rather than no error
}

PyObject* frame_globals() {
    static PyObject* globals = nullptr;
    if (globals == nullptr) {
        globals = Py_BuildValue("{ss}", "__name__", "Vesk");
    }
    return globals;
}

}  // namespace

void add_traceback(const TraceSite& site) noexcept {
    SavedError error = SavedError::fetch();
    PyCodeObject* code = code_for(site);  // borrowed from the cache
    PyObject* globals = code != nullptr ? frame_globals() : nullptr;
    PyFrameObject* frame = globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure to build the entry must not replace the error being reported.
    if (frame == nullptr) PyErr_Clear();
    error.restore();
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace vesk
