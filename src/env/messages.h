// Pieces the environment's operations share.
#pragma once
#include "core/call.h"

namespace vesk {

// Attribute names of the environment.
extern const Name kSendQueue, kReplyQueue, kAddObj, kObsTarget, kRenderMode, kRenderFps, kNumEnvs, kInfoArray, kResetArray, kMetadata,
    kState, kStartQueue, kConnect, kOneTask, kExplainReset, kExplainAction, kExplainObs, kReward, kReset;
// Message keys.
extern const Name kEnv, kPos, kJoint, kList, kAction, kTarget, kObject, kCounts;

// A new list of `num_envs` new dicts, each {"counts": 0}.
Ref new_info_list(PyObject* num_envs);

}  // namespace vesk
