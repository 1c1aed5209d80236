// The attribute names of a Vesk_Pal_st instance. The environment's methods,
// the bridge and the class statement all reach the same attributes, so each
// name lives here once.
#pragma once
#include "core/name.h"

namespace vesk {

// The two queues between the caller's thread and the bridge thread. The
// second is spelt "reply_quene" on purpose: subclasses and user code reach
// it under that name, so the spelling is the interface. Do not correct it.
extern const Name kSendQueue, kReplyQueue;
// Configuration and state.
extern const Name kAddObj, kObsTarget, kRenderMode, kRenderFps, kNumEnvs, kInfoArray, kResetArray, kMetadata, kState;
// Methods and hooks called through attribute lookup.
extern const Name kStartQueue, kConnect, kOneTask, kExplainReset, kExplainAction, kExplainObs, kReward, kReset;
// Keys of the class's metadata dict besides render_fps.
extern const Name kRenderModes;

}  // namespace vesk
