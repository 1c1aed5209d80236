// The keys of the messages the environment sends, and of its info dicts.
#pragma once
#include "core/call.h"

namespace vesk {

extern const Name kEnv, kPos, kJoint, kList, kAction, kTarget, kObject, kCounts;

// A new list of `num_envs` new dicts, each {"counts": 0}.
Ref new_info_list(PyObject* num_envs);

}  // namespace vesk
