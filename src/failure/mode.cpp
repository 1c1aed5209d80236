#include "failure/mode.h"

#include "core/call.h"
#include "core/environ.h"

namespace vesk {
namespace {

constexpr const char* kBadFailureMode = "VESK_ON_FAILURE must be exit or raise, got %R";

const Name kStrip("strip");

}  // namespace

FailureMode failure_mode() {
    FailureMode mode = FailureMode::exit;
    if (Ref text = environment_variable(kFailureVariable)) {
        Ref stripped = call_method(text.get(), kStrip);
        if (PyUnicode_CompareWithASCIIString(stripped.get(), "raise") == 0) {
            mode = FailureMode::raise;
        } else if (PyUnicode_GET_LENGTH(stripped.get()) > 0 &&
                   PyUnicode_CompareWithASCIIString(stripped.get(), "exit") != 0) {
            raise_format(PyExc_ValueError, kBadFailureMode, text.get());
        }
    }
    return mode;
}

bool raising_failures() noexcept {
    ErrorGuard keep;
    try {
        return failure_mode() == FailureMode::raise;
    } catch (const PyError&) {
        PyErr_Clear();
        return false;
    }
}

}  // namespace vesk
