// The wire text of a task message: what json.dumps(msg) gives at its
// default settings, made in C++ while `json` is the standard module.
#pragma once
#include "core/ref.h"

namespace vesk {

// json.dumps(msg) through the module-level `json` as bound now; while that is
// the standard module with its default encoder, the same text is made here.
Ref message_text(PyObject* msg);

// The text json.dumps would give for `value`, or an empty Ref (no error set)
// where this encoder does not promise the identical text: types other than
// exact dict/list/tuple, str, int, float, bool and None; keys other than
// str; nesting deeper than a bound (cycles end there too).
Ref encode_json_like_dumps(PyObject* value);

// step's message while it goes to the standard one_task: {"env": "step",
// "action": array} for an array that convert_numpy_to_list would turn into
// float32 lists (util.h's converts_as_float_array). No one but message_text
// sees it, and it makes the text of the converted message straight from the
// array's buffer, or, where it cannot, puts the converted lists in place.
class PendingArrayMessage {
public:
    PendingArrayMessage(PyObject* message, PyObject* array) noexcept;  // both borrowed
    ~PendingArrayMessage();
    PendingArrayMessage(const PendingArrayMessage&) = delete;
    PendingArrayMessage& operator=(const PendingArrayMessage&) = delete;
};

}  // namespace vesk
