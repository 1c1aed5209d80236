#include "core/environment_names.h"

namespace vesk {

const Name kSendQueue("send_queue"), kReplyQueue("reply_quene");
const Name kAddObj("add_obj"), kObsTarget("obs_target"), kRenderMode("render_mode"), kRenderFps("render_fps"),
    kNumEnvs("num_envs"), kInfoArray("info_array"), kResetArray("reset_array"), kMetadata("metadata"), kState("state");
const Name kStartQueue("start_queue"), kConnect("connect"), kOneTask("one_task"), kExplainReset("explain_reset"),
    kExplainAction("explain_action"), kExplainObs("explain_obs"), kReward("reward"), kReset("reset");
const Name kRenderModes("render_modes");

}  // namespace vesk
