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

const FunctionSpec explain_reset_spec = {{"explain_reset", kExplainResetParams}, "Vesk_Pal_st.explain_reset",
                                         "Vesk.Vesk_Pal_st.explain_reset", 165, {}, kExplainResetAnnotations,
                                         not_implemented};
const FunctionSpec explain_action_spec = {{"explain_action", kExplainActionParams}, "Vesk_Pal_st.explain_action",
                                          "Vesk.Vesk_Pal_st.explain_action", 179, {}, kExplainActionAnnotations,
                                          not_implemented};
const FunctionSpec explain_obs_spec = {{"explain_obs", kExplainObsParams}, "Vesk_Pal_st.explain_obs",
                                       "Vesk.Vesk_Pal_st.explain_obs", 193, {}, kExplainObsAnnotations,
                                       not_implemented};
const FunctionSpec reward_spec = {{"reward", kRewardParams}, "Vesk_Pal_st.reward", "Vesk.Vesk_Pal_st.reward", 207,
                                  {}, kRewardAnnotations, not_implemented};
const FunctionSpec connect_spec = {{"connect", kConnectParams}, "Vesk_Pal_st.connect", "Vesk.Vesk_Pal_st.connect",
                                   226, {}, kConnectAnnotations, not_implemented};

}  // namespace vesk
