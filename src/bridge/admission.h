// Who may connect: the process_request hook handed to websockets.serve.
#pragma once
#include "core/function.h"

namespace vesk {

extern const FunctionSpec process_request_spec;

}  // namespace vesk
