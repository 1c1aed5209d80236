// main(): serves the front-end until cancelled, inside
// `async with websockets.serve(yourfunction, hosts, port, **options)`, where
// the options admit only our page (process_request), bound the waits and
// turn permessage-deflate off: on the loopback host compressing each step's
// text and rows only costs (about 1.9 ms a round trip at 1024 environments).
//
// The page dials 127.0.0.1, but a client that dials "localhost" may try
// [::1] first: the bridge holds [::1] on the same port too, so that no other
// program can listen there and take the token. Where [::1] is held already,
// the bridge does not start; where the machine has no IPv6 loopback, it
// serves 127.0.0.1 alone.
#include "bridge/scope.h"

#include "bridge/library_log.h"
#include "bridge/run_file.h"
#include "bridge/settings.h"
#include "core/call.h"
#include "core/coroutine.h"
#include "core/environment_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "failure/failover.h"
#include "failure/mode.h"
#include "failure/process_exit.h"

#include <optional>

#include <cerrno>

namespace vesk {
namespace {

// Loopback only, each address named: where IPv6 is disabled but "localhost"
// still resolves to ::1, binding every address of "localhost" would fail.
constexpr const char* kHost = "127.0.0.1";
constexpr const char* kIPv6Host = "::1";
// A peer that goes silent after a protocol error (an invalid or oversized
// frame) is dropped after this long instead of the library's 10 seconds; the
// pings notice such a failure while the handler waits for a reply.
constexpr long kCloseTimeoutSeconds = 1;
constexpr long kPingIntervalSeconds = 1;
constexpr const char* kCannotListen = "the bridge cannot listen on %s port %S";
constexpr const char* kCannotListenAnyPort = "the bridge cannot listen on %s";
constexpr const char* kChoosePort = "VESK_PORT chooses another port";

const Name kServe("serve"), kAexit("__aexit__"), kAenter("__aenter__"), kFuture("Future"),
    kProcessRequest("process_request"), kMaxSize("max_size"), kCloseTimeout("close_timeout"),
    kPingInterval("ping_interval"), kCompression("compression"), kSocketModule("socket"), kGaierror("gaierror");

// websockets.serve(yourfunction, hosts, port, **options); asyncio binds
// every host of the list or none.
Ref make_server(BridgeScope* scope, PyObject* host) {
    Ref websockets = global(kWebsockets);
    Ref serve = getattr(websockets.get(), kServe);
    Ref args = check(PyTuple_Pack(3, scope->yourfunction.get(), host, scope->settings.port.get()));
    Ref close_timeout = integer(kCloseTimeoutSeconds), ping_interval = integer(kPingIntervalSeconds);
    Ref options = make_dict({{kProcessRequest, scope->admission.get()},
                             {kCloseTimeout, close_timeout.get()},
                             {kPingInterval, ping_interval.get()},
                             {kCompression, Py_None}});
    if (scope->settings.max_bytes)
        check_status(PyDict_SetItem(options.get(), kMaxSize.get(), scope->settings.max_bytes.get()));
    return check(PyObject_Call(serve.get(), args.get(), options.get()));
}

// Makes the server and returns its __aenter__() to await.
Ref open_server(BridgeScope* scope, PyObject* hosts, Ref& server, Ref& aexit) {
    server = make_server(scope, hosts);
    PyObject* server_type = reinterpret_cast<PyObject*>(Py_TYPE(server.get()));
    aexit = getattr(server_type, kAexit);
    Ref aenter = getattr(server_type, kAenter);
    return call(aenter.get(), server.get());
}

// With the error set (it stays set, unless the process ends): a bridge that
// cannot listen, while no other bridge of its queues listens, ends the
// process here by default, before its exception reaches the thread's
// excepthook; in raise mode the waiting caller learns of it instead.
// Cancellation, KeyboardInterrupt and the other errors that are not an
// Exception leave as they are.
void cannot_listen(BridgeScope* scope, std::optional<ExchangeHandle>& state) {
    const bool another_listens = state && (*state)->listening_bridges > 0;
    SavedError error = SavedError::fetch();
    error.normalize();
    if (!error || !PyErr_GivenExceptionMatches(error.type(), PyExc_Exception)) return error.restore();
    const bool os_error = error && PyErr_GivenExceptionMatches(error.type(), PyExc_OSError);
    Ref what = scope->settings.port ? Ref::steal(PyUnicode_FromFormat(kCannotListen, kHost, scope->settings.port.get()))
                                    : Ref::steal(PyUnicode_FromFormat(kCannotListenAnyPort, kHost));
    Ref detail = os_error ? Ref::steal(PyUnicode_FromString(kChoosePort)) : Ref();
    const char* what_text = what ? PyUnicode_AsUTF8(what.get()) : nullptr;
    Ref reply_queue = Ref::steal(PyObject_GetAttr(scope->environment.get(), kReplyQueue.get()));
    PyErr_Clear();
    error.restore();
    if (!raising_failures()) {
        if (!another_listens)
            end_process_after_failure(what_text != nullptr ? what_text : "the bridge cannot listen", detail.get());
        return;
    }
    if (what && reply_queue && state) report_listen_failure(**state, reply_queue.get(), what.get(), detail.get());
}

// With an OSError set: true (and the error cleared) when it says the machine
// has no IPv6 loopback, rather than that the address is taken.
bool no_ipv6_loopback() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
    SavedError error = SavedError::fetch();
    error.normalize();
    Ref gaierror;
    try {
        gaierror = getattr(import_module(kSocketModule).get(), kGaierror);
    } catch (const PyError&) {
        PyErr_Clear();
    }
    Ref number = Ref::steal(PyObject_GetAttrString(error.value(), "errno"));
    const long code = number && PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : -1;
    PyErr_Clear();
    const bool absent = code == EADDRNOTAVAIL || code == EAFNOSUPPORT ||
                        (gaierror && PyErr_GivenExceptionMatches(error.value(), gaierror.get()));
    if (!absent) error.restore();
    return absent;
}

Ref both_hosts() {
    Ref ipv4 = str(kHost), ipv6 = str(kIPv6Host);
    return check(PyTuple_Pack(2, ipv4.get(), ipv6.get()));
}

CoroutineBody serve_forever(Ref scope_object) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    Ref server, aexit;
    std::optional<ExchangeHandle> state;
    try {
        scope->settings.port.reset();
        Ref send_queue = getattr(scope->environment.get(), kSendQueue);
        state.emplace(send_queue.get());
        scope->settings.port = read_port();
        read_settings(scope->settings);
        quiet_library_failure_log();
        bool ipv4_alone = false;
        try {
            Ref hosts = both_hosts();
            co_await py_await(open_server(scope, hosts.get(), server, aexit));
        } catch (const PyError&) {
            if (!no_ipv6_loopback()) throw;
            ipv4_alone = true;
        }
        if (ipv4_alone) {
            Ref host = str(kHost);
            co_await py_await(open_server(scope, host.get(), server, aexit));
        }
    } catch (const PyError&) {
        cannot_listen(scope, state);
        throw;
    }
    ++(*state)->listening_bridges;
    // The caller's bound on waiting while no front-end is connected (raise mode).
    (*state)->task_timeout = PyFloat_AsDouble(scope->settings.task_timeout.get());  // checked by read_task_timeout
    // Only now, with the port ours, may the pages learn where to send the token.
    if (scope->settings.own_token) {
        scope->settings.run_file = write_run_file(scope->settings.port.get(), scope->settings.token.get());
    }

    // A future nothing completes: main stays here while the server serves.
    SavedError error;
    try {
        Ref asyncio = global(kAsyncio);
        Ref future_class = getattr(asyncio.get(), kFuture);
        co_await py_await(call(future_class.get()));
    } catch (const PyError&) {
        error = SavedError::fetch();
        error.normalize();
    }
    --(*state)->listening_bridges;
    if (!error) {
        co_await py_await(call(aexit.get(), server.get(), Py_None, Py_None, Py_None));
        co_return Ref::borrow(Py_None);
    }
    Ref swallowed = co_await py_await(
        call(aexit.get(), server.get(), error.type(), error.value(), error.traceback() ? error.traceback() : Py_None));
    if (is_true(swallowed.get())) co_return Ref::borrow(Py_None);
    error.restore();
    throw PyError{};
}

Ref main_function(FunctionObject* function, PyObject* const*) {
    return make_coroutine(main_spec, serve_forever(function->closure.copy()));
}

}  // namespace

const FunctionSpec main_spec = {
    {"main", std::span<const Parameter>()}, kStartQueueLocals, line::main, {}, {}, main_function, true};

}  // namespace vesk
