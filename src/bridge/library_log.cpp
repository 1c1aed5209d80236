#include "bridge/library_log.h"

#include "core/builtin.h"
#include "core/call.h"

namespace vesk {
namespace {

constexpr const char* kServerLogger = "websockets.server";
constexpr const char* kKeepaliveFailed = "keepalive ping failed";

constexpr const char* kTokenPattern = "(token=)[^&#\\s]*";
constexpr const char* kRedacted = "\\1<redacted>";

const Name kMsg("msg"), kArgs("args"), kExcInfo("exc_info"), kAddFilter("addFilter"), kGetMessage("getMessage"),
    kSub("sub"), kWebsocketsExceptions("websockets.exceptions"), kRe("re"), kLogging("logging");

// Both kept for the process.
PyObject* connection_closed = nullptr;  // websockets.exceptions.ConnectionClosed
PyObject* token_pattern = nullptr;      // re.compile(kTokenPattern)

bool repeats_bridge_failure(PyObject* record) {
    Ref message = getattr(record, kMsg);
    if (!PyUnicode_Check(message.get()) || PyUnicode_CompareWithASCIIString(message.get(), kKeepaliveFailed) != 0) {
        return false;
    }
    Ref info = getattr(record, kExcInfo);
    return PyTuple_Check(info.get()) && PyTuple_GET_SIZE(info.get()) == 3 &&
           check_status(PyObject_IsInstance(PyTuple_GET_ITEM(info.get(), 1), connection_closed)) == 1;
}

// The record's message, formatted, with every token value replaced.
void redact_token(PyObject* record) {
    Ref message = call_method(record, kGetMessage);
    Ref needle = str("token=");
    if (check_status(PySequence_Contains(message.get(), needle.get())) == 0) return;
    Ref replacement = str(kRedacted);
    Ref redacted = call_method(token_pattern, kSub, replacement.get(), message.get());
    setattr(record, kMsg, redacted.get());
    setattr(record, kArgs, Py_None);
}

// logging's filter: false drops the record. A record whose token cannot be
// redacted is dropped; any other failure here keeps it.
PyObject* keep_record(PyObject*, PyObject* record) {
    bool drop = false;
    try {
        redact_token(record);
    } catch (const PyError&) {
        PyErr_Clear();
        return Py_NewRef(Py_False);
    }
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
        Ref exceptions = import_module(kWebsocketsExceptions);
        Ref closed = check(PyObject_GetAttrString(exceptions.get(), "ConnectionClosed"));
        Ref re = import_module(kRe);
        Ref pattern = check(PyObject_CallMethod(re.get(), "compile", "s", kTokenPattern));
        Ref function = make_builtin_function(def);
        token_pattern = pattern.release();
        connection_closed = closed.release();
        filter = function.release();
    }
    Ref logging = import_module(kLogging);
    Ref logger = check(PyObject_CallMethod(logging.get(), "getLogger", "s", kServerLogger));
    call_method(logger.get(), kAddFilter, filter);
}

}  // namespace vesk
