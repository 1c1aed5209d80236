#include "bridge/settings.h"

#include "core/call.h"
#include "core/environ.h"
#include "failure/mode.h"

#include <climits>
#include <cmath>
#include <string_view>

namespace vesk {
namespace {

constexpr long kDefaultPort = 70;
constexpr const char* kBadPort = "VESK_PORT must be an integer from 1 to 65535, got %R";
constexpr const char* kBadMaxBytes = "VESK_MAX_MESSAGE_BYTES must be a positive integer (bytes), got %R";
constexpr const char* kBadOrigin =
    "VESK_ORIGINS must be a comma-separated list of origins such as https://example.com:8000 or null, got %R";
constexpr long kDefaultTaskTimeout = 30;
constexpr const char* kBadTaskTimeout = "VESK_TASK_TIMEOUT must be a positive number (seconds), got %R";

const Name kStrip("strip"), kLower("lower"), kSplit("split"), kSecrets("secrets");

Ref variable(const char* name) { return environment_variable(name); }

// A decimal integer from `low` to `high`, or ValueError with `message`.
Ref bounded_integer(PyObject* text, long low, long high, const char* message) {
    Ref digits = call_method(text, kStrip);
    Ref number = Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
    const long value = number ? PyLong_AsLong(number.get()) : -1;
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    if (value < low || value > high) raise_format(PyExc_ValueError, message, text);
    return number;
}

// "scheme://host[:port]" with nothing after it, or "null": the forms a
// browser sends in its Origin header.
bool looks_like_origin(PyObject* entry) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(entry, &size);
    if (text == nullptr) throw_error();
    const std::string_view origin(text, static_cast<size_t>(size));
    if (origin == "null") return true;
    const size_t separator = origin.find("://");
    if (separator == std::string_view::npos || separator == 0) return false;
    const std::string_view authority = origin.substr(separator + 3);
    return !authority.empty() && authority.find_first_of("/?#@ ") == std::string_view::npos;
}

Ref read_origins() {
    Ref text = variable("VESK_ORIGINS");
    if (!text) return check(PyTuple_New(0));
    Ref comma = str(",");
    Ref parts = call_method(text.get(), kSplit, comma.get());
    Ref origins = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        Ref stripped = call_method(PyList_GET_ITEM(parts.get(), i), kStrip);
        if (PyUnicode_GET_LENGTH(stripped.get()) == 0) continue;
        Ref origin = call_method(stripped.get(), kLower);
        if (!looks_like_origin(origin.get())) raise_format(PyExc_ValueError, kBadOrigin, stripped.get());
        check_status(PyList_Append(origins.get(), origin.get()));
    }
    return check(PyList_AsTuple(origins.get()));
}

}  // namespace

Ref read_port() {
    Ref text = variable(kPortVariable);
    if (!text) return integer(kDefaultPort);
    return bounded_integer(text.get(), 1, 65535, kBadPort);
}

void read_settings(BridgeSettings& settings) {
    read_token(settings);
    settings.origins = read_origins();
    Ref max_bytes = variable(kMaxBytesVariable);
    settings.max_bytes = max_bytes ? bounded_integer(max_bytes.get(), 1, LONG_MAX, kBadMaxBytes) : Ref();
    failure_mode();
    settings.task_timeout = read_task_timeout();
}

// VESK_TOKEN=off admits clients without a token, as hand-written ones may need.
constexpr const char* kNoToken = "off";
// A run's own token: 32 random bytes, 43 URL-safe characters.
constexpr long kOwnTokenBytes = 32;

void read_token(BridgeSettings& settings) {
    static const Name token_urlsafe("token_urlsafe");
    Ref token = variable(kTokenVariable);
    settings.own_token = false;
    if (token) {
        Ref stripped = call_method(token.get(), kStrip);
        Ref lowered = call_method(stripped.get(), kLower);
        if (PyUnicode_CompareWithASCIIString(lowered.get(), kNoToken) == 0) {
            settings.token.reset();
            return;
        }
    }
    // An empty value is taken as unset, as shells make it by `VESK_TOKEN= cmd`.
    if (token && PyUnicode_GET_LENGTH(token.get()) > 0) {
        settings.token = std::move(token);
        return;
    }
    Ref secrets = import_module(kSecrets);
    Ref length = integer(kOwnTokenBytes);
    settings.token = call_method(secrets.get(), token_urlsafe, length.get());
    settings.own_token = true;
}

Ref read_task_timeout() {
    Ref text = variable(kTaskTimeoutVariable);
    if (!text) return integer(kDefaultTaskTimeout);
    Ref stripped = call_method(text.get(), kStrip);
    // An integer stays one, as the default is: what asyncio.wait_for is given.
    Ref number = Ref::steal(PyLong_FromUnicodeObject(stripped.get(), 10));
    if (!number) {
        PyErr_Clear();
        number = Ref::steal(PyFloat_FromString(stripped.get()));
    }
    const double seconds = number ? PyFloat_AsDouble(number.get()) : -1;  // ints too; huge ones fail
    if (seconds == -1 && PyErr_Occurred()) PyErr_Clear();
    if (!number || !std::isfinite(seconds) || seconds <= 0) raise_format(PyExc_ValueError, kBadTaskTimeout, text.get());
    return number;
}

}  // namespace vesk
