// The front-end bridge: start_queue and the runner it returns.
#pragma once
#include "core/function.h"

namespace vesk {

extern const FunctionSpec start_queue_spec;

}  // namespace vesk
