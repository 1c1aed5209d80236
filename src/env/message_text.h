// The wire text of a task message: what json.dumps(msg) gives at its
// default settings, made in C++ while `json` is the standard module.
#pragma once
#include "core/ref.h"

namespace vesk {

// json.dumps(msg) through the module-level `json` as bound now; while that is
// the standard module with its default encoder, the same text is made here.
// `step_array` (borrowed, may be NULL) is the action array of step's message
// (step_handoff.h): written from its buffer, or first converted and put in
// place as step would have.
Ref message_text(PyObject* msg, PyObject* step_array);

// The text json.dumps would give for `value`, or an empty Ref (no error set)
// where this encoder does not promise the identical text: types other than
// exact dict/list/tuple, str, int, float, bool and None; keys other than
// str; nesting deeper than a bound (cycles end there too).
Ref encode_json_like_dumps(PyObject* value);

}  // namespace vesk
