#include "bridge/library_log.h"

#include "core/builtin.h"
#include "core/call.h"

namespace vesk {
namespace {

constexpr const char* kServerLogger = "websockets.server";
constexpr const char* kKeepaliveFailed = "keepalive ping failed";

const Name kMsg("msg"), kExcInfo("exc_info"), kAddFilter("addFilter");

PyObject* connection_closed = nullptr;  // websockets.exceptions.ConnectionClosed, kept for the process

bool repeats_bridge_failure(PyObject* record) {
    Ref message = getattr(record, kMsg);
    if (!PyUnicode_Check(message.get()) || PyUnicode_CompareWithASCIIString(message.get(), kKeepaliveFailed) != 0) {
        return false;
    }
    Ref info = getattr(record, kExcInfo);
    return PyTuple_Check(info.get()) && PyTuple_GET_SIZE(info.get()) == 3 &&
           check_status(PyObject_IsInstance(PyTuple_GET_ITEM(info.get(), 1), connection_closed)) == 1;
}

// logging's filter: false drops the record. A failure here keeps it.
PyObject* keep_record(PyObject*, PyObject* record) {
    bool drop = false;
    try {
        drop = repeats_bridge_failure(record);
    } catch (const PyError&) {
        PyErr_Clear();
    }
    return Py_NewRef(drop ? Py_False : Py_True);
}

}  // namespace

void quiet_library_failure_log() {
    static PyMethodDef def = {"keep_record", keep_record, METH_O, nullptr};
    static PyObject* filter = nullptr;  // one object, so addFilter adds it once
    if (filter == nullptr) {
        Ref exceptions = check(PyImport_ImportModule("websockets.exceptions"));
        Ref closed = check(PyObject_GetAttrString(exceptions.get(), "ConnectionClosed"));
        Ref function = make_builtin_function(def);
        connection_closed = closed.release();
        filter = function.release();
    }
    Ref logging = check(PyImport_ImportModule("logging"));
    Ref logger = check(PyObject_CallMethod(logging.get(), "getLogger", "s", kServerLogger));
    call_method(logger.get(), kAddFilter, filter);
}

}  // namespace vesk
