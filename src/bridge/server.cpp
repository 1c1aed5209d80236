// main(): serves the front-end until cancelled, inside
// `async with websockets.serve(yourfunction, host, port)`.
#include "bridge/scope.h"

#include "core/call.h"
#include "core/coroutine.h"
#include "core/globals.h"

namespace vesk {
namespace {

// Loopback only. 127.0.0.1 rather than "localhost": where IPv6 is disabled
// but "localhost" still resolves to ::1, binding every address would fail.
constexpr const char* kHost = "127.0.0.1";
constexpr long kDefaultPort = 70;
constexpr const char* kPortVariable = "VESK_PORT";
constexpr const char* kBadPort = "VESK_PORT must be an integer from 1 to 65535, got %R";

const Name kWebsockets("websockets"), kServe("serve"), kAexit("__aexit__"), kAenter("__aenter__"),
    kAsyncio("asyncio"), kFuture("Future"), kOs("os"), kEnviron("environ"), kGet("get"), kStrip("strip");

// Port 70 needs root on most systems; VESK_PORT replaces it where set.
Ref server_port() {
    Ref os = global(kOs);
    Ref environ = getattr(os.get(), kEnviron);
    Ref name = str(kPortVariable);
    Ref text = call_method(environ.get(), kGet, name.get());
    if (text.get() == Py_None) return integer(kDefaultPort);
    Ref digits = call_method(text.get(), kStrip);
    Ref port = Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
    const long value = port ? PyLong_AsLong(port.get()) : -1;
    if (value < 1 || value > 65535) {
        PyErr_Clear();
        raise_format(PyExc_ValueError, kBadPort, text.get());
    }
    return port;
}

CoroutineBody serve_forever(Ref scope_object) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    Ref port = server_port();
    Ref websockets = global(kWebsockets);
    Ref serve = getattr(websockets.get(), kServe);
    Ref host = str(kHost);
    Ref server = call(serve.get(), scope->yourfunction.get(), host.get(), port.get());
    PyObject* server_type = reinterpret_cast<PyObject*>(Py_TYPE(server.get()));
    Ref aexit = getattr(server_type, kAexit);
    Ref aenter = getattr(server_type, kAenter);
    co_await py_await(call(aenter.get(), server.get()));

    // A future nothing completes: main stays here while the server serves.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    try {
        Ref asyncio = global(kAsyncio);
        Ref future_class = getattr(asyncio.get(), kFuture);
        co_await py_await(call(future_class.get()));
    } catch (const PyError&) {
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    Ref error_type = Ref::steal(type), error = Ref::steal(value), error_traceback = Ref::steal(traceback);
    if (!error) {
        co_await py_await(call(aexit.get(), server.get(), Py_None, Py_None, Py_None));
        co_return Ref::borrow(Py_None);
    }
    Ref swallowed = co_await py_await(call(
        aexit.get(), server.get(), error_type.get(), error.get(), error_traceback ? error_traceback.get() : Py_None));
    if (is_true(swallowed.get())) co_return Ref::borrow(Py_None);
    PyErr_Restore(error_type.release(), error.release(), error_traceback.release());
    throw PyError{};
}

Ref main_function(FunctionObject* function, PyObject* const*) {
    return make_coroutine(main_spec, serve_forever(function->closure.copy()));
}

}  // namespace

const FunctionSpec main_spec = {{"main", std::span<const Parameter>()}, "Vesk_Pal_st.start_queue.<locals>.main",
                                "Vesk.Vesk_Pal_st.start_queue.main", 316, {}, {}, main_function, true};

}  // namespace vesk
