// The settings beyond the class's attributes are environment variables.
#pragma once
#include "core/ref.h"

namespace vesk {

// os.environ.get(name) through the module-level `os`, or an empty Ref when unset.
Ref environment_variable(const char* name);

}  // namespace vesk
