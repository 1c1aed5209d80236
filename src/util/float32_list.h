// array.astype(np.float32).tolist() in one pass over an exact ndarray's
// buffer, for the numeric dtypes whose cast cannot warn or raise.
#pragma once
#include "core/ref.h"

namespace vesk {

// The nested lists (a float for a 0-d array), or an empty Ref with no error
// set where NumPy must do it: other dtypes, non-native or non-contiguous
// layouts, and float64 values whose cast to float32 sets a floating-point
// flag NumPy would report (overflow, underflow, NaN).
Ref float32_list(PyObject* array);

// An array float32_list converts whose elements are float32 or float64.
bool is_quiet_float_array(PyObject* array);

}  // namespace vesk
