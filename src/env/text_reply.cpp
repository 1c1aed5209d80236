#include "env/text_reply.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/globals.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vesk {
namespace {

const Name kFilters("filters"), kLstrip("lstrip"), kCompile("compile"), kWarnings("warnings");
#if PY_VERSION_HEX < 0x030A0000
const Name kGc("gc"), kIsenabled("isenabled"), kEnable("enable"), kDisable("disable");
#endif

// The warnings filters with everything ignored in front. Swapped in only
// around one C-level compile() call, which runs no Python code: no other
// thread can run, and so none can see or change the swapped list.
class WarningsIgnored {
public:
    WarningsIgnored() {
        warnings_ = import_module(kWarnings);
        saved_ = getattr(warnings_.get(), kFilters);
        Ref ignore_all = check(Py_BuildValue("[(sOOOi)]", "ignore", Py_None, PyExc_Warning, Py_None, 0));
        setattr(warnings_.get(), kFilters, ignore_all.get());
    }
    ~WarningsIgnored() {
        ErrorGuard keep;
        if (PyObject_SetAttr(warnings_.get(), kFilters.get(), saved_.get()) < 0) PyErr_Clear();
    }
    WarningsIgnored(const WarningsIgnored&) = delete;
    WarningsIgnored& operator=(const WarningsIgnored&) = delete;

private:
    Ref warnings_, saved_;
};

// What literal_eval does with a str: strip leading blanks and tabs (from
// 3.10 on), parse in eval mode to a tree, convert the tree. The tree costs
// hundreds of times the text, so the reader below sends it only what it
// cannot settle itself: single tokens, and texts that fail.
Ref evaluate_by_tree(PyObject* text) {
#if PY_VERSION_HEX >= 0x030A0000
    Ref blanks = str(" \t");
    Ref source = call_method(text, kLstrip, blanks.get());
#else
    Ref source = Ref::borrow(text);
#endif
    Ref builtins_module = import_module(kBuiltinsModule);
    Ref compile = getattr(builtins_module.get(), kCompile);
    Ref filename = str("<unknown>"), mode = str("eval"), flags = integer(PyCF_ONLY_AST);
    Ref tree;
    {
        WarningsIgnored quiet;
        tree = call(compile.get(), source.get(), filename.get(), mode.get(), flags.get());
    }
    return call(builtins().literal_eval, tree.get());
}

// Thrown when the reader leaves the whole text to evaluate_by_tree: anything
// it does not know, and every failure, so that failures stay exactly those
// of literal_eval (a syntax error later in the text wins over a bad value
// earlier, for one).
struct NotMine {};

// Thrown when the text ends where more must come (an open bracket, an
// unterminated string), everything before it read: a SyntaxError whatever
// the rest would have been, and no need to parse it all again to know.
struct CutShort {};

Ref made(PyObject* object) {
    if (object == nullptr) {
        PyErr_Clear();
        throw NotMine{};
    }
    return Ref::steal(object);
}

// The bracket depth the tokenizer accepts (200 on 3.9 to 3.13).
constexpr int kMaxDepth = 200;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A node as literal_eval sees it: a number constant may take a sign, a
// signed number or a number may start a complex sum; anything else is a
// finished value.
enum class Kind { number, signed_number, value };

struct Node {
    Ref value;
    Kind kind;
};

// A recursive-descent reader over the UTF-8 text for the grammar that
// literal_eval accepts, building the values as it goes.
class Reader {
public:
    Reader(const char* begin, const char* end) : begin_(begin), at_(begin), end_(end) {}

    Ref read_all() {
        // A leading blank line or indent is the tokenizer's business.
        if (at_ == end_ || is_space(*at_) || *at_ == '\n' || *at_ == '\r') throw NotMine{};
        Node first = expression();
        skip();
        Ref result;
        if (peek() == ',') {
            result = rest_of_tuple(std::move(first), '\0');
        } else {
            result = std::move(first.value);
        }
        // The end: blanks, then line ends only.
        while (at_ < end_ && is_space(*at_)) ++at_;
        while (at_ < end_ && (*at_ == '\n' || *at_ == '\r')) ++at_;
        if (at_ != end_) throw NotMine{};
        if (failure_) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure_.get())), failure_.get());
            throw PyError{};
        }
        return result;
    }

private:
    const char* begin_;
    const char* at_;
    const char* end_;
    int depth_ = 0;
    // The first value literal_eval would refuse (a name, a sum of the wrong
    // kind, an unhashable key): raised only once the whole text has parsed,
    // since literal_eval converts only a tree that parsed.
    Ref failure_;

    Node refuse_value(const char* start) {
        if (!failure_) {
            long line = 1;
            for (const char* p = begin_; p < start; ++p) line += *p == '\n';
            Ref excerpt = made(PyUnicode_DecodeUTF8(start, std::min<std::ptrdiff_t>(at_ - start, 80), "replace"));
            Ref message = made(PyUnicode_FromFormat("malformed node or string on line %ld: %R", line, excerpt.get()));
            failure_ = made(PyObject_CallOneArg(PyExc_ValueError, message.get()));
        }
        return {Ref::borrow(Py_None), Kind::value};
    }

    // After a set or dict insertion failed: unhashable is literal_eval's
    // TypeError, anything else the parser's business.
    void insertion_failed() {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) made(nullptr);
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_traceback = Ref::steal(traceback);
        if (!failure_ && owned_value) failure_ = std::move(owned_value);
    }

    [[noreturn]] void unexpected() const {
        if (at_ >= end_) throw CutShort{};
        throw NotMine{};
    }

    static bool is_space(char c) { return c == ' ' || c == '\t'; }
    char peek() const { return at_ < end_ ? *at_ : '\0'; }
    char peek_at(std::ptrdiff_t offset) const { return end_ - at_ > offset ? at_[offset] : '\0'; }

    // Inside brackets line ends are blanks too; comments, continuation
    // lines and form feeds are left to the tokenizer.
    void skip() {
        while (at_ < end_) {
            const char c = *at_;
            if (is_space(c) || (depth_ > 0 && (c == '\n' || c == '\r'))) {
                ++at_;
            } else {
                return;
            }
        }
    }

    void expect(char c) {
        skip();
        if (peek() != c) unexpected();
        ++at_;
    }

    void open() {
        if (++depth_ > kMaxDepth) throw NotMine{};
        ++at_;
    }
    void close(char c) {
        expect(c);
        --depth_;
    }

    // literal_eval's BinOp rule: a (signed) int or float plus or minus a
    // complex number, and nothing else.
    Node expression() {
        const char* start = at_;
        Node left = unary();
        skip();
        const char op = peek();
        if (op != '+' && op != '-') return left;
        ++at_;
        skip();
        Node right = unary();
        if (left.kind == Kind::value || right.kind != Kind::number) return refuse_value(start);
        if (!(PyLong_CheckExact(left.value.get()) || PyFloat_CheckExact(left.value.get())) ||
            !PyComplex_CheckExact(right.value.get())) {
            return refuse_value(start);
        }
        PyObject* sum = op == '+' ? PyNumber_Add(left.value.get(), right.value.get())
                                  : PyNumber_Subtract(left.value.get(), right.value.get());
        return {made(sum), Kind::value};
    }

    Node unary() {
        const char* start = at_;
        const char sign = peek();
        if (sign != '+' && sign != '-') return primary();
        ++at_;
        skip();
        Node operand = primary();
        if (operand.kind != Kind::number) return refuse_value(start);
        PyObject* value = sign == '-' ? PyNumber_Negative(operand.value.get()) : PyNumber_Positive(operand.value.get());
        return {made(value), Kind::signed_number};
    }

    Node primary() {
        const char c = peek();
        if (c == '[') return {list(), Kind::value};
        if (c == '{') return {braces(), Kind::value};
        if (c == '(') return parentheses();
        if (c == '\'' || c == '"') return {strings(), Kind::value};
        if (is_digit(c) || (c == '.' && is_digit(peek_at(1)))) return {number(), Kind::number};
        if (c == '.' && peek_at(1) == '.' && peek_at(2) == '.') {
            at_ += 3;
            return {Ref::borrow(Py_Ellipsis), Kind::value};
        }
        if (is_name_char(c)) return name();
        unexpected();
    }

    // Reads items up to the closing bracket; the first is already read when
    // `first` is given. Calls `add` with each finished value.
    template <typename Add>
    void items(char closing, Add&& add) {
        for (;;) {
            skip();
            if (peek() == closing) break;
            add(expression().value);
            skip();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() != closing) unexpected();
        }
        close(closing);
    }

    Ref list() {
        open();
        Ref result = made(PyList_New(0));
        items(']', [&](Ref&& item) {
            if (PyList_Append(result.get(), item.get()) < 0) made(nullptr);
        });
        return result;
    }

    // After the first item and its comma: the rest of a tuple, up to
    // `closing` ('\0' for a tuple without brackets).
    Ref rest_of_tuple(Node first, char closing) {
        Ref gathered = made(PyList_New(0));
        if (PyList_Append(gathered.get(), first.value.get()) < 0) made(nullptr);
        ++at_;  // the comma
        const auto add = [&](Ref&& item) {
            if (PyList_Append(gathered.get(), item.get()) < 0) made(nullptr);
        };
        if (closing != '\0') {
            items(closing, add);
        } else {
            // Without brackets the tuple ends where the text does.
            for (;;) {
                skip();
                if (at_ == end_ || *at_ == '\n' || *at_ == '\r') break;
                add(expression().value);
                skip();
                if (peek() != ',') break;
                ++at_;
            }
        }
        return made(PyList_AsTuple(gathered.get()));
    }

    Node parentheses() {
        open();
        skip();
        if (peek() == ')') {
            close(')');
            return {made(PyTuple_New(0)), Kind::value};
        }
        Node first = expression();
        skip();
        if (peek() == ',') return {rest_of_tuple(std::move(first), ')'), Kind::value};
        close(')');
        return first;  // parentheses only group
    }

    Ref braces() {
        open();
        skip();
        if (peek() == '}') {
            close('}');
            return made(PyDict_New());
        }
        Ref first = expression().value;
        skip();
        if (peek() != ':') {
            Ref result = made(PySet_New(nullptr));
            if (PySet_Add(result.get(), first.get()) < 0) insertion_failed();
            if (peek() == ',') {
                ++at_;
            } else if (peek() != '}') {
                unexpected();
            }
            items('}', [&](Ref&& item) {
                if (PySet_Add(result.get(), item.get()) < 0) insertion_failed();
            });
            return result;
        }
        Ref result = made(PyDict_New());
        for (Ref key = std::move(first);;) {
            ++at_;  // the colon
            skip();
            Ref value = expression().value;
            if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) insertion_failed();
            skip();
            if (peek() == ',') {
                ++at_;
                skip();
            } else if (peek() != '}') {
                unexpected();
            }
            if (peek() == '}') break;
            key = expression().value;
            skip();
            if (peek() != ':') unexpected();
        }
        close('}');
        return result;
    }

    // None, True, False and set(); any other name is not a literal, and
    // keywords are the parser's.
    Node name() {
        const char* start = at_;
        while (at_ < end_ && is_name_char(*at_)) ++at_;
        const std::string_view word(start, static_cast<size_t>(at_ - start));
        if (peek() == '\'' || peek() == '"') {
            at_ = start;
            return {strings(), Kind::value};
        }
        if (word == "None") return {Ref::borrow(Py_None), Kind::value};
        if (word == "True") return {Ref::borrow(Py_True), Kind::value};
        if (word == "False") return {Ref::borrow(Py_False), Kind::value};
        for (const unsigned char c : word) {
            if (c >= 0x80) throw NotMine{};  // NFKC may make it set, or a keyword
        }
        if (word == "set") {
            const char* after = at_;
            skip();
            if (peek() == '(') {
                open();
                close(')');
                return {made(PySet_New(nullptr)), Kind::value};
            }
            at_ = after;
        }
        static constexpr std::string_view kKeywords[] = {
            "and",    "as",   "assert", "async",  "await",    "break",         "class", "continue", "def",
            "del",    "elif", "else",   "except", "finally",  "for",           "from",  "global",   "if",
            "import", "in",   "is",     "lambda", "nonlocal", "not",           "or",    "pass",     "raise",
            "return", "try",  "while",  "with",   "yield",    "__peg_parser__"};
        for (const std::string_view keyword : kKeywords) {
            if (word == keyword) throw NotMine{};
        }
        return refuse_value(start);
    }

    void digits(bool (*is_digit_of)(char)) {
        // One digit, then digits each optionally after one underscore.
        if (!is_digit_of(peek())) throw NotMine{};
        ++at_;
        while (at_ < end_) {
            if (*at_ == '_') {
                ++at_;
                if (!is_digit_of(peek())) throw NotMine{};
            } else if (!is_digit_of(*at_)) {
                return;
            }
            ++at_;
        }
    }

    Ref number() {
        const char* start = at_;
        bool floating = false, imaginary = false;
        const char marker = peek_at(1);
        if (peek() == '0' &&
            (marker == 'x' || marker == 'X' || marker == 'o' || marker == 'O' || marker == 'b' || marker == 'B')) {
            at_ += 2;
            if (peek() == '_') ++at_;
            digits(marker == 'x' || marker == 'X'   ? is_hex
                   : marker == 'o' || marker == 'O' ? +[](char c) { return c >= '0' && c <= '7'; }
                                                    : +[](char c) { return c == '0' || c == '1'; });
        } else {
            if (peek() != '.') digits(is_digit);
            const char* integer_end = at_;
            if (peek() == '.') {
                floating = true;
                ++at_;
                if (is_digit(peek())) digits(is_digit);
            }
            if (peek() == 'e' || peek() == 'E') {
                floating = true;
                ++at_;
                if (peek() == '+' || peek() == '-') ++at_;
                digits(is_digit);
            }
            if (peek() == 'j' || peek() == 'J') {
                imaginary = true;
                ++at_;
            }
            // Leading zeros are allowed in an int only when all are zeros.
            if (!floating && !imaginary && *start == '0') {
                for (const char* p = start; p < integer_end; ++p) {
                    if (*p != '0' && *p != '_') throw NotMine{};
                }
            }
        }
        if (at_ < end_ && (is_name_char(*at_) || *at_ == '.')) throw NotMine{};

        std::string text;
        for (const char* p = start; p < at_; ++p) {
            if (*p != '_') text += *p;
        }
        // As the parser converts number tokens.
        if (imaginary) {
            text.pop_back();
            const double imag = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
            if (imag == -1.0 && PyErr_Occurred()) made(nullptr);
            return made(PyComplex_FromDoubles(0.0, imag));
        }
        if (floating) {
            const double value = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
            if (value == -1.0 && PyErr_Occurred()) made(nullptr);
            return made(PyFloat_FromDouble(value));
        }
        return made(PyLong_FromString(text.c_str(), nullptr, 0));
    }

    // Adjacent string tokens, joined; bytes only with bytes.
    Ref strings() {
        Ref pieces = made(PyList_New(0));
        bool bytes = false;
        for (;;) {
            bool is_bytes = false;
            Ref piece = string_token(is_bytes);
            if (PyList_GET_SIZE(pieces.get()) > 0 && is_bytes != bytes) throw NotMine{};
            bytes = is_bytes;
            if (PyList_Append(pieces.get(), piece.get()) < 0) made(nullptr);
            const char* before = at_;
            skip();
            if (!starts_string()) {
                at_ = before;
                break;
            }
        }
        if (PyList_GET_SIZE(pieces.get()) == 1) return Ref::borrow(PyList_GET_ITEM(pieces.get(), 0));
        if (!bytes) {
            Ref empty = made(PyUnicode_FromStringAndSize("", 0));
            return made(PyUnicode_Join(empty.get(), pieces.get()));
        }
        Ref empty = made(PyBytes_FromStringAndSize("", 0));
        return made(PyObject_CallMethod(empty.get(), "join", "O", pieces.get()));
    }

    bool starts_string() const {
        const char* p = at_;
        while (p < end_ && p - at_ < 3 && is_name_char(*p)) ++p;
        return p < end_ && (*p == '\'' || *p == '"') && p - at_ <= 2;
    }

    Ref string_token(bool& is_bytes) {
        const char* token_start = at_;
        bool raw = false;
        while (at_ < end_ && is_name_char(*at_)) {
            switch (*at_) {
                case 'r':
                case 'R':
                    raw = true;
                    break;
                case 'b':
                case 'B':
                    is_bytes = true;
                    break;
                case 'u':
                case 'U':
                    break;
                default:
                    throw NotMine{};  // f-strings and the rest go to the parser whole
            }
            ++at_;
        }
        const std::string_view prefix(token_start, static_cast<size_t>(at_ - token_start));
        if (prefix.size() > 2 || (prefix.size() == 2 && !(raw && is_bytes))) throw NotMine{};
        const char quote = peek();
        if (quote != '\'' && quote != '"') throw NotMine{};
        const bool triple = peek_at(1) == quote && peek_at(2) == quote;
        at_ += triple ? 3 : 1;
        const char* content = at_;
        bool escapes = false, non_ascii = false, unusual = triple;
        for (;;) {
            if (at_ >= end_) unexpected();
            const char c = *at_;
            if (c == '\\') {
                escapes = true;
                if (!raw && !plain_escape(peek_at(1), is_bytes)) unusual = true;
                if (peek_at(1) == '\n' || peek_at(1) == '\r') unusual = true;
                at_ += 2;
                continue;
            }
            if (c == quote && (!triple || (peek_at(1) == quote && peek_at(2) == quote))) break;
            if (!triple && (c == '\n' || c == '\r')) throw NotMine{};
            if (is_bytes && static_cast<unsigned char>(c) >= 0x80) throw NotMine{};
            if (static_cast<unsigned char>(c) >= 0x80) non_ascii = true;
            ++at_;
        }

        const char* content_end = at_;
        at_ += triple ? 3 : 1;
        const auto length = static_cast<Py_ssize_t>(content_end - content);
        if (unusual) return token_by_tree(token_start, at_);
        if (is_bytes) {
            return made(raw || !escapes ? PyBytes_FromStringAndSize(content, length)
                                        : PyBytes_DecodeEscape(content, length, nullptr, 0, nullptr));
        }
        if (raw || !escapes) return made(PyUnicode_DecodeUTF8(content, length, nullptr));
        if (!non_ascii) return made(PyUnicode_DecodeUnicodeEscape(content, length, nullptr));
        // The escape codec reads bytes as Latin-1: as the parser does, spell
        // each other character as an escape first.
        const std::string escaped = escape_non_ascii(content, content_end);
        return made(PyUnicode_DecodeUnicodeEscape(escaped.data(), static_cast<Py_ssize_t>(escaped.size()), nullptr));
    }

    // The text is valid UTF-8: it came from PyUnicode_AsUTF8AndSize.
    static std::string escape_non_ascii(const char* begin, const char* end) {
        std::string escaped;
        escaped.reserve(static_cast<size_t>(end - begin));
        for (const char* p = begin; p < end;) {
            const auto lead = static_cast<unsigned char>(*p);
            if (lead < 0x80) {
                escaped += *p++;
                continue;
            }
            const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
            unsigned long code = lead & (0x3F >> extra);
            for (int i = 1; i <= extra; ++i) code = (code << 6) | (static_cast<unsigned char>(p[i]) & 0x3F);
            p += extra + 1;
            char spelled[11];
            std::snprintf(spelled, sizeof spelled, "\\U%08lx", code);
            escaped += spelled;
        }
        return escaped;
    }

    // The escapes the codecs decode exactly as the parser does and without a
    // warning; the others (octal, \N{...}, unknown ones) go to the parser.
    static bool plain_escape(char c, bool bytes) {
        switch (c) {
            case '\\':
            case '\'':
            case '"':
            case 'a':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
            case 'v':
            case 'x':
                return true;
            case 'u':
            case 'U':
                return !bytes;
            default:
                return false;
        }
    }

    // One token through the parser: memory stays in proportion to it.
    static Ref token_by_tree(const char* start, const char* end) {
        Ref token = made(PyUnicode_DecodeUTF8(start, end - start, nullptr));
        try {
            return evaluate_by_tree(token.get());
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();
            throw NotMine{};
        }
    }
};

// The reader makes up to hundreds of thousands of containers, none in a
// cycle: collections started by their count would only scan them again and
// again (more than half the time of a reply of small lists).
class CollectorPaused {
public:
    CollectorPaused() {
#if PY_VERSION_HEX >= 0x030A0000
        was_enabled_ = PyGC_Disable() != 0;
#else
        Ref gc = import_module(kGc);
        was_enabled_ = is_true(call_method(gc.get(), kIsenabled).get());
        call_method(gc.get(), kDisable);
#endif
    }
    ~CollectorPaused() {
        if (!was_enabled_) return;
#if PY_VERSION_HEX >= 0x030A0000
        PyGC_Enable();
#else
        ErrorGuard keep;
        try {
            call_method(import_module(kGc).get(), kEnable);
        } catch (const PyError&) {
            PyErr_Clear();
        }
#endif
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    bool was_enabled_ = false;
};

}  // namespace

Ref decode_text_reply(PyObject* text) {
    if (!PyUnicode_Check(text)) return call(builtins().literal_eval, text);
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);  // fails on lone surrogates
        if (utf8 == nullptr) {
            PyErr_Clear();
        } else if (std::memchr(utf8, '\0', static_cast<size_t>(size)) == nullptr) {
            const char* begin = utf8;
            const char* end = utf8 + size;
#if PY_VERSION_HEX >= 0x030A0000
            while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
#endif
            try {
                CollectorPaused quiet;
                return Reader(begin, end).read_all();
            } catch (const NotMine&) {
            } catch (const CutShort&) {
                PyErr_SetString(PyExc_SyntaxError, "unexpected end of the text");
                throw PyError{};
            }
        }
    }
    return evaluate_by_tree(text);
}

}  // namespace vesk
