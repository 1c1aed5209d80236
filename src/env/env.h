// The methods of Vesk_Pal_st that belong to the environment subsystem.
#pragma once
#include "core/function.h"

namespace vesk {

extern const FunctionSpec init_spec;           // construction
extern const FunctionSpec explain_reset_spec;  // the five hooks
extern const FunctionSpec explain_action_spec;
extern const FunctionSpec explain_obs_spec;
extern const FunctionSpec reward_spec;
extern const FunctionSpec connect_spec;
extern const FunctionSpec step_spec;  // episode operations
extern const FunctionSpec reset_spec;
extern const FunctionSpec render_spec;
extern const FunctionSpec close_spec;
extern const FunctionSpec one_task_spec;  // task exchange

// self.one_task when looking it up runs no Python code and finds this
// module's one_task bound to self; else an empty Ref, and nothing of the
// user's ran.
Ref standard_one_task_of(PyObject* self);

}  // namespace vesk
