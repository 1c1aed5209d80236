// The front-end bridge: start_queue and the runner it returns.
#pragma once
#include "core/function.h"

namespace vesk {

extern const FunctionSpec start_queue_spec;

// Created by the execution step: the type of start_queue's closure scope.
void ready_bridge_scope_type();

}  // namespace vesk
