// A text reply is a Python literal, read without any parser warning.
#pragma once
#include "core/ref.h"

namespace vesk {

// ast.literal_eval(text), except that warnings the parser gives on the way
// (an invalid escape, say) are not shown: a failed task must print exactly
// one line, and a reply that decodes needs no remark. Throws PyError.
Ref decode_text_reply(PyObject* text);

}  // namespace vesk
