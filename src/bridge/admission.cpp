// process_request(connection, request): decides during the opening handshake
// whether a connection may become the front-end. A page of any site open in
// the user's browser can reach the loopback host, so only pages of loopback
// origins (or file://, which sends "null"), origins listed in VESK_ORIGINS and
// clients that send no Origin at all (not browsers) are let in; and, unless
// VESK_TOKEN is off, only requests whose query carries token=<the token>:
// VESK_TOKEN's value, or the one this run made (run_file.h).
// Refused requests get HTTP 403 and never reach yourfunction. The parsing
// is urllib.parse's and ipaddress's, the comparison hmac.compare_digest.
#include "bridge/admission.h"
#include "bridge/run_file.h"
#include "bridge/scope.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/coroutine.h"

namespace vesk {
namespace {

constexpr long kForbidden = 403;
constexpr const char* kOriginRefused = "Vesk: this origin may not connect; VESK_ORIGINS admits more origins\n";
constexpr const char* kTokenRefused =
    "Vesk: the request carries no token or a wrong one: open the page with ?token=<the value of VESK_TOKEN>, "
    "which the client kit passes on as token=... in its query\n";
constexpr const char* kOwnTokenRefused =
    "Vesk: the request carries no token or a wrong one. This run made its own token: a page opened from the "
    "bundle folder (file://) or served from the loopback host finds it in assets/vesk-run.js beside the client "
    "kit; veskit.Browser passes it on; other clients need VESK_TOKEN set in the Python process and token=<value> "
    "in their query, or VESK_TOKEN=off\n";
// Written once to the Python side's stderr: the user there may not see the page.
constexpr const char* kOwnTokenFix =
    "Vesk: a front-end without this run's token was refused (HTTP 403). Open the page from the bundle folder "
    "(its token is in %U) or with veskit.Browser; or set VESK_TOKEN=<value> and open the page with ?token=<value>; "
    "VESK_TOKEN=off admits clients without a token\n";
constexpr const char* kOwnTokenFixNoFile =
    "Vesk: a front-end without this run's token was refused (HTTP 403). No page can read it: %U was not "
    "written (no such folder, or no permission). Open the page with veskit.Browser, or set VESK_TOKEN=<value> and open "
    "the page with ?token=<value>; "
    "VESK_TOKEN=off admits clients without a token\n";
constexpr const char* kTokenFix =
    "Vesk: a front-end without the token VESK_TOKEN sets was refused (HTTP 403): open the page with "
    "?token=<the value of VESK_TOKEN>\n";

const Name kHeaders("headers"), kGetAll("get_all"), kRespond("respond"), kUrlsplit("urlsplit"), kParseQsl("parse_qsl"),
    kQuery("query"), kScheme("scheme"), kHostname("hostname"), kPort("port"), kKeepBlankValues("keep_blank_values"),
    kErrors("errors"), kEncode("encode"), kLower("lower"), kCompareDigest("compare_digest"),
    kIPv4Address("IPv4Address"), kIsLoopback("is_loopback"), kIpaddress("ipaddress"), kUrllibParse("urllib.parse"),
    kHmac("hmac");

enum class Refusal { none, origin, token };

// Runs `body`; a ValueError it raises (a malformed URL, port or address)
// means `otherwise`.
template <class Body>
bool unless_value_error(bool otherwise, Body&& body) {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return otherwise;
    }
}

bool equal(PyObject* text, const char* ascii) { return PyUnicode_CompareWithASCIIString(text, ascii) == 0; }

// The host of a loopback origin as a browser writes it, or empty:
// localhost, [::1] or 127.x.y.z in the canonical dotted quad.
Ref loopback_host(PyObject* hostname) {
    if (equal(hostname, "localhost")) return Ref::borrow(hostname);
    if (equal(hostname, "::1")) return str("[::1]");
    Ref ipaddress = import_module(kIpaddress);
    Ref address_class = getattr(ipaddress.get(), kIPv4Address);
    Ref address = call(address_class.get(), hostname);
    Ref loopback = getattr(address.get(), kIsLoopback);
    Ref canonical = check(PyObject_Str(address.get()));
    if (!is_true(loopback.get()) || PyUnicode_Compare(canonical.get(), hostname) != 0) return Ref();
    return canonical;
}

// urllib.parse.urlsplit(url).
Ref split_url(PyObject* url) {
    Ref parse = import_module(kUrllibParse);
    Ref urlsplit = getattr(parse.get(), kUrlsplit);
    return call(urlsplit.get(), url);
}

// Exactly "http(s)://<loopback host>[:port]" in any case, nothing more: the
// origin is rebuilt from its parts and must come out the same.
bool loopback_origin(PyObject* origin) {
    return unless_value_error(false, [&] {
        Ref parts = split_url(origin);
        Ref scheme = getattr(parts.get(), kScheme);
        Ref hostname = getattr(parts.get(), kHostname);
        if ((!equal(scheme.get(), "http") && !equal(scheme.get(), "https")) || !PyUnicode_Check(hostname.get())) {
            return false;
        }
        Ref host = loopback_host(hostname.get());
        if (!host) return false;
        Ref port = getattr(parts.get(), kPort);
        Ref rebuilt = port.get() == Py_None
                          ? check(PyUnicode_FromFormat("%U://%U", scheme.get(), host.get()))
                          : check(PyUnicode_FromFormat("%U://%U:%S", scheme.get(), host.get(), port.get()));
        Ref lowered = call_method(origin, kLower);
        return PyUnicode_Compare(lowered.get(), rebuilt.get()) == 0;
    });
}

bool origin_allowed(PyObject* origin, PyObject* listed) {
    if (equal(origin, "null") || loopback_origin(origin)) return true;
    Ref lowered = call_method(origin, kLower);
    return check_status(PySequence_Contains(listed, lowered.get())) == 1;
}

// Undecodable escapes and environment bytes survive as surrogates, so the
// comparison is of the very bytes sent.
Ref secret_bytes(PyObject* text) {
    Ref encoding = str("utf-8"), errors = str("surrogateescape");
    return call_method(text, kEncode, encoding.get(), errors.get());
}

// The first token=... of the query, as URLSearchParams writes it, compared
// in constant time.
bool token_matches(PyObject* path, PyObject* token) {
    return unless_value_error(false, [&] {
        Ref parse = import_module(kUrllibParse);
        Ref parts = split_url(path);
        Ref query = getattr(parts.get(), kQuery);
        Ref parse_qsl = getattr(parse.get(), kParseQsl);
        Ref errors = str("surrogateescape");
        Ref options = make_dict({{kKeepBlankValues, Py_True}, {kErrors, errors.get()}});
        Ref args = check(PyTuple_Pack(1, query.get()));
        Ref pairs = check(PyObject_Call(parse_qsl.get(), args.get(), options.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(pairs.get(), i);  // borrowed
            if (!equal(PyTuple_GET_ITEM(pair, 0), "token")) continue;
            Ref hmac = import_module(kHmac);
            Ref compare_digest = getattr(hmac.get(), kCompareDigest);
            Ref given = secret_bytes(PyTuple_GET_ITEM(pair, 1)), expected = secret_bytes(token);
            Ref same = call(compare_digest.get(), given.get(), expected.get());
            return is_true(same.get());
        }
        return false;
    });
}

Refusal refusal(PyObject* path, PyObject* headers, const BridgeSettings& settings) {
    if (settings.token && !token_matches(path, settings.token.get())) return Refusal::token;
    Ref name = str("Origin");
    Ref origins = call_method(headers, kGetAll, name.get());
    const Py_ssize_t count = PySequence_Size(origins.get());
    if (count < 0) throw_error();
    if (count == 0) return Refusal::none;  // not a browser
    if (count > 1) return Refusal::origin;
    Ref origin = check(PySequence_GetItem(origins.get(), 0));
    if (!PyUnicode_Check(origin.get()) || !origin_allowed(origin.get(), settings.origins.get())) {
        return Refusal::origin;
    }
    return Refusal::none;
}

// A line the user may miss is no reason to refuse differently: trouble
// writing it is ignored.
void write_to_stderr(PyObject* text) {
    ErrorGuard keep;
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream != nullptr && stream != Py_None && PyFile_WriteObject(text, stream, Py_PRINT_RAW) == 0) {
        Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
    }
    PyErr_Clear();
}

// The first token refusal tells the Python side's user how to let the page in.
void tell_token_fix_once(BridgeSettings& settings) {
    if (settings.told_token_fix) return;
    settings.told_token_fix = true;
    Ref text;
    if (!settings.own_token) {
        text = str(kTokenFix);
    } else if (settings.run_file) {
        text = check(PyUnicode_FromFormat(kOwnTokenFix, settings.run_file.get()));
    } else {
        Ref path = run_file_path();
        Ref shown = path ? std::move(path) : str("assets/vesk-run.js");
        text = check(PyUnicode_FromFormat(kOwnTokenFixNoFile, shown.get()));
    }
    write_to_stderr(text.get());
}

const char* body_of(Refusal refused, const BridgeSettings& settings) {
    if (refused == Refusal::origin) return kOriginRefused;
    return settings.own_token ? kOwnTokenRefused : kTokenRefused;
}

// The legacy server calls process_request(path, headers) and takes a
// (status, headers, body) tuple; the current one calls it with the
// connection and the request and takes connection.respond(status, text).
CoroutineBody admit(Ref scope_object, Ref first, Ref second) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    const bool legacy = PyUnicode_Check(first.get());
    Ref path = legacy ? first.copy() : getattr(second.get(), kPath);
    Ref headers = legacy ? second.copy() : getattr(second.get(), kHeaders);
    const Refusal refused = refusal(path.get(), headers.get(), scope->settings);
    if (refused == Refusal::none) co_return Ref::borrow(Py_None);
    if (refused == Refusal::token) tell_token_fix_once(scope->settings);
    const char* body = body_of(refused, scope->settings);
    Ref status = integer(kForbidden);
    if (legacy) {
        Ref no_headers = check(PyList_New(0));
        Ref bytes = check(PyBytes_FromString(body));
        co_return check(PyTuple_Pack(3, status.get(), no_headers.get(), bytes.get()));
    }
    Ref text = str(body);
    co_return call_method(first.get(), kRespond, status.get(), text.get());
}

Ref process_request(FunctionObject* function, PyObject* const* args) {
    return make_coroutine(process_request_spec,
                          admit(function->closure.copy(), Ref::borrow(args[0]), Ref::borrow(args[1])));
}

constexpr Parameter kParams[] = {{"connection"}, {"request"}};

}  // namespace

const FunctionSpec process_request_spec = {
    {"process_request", kParams}, kStartQueueLocals, line::process_request, {}, {}, process_request, true};

}  // namespace vesk
