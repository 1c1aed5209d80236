// The gymnasium operations: reset, step (with its automatic reset), render
// and close. Each is one task exchange, step two when it resets.
#include "env/env.h"
#include "env/message_keys.h"
#include "env/reset_flags.h"
#include "env/step_handoff.h"

#include "core/common_names.h"
#include "core/environment_names.h"
#include "core/unpack.h"
#include "util/util.h"

namespace vesk {
namespace {

// Sent as texts, so they travel as JSON string literals.
constexpr const char* kRenderMessage = "{\"env\":\"render\"}";
constexpr const char* kCloseMessage = "{\"env\":\"close\"}";

// Exchanges `message` and stores explain_obs of the reply as self.state.
void exchange_observation(PyObject* self, PyObject* message) {
    Ref obs = call_method(self, kOneTask, message);
    Ref state = call_method(self, kExplainObs, obs.get());
    setattr(self, kState, state.get());
}

Ref reset(FunctionObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref reset_array = getattr(self, kResetArray);
    Ref explained = call_method(self, kExplainReset, reset_array.get());
    Ref pos_joint[2];
    unpack_exactly(convert_through_module_name(explained.get()).get(), pos_joint);
    Ref flags = call_method(getattr(self, kResetArray).get(), kTolist);
    Ref name = str("reset");
    Ref message =
        make_dict({{kEnv, name.get()}, {kPos, pos_joint[0].get()}, {kJoint, pos_joint[1].get()}, {kList, flags.get()}});
    exchange_observation(self, message.get());
    Ref info = new_info_list(getattr(self, kNumEnvs).get());
    Ref state = getattr(self, kState);
    return check(PyTuple_Pack(2, state.get(), info.get()));
}

// The step task for an action array while nothing on its way to the wire is
// replaced: the text is made from the array's buffer (step_handoff.h).
// False when that does not hold, and nothing was sent.
bool exchange_array_action(PyObject* self, PyObject* name, PyObject* array) {
    if (!converts_as_float_array(array)) return false;
    Ref one_task = standard_one_task_of(self);
    if (!one_task) return false;
    Ref message = make_dict({{kEnv, name}, {kAction, array}});
    Ref obs;
    {
        StepHandoff handoff(message.get(), array);
        obs = call(one_task.get(), message.get());
    }
    Ref state = call_method(self, kExplainObs, obs.get());
    setattr(self, kState, state.get());
    return true;
}

Ref step(FunctionObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref explained = call_method(self, kExplainAction, args[1]);
    Ref name = str("step");
    if (!exchange_array_action(self, name.get(), explained.get())) {
        Ref action = convert_through_module_name(explained.get());
        Ref message = make_dict({{kEnv, name.get()}, {kAction, action.get()}});
        exchange_observation(self, message.get());
    }

    Ref outcome = call_method(self, kReward, getattr(self, kState).get());
    Ref rewarded[4];  // reward_array, terminated, truncated, reset flags
    unpack_exactly(outcome.get(), rewarded);
    setattr(self, kResetArray, rewarded[3].get());
    if (any_flag_set(getattr(self, kResetArray).get())) {
        Ref reset_result = call_method(self, kReset);
        Ref state_info[2];
        unpack_exactly(reset_result.get(), state_info);
        setattr(self, kState, state_info[0].get());
    }
    Ref state = getattr(self, kState), info = getattr(self, kInfoArray);
    return check(PyTuple_Pack(5, state.get(), rewarded[0].get(), rewarded[1].get(), rewarded[2].get(), info.get()));
}

// render and close hand over a ready-made text and discard the reply.
Ref send_text(PyObject* self, const char* text) {
    Ref message = str(text);
    call_method(self, kOneTask, message.get());
    return Ref::borrow(Py_None);
}
Ref render(FunctionObject*, PyObject* const* args) { return send_text(args[0], kRenderMessage); }
Ref close(FunctionObject*, PyObject* const* args) { return send_text(args[0], kCloseMessage); }

constexpr Parameter kStepParams[] = {{"self"}, {"action"}};
constexpr Parameter kResetParams[] = {{"self"}, {"seed"}};
constexpr Parameter kSelfOnly[] = {{"self"}};
constexpr DefaultValue kResetDefaults[] = {DefaultValue::none};
constexpr Annotation kStepAnnotations[] = {{"action", "np.ndarray"}};

}  // namespace

const FunctionSpec step_spec = {{"step", kStepParams}, kEnvironmentClass, line::step, {}, kStepAnnotations, step};
const FunctionSpec reset_spec = {{"reset", kResetParams}, kEnvironmentClass, line::reset, kResetDefaults, {}, reset};
const FunctionSpec render_spec = {{"render", kSelfOnly}, kEnvironmentClass, line::render, {}, {}, render};
const FunctionSpec close_spec = {{"close", kSelfOnly}, kEnvironmentClass, line::close, {}, {}, close};

}  // namespace vesk
