// The five hooks a subclass fills in. The base versions only refuse.
#include "env/env.h"

#include "core/call.h"
#include "core/globals.h"

namespace vesk {
namespace {

// NotImplementedError created with no arguments, so its message is empty.
Ref not_implemented(FunctionObject*, PyObject* const*) {
    PyErr_SetNone(builtins().NotImplementedError);
    throw PyError{};
}

constexpr Parameter kExplainResetParams[] = {{"self"}, {"reset_array"}};
constexpr Parameter kExplainActionParams[] = {{"self"}, {"action"}};
// The base explain_obs accepts exactly a list, before refusing.
constexpr Parameter kExplainObsParams[] = {{"self"}, {"obs", ExactType::list}};
constexpr Parameter kRewardParams[] = {{"self"}, {"state"}};
constexpr Parameter kConnectParams[] = {{"self"}, {"connect_func"}};

constexpr Annotation kExplainResetAnnotations[] = {{"reset_array", "np.ndarray"}, {"return", "np.ndarray"}};
constexpr Annotation kExplainActionAnnotations[] = {{"action", "np.ndarray"}};
constexpr Annotation kExplainObsAnnotations[] = {{"obs", "list"}};
constexpr Annotation kRewardAnnotations[] = {{"state", "np.ndarray"}};
constexpr Annotation kConnectAnnotations[] = {{"connect_func", "Callable"}};

}  // namespace

const FunctionSpec explain_reset_spec = {{"explain_reset", kExplainResetParams},
                                         kEnvironmentClass,
                                         line::explain_reset,
                                         {},
                                         kExplainResetAnnotations,
                                         not_implemented};
const FunctionSpec explain_action_spec = {{"explain_action", kExplainActionParams},
                                          kEnvironmentClass,
                                          line::explain_action,
                                          {},
                                          kExplainActionAnnotations,
                                          not_implemented};
const FunctionSpec explain_obs_spec = {{"explain_obs", kExplainObsParams},
                                       kEnvironmentClass,
                                       line::explain_obs,
                                       {},
                                       kExplainObsAnnotations,
                                       not_implemented};
const FunctionSpec reward_spec = {{"reward", kRewardParams}, kEnvironmentClass, line::reward, {},
                                  kRewardAnnotations,        not_implemented};
const FunctionSpec connect_spec = {{"connect", kConnectParams}, kEnvironmentClass, line::connect, {},
                                   kConnectAnnotations,         not_implemented};

}  // namespace vesk
