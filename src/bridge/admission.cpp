// process_request(connection, request): decides during the opening handshake
// whether a connection may become the front-end. A page of any site open in
// the user's browser can reach the loopback host, so only pages of loopback
// origins (or file://, which sends "null"), origins listed in VESK_ORIGINS and
// clients that send no Origin at all (not browsers) are let in; with
// VESK_TOKEN set, only requests whose query carries token=<that value>.
// Refused requests get HTTP 403 and never reach yourfunction.
#include "bridge/admission.h"
#include "bridge/scope.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/coroutine.h"

#include <string>
#include <string_view>

namespace vesk {
namespace {

constexpr long kForbidden = 403;
constexpr const char* kOriginRefused = "Vesk: this origin may not connect; VESK_ORIGINS admits more origins\n";
constexpr const char* kTokenRefused = "Vesk: the request carries no token or a wrong one (token=... in its query)\n";

const Name kHeaders("headers"), kGetAll("get_all"), kRespond("respond");

std::string_view utf8(PyObject* text) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw_error();
    return {data, static_cast<size_t>(size)};
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A dotted quad in the canonical form browsers serialise, within 127.0.0.0/8.
bool loopback_ipv4(std::string_view host) {
    int parts = 0;
    while (true) {
        const size_t dot = host.find('.');
        const std::string_view part = host.substr(0, dot);
        if (!all_digits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        if (std::stoi(std::string(part)) > 255) return false;
        if (parts == 0 && part != "127") return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return parts == 4;
}

bool loopback_origin(std::string_view origin) {
    size_t scheme_end = origin.find("://");
    if (scheme_end == std::string_view::npos) return false;
    const std::string_view scheme = origin.substr(0, scheme_end);
    if (!equal_ignoring_case(scheme, "http") && !equal_ignoring_case(scheme, "https")) return false;
    std::string_view authority = origin.substr(scheme_end + 3);
    std::string_view host, port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(0, close + 1);
        port = authority.substr(close + 1);
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (!port.empty() && (port[0] != ':' || !all_digits(port.substr(1)) || port.size() > 6)) return false;
    return equal_ignoring_case(host, "localhost") || host == "[::1]" || loopback_ipv4(host);
}

bool origin_allowed(PyObject* origin, PyObject* listed) {
    const std::string_view text = utf8(origin);
    if (text == "null" || loopback_origin(text)) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(listed); ++i) {
        if (equal_ignoring_case(text, utf8(PyTuple_GET_ITEM(listed, i)))) return true;
    }
    return false;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query value as URLSearchParams writes it: %XX escapes, '+' for a blank.
std::string unescape(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '+') {
            out += ' ';
        } else if (value[i] == '%' && i + 2 < value.size() && hex_value(value[i + 1]) >= 0 &&
                   hex_value(value[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(value[i + 1]) * 16 + hex_value(value[i + 2]));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// Compares every byte whatever the first difference, so that the time taken
// does not tell how much of a guess was right.
bool same_secret(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool token_matches(PyObject* path, PyObject* token) {
    std::string_view text = utf8(path);
    const size_t question = text.find('?');
    if (question == std::string_view::npos) return false;
    std::string_view query = text.substr(question + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && unescape(pair.substr(0, equals)) == "token") {
            return same_secret(unescape(pair.substr(equals + 1)), utf8(token));
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

// The refusal text for a request, or NULL to let it in.
const char* refusal(PyObject* path, PyObject* headers, const BridgeSettings& settings) {
    if (settings.token && !token_matches(path, settings.token.get())) return kTokenRefused;
    Ref name = str("Origin");
    Ref origins = call_method(headers, kGetAll, name.get());
    const Py_ssize_t count = PySequence_Size(origins.get());
    if (count < 0) throw_error();
    if (count == 0) return nullptr;  // not a browser
    if (count > 1) return kOriginRefused;
    Ref origin = check(PySequence_GetItem(origins.get(), 0));
    if (!PyUnicode_Check(origin.get()) || !origin_allowed(origin.get(), settings.origins.get())) return kOriginRefused;
    return nullptr;
}

// The legacy server calls process_request(path, headers) and takes a
// (status, headers, body) tuple; the current one calls it with the
// connection and the request and takes connection.respond(status, text).
CoroutineBody admit(Ref scope_object, Ref first, Ref second) {
    BridgeScope* scope = reinterpret_cast<BridgeScope*>(scope_object.get());
    const bool legacy = PyUnicode_Check(first.get());
    Ref path = legacy ? first.copy() : getattr(second.get(), kPath);
    Ref headers = legacy ? second.copy() : getattr(second.get(), kHeaders);
    const char* refused = refusal(path.get(), headers.get(), scope->settings);
    if (refused == nullptr) co_return Ref::borrow(Py_None);
    Ref status = integer(kForbidden);
    if (legacy) {
        Ref no_headers = check(PyList_New(0));
        Ref body = check(PyBytes_FromString(refused));
        co_return check(PyTuple_Pack(3, status.get(), no_headers.get(), body.get()));
    }
    Ref text = str(refused);
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
