// The one argument parser: every module function and method checks its
// arguments here, so argument errors read the same everywhere.
#pragma once
#include <Python.h>

#include <span>

namespace vesk {

// Parameters annotated with a built-in type accept exactly that type.
enum class ExactType { any, str, list };

struct Parameter {
    const char* name;
    ExactType exact = ExactType::any;
};

// The parsed arguments of a call live in a stack buffer of this many slots.
inline constexpr size_t kMaxParameters = 4;

struct Signature {
    // consteval: a row with more parameters than the buffer holds fails to
    // compile instead of overflowing the stack at its first call.
    consteval Signature(const char* function_name, std::span<const Parameter> parameters)
        : name(function_name), params(parameters) {
        if (parameters.size() > kMaxParameters) throw "more parameters than kMaxParameters";
    }

    const char* name;  // the bare function name used in messages
    std::span<const Parameter> params;
};

inline constexpr const char* kTooFewOrMany = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kKeywordsMustBeStrings = "%.200s() keywords must be strings";
inline constexpr const char* kIncorrectType = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
// The same text followed by ". " and the fixed note for subclasses.
inline constexpr const char* kIncorrectTypeOfSubclass =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
    ". Subclasses of built-in types are refused: pass an instance of the type itself";

// Matches vectorcall arguments to `signature`, filling out[i] (borrowed) for
// every parameter. `defaults` is a tuple for the trailing parameters or NULL.
// Throws PyError with the fixed TypeError texts.
void parse_arguments(const Signature& signature, PyObject* defaults, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames, PyObject** out);

// The exact-type test of an annotated parameter; throws PyError on mismatch.
void check_exact_type(const char* parameter, ExactType exact, PyObject* value);

}  // namespace vesk
