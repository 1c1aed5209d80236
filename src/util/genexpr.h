// The lazy producer of a converted tuple's elements: an iterator of our own
// that converts one element per step, collected by tuple().
#pragma once
#include "core/ref.h"

namespace vesk {

// A new genexpr object drawing from `source` (an iterator, borrowed).
Ref make_genexpr(PyObject* source);

// Created by the execution step.
void ready_genexpr_type();

}  // namespace vesk
