// Unpacking a result into exactly N values, with the module's fixed texts.
#pragma once
#include "core/ref.h"

#include <span>

namespace vesk {

inline constexpr const char* kTooManyValues = "too many values to unpack (expected %zd)";
inline constexpr const char* kNeedMoreValues = "need more than %zd value%.1s to unpack";

// Fills every slot of `out` from `iterable`; nothing is assigned unless
// exactly out.size() values were found. Throws PyError (ValueError for a
// wrong count, the interpreter's TypeError for a non-iterable).
void unpack_exactly(PyObject* iterable, std::span<Ref> out);

}  // namespace vesk
