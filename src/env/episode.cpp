#include "env/env.h"

#include "core/call.h"

namespace vesk {
namespace {

Ref not_built(FunctionObject*, PyObject* const*) { raise(PyExc_NotImplementedError, "not built yet"); }

constexpr Parameter kStepParams[] = {{"self"}, {"action"}};
constexpr Parameter kResetParams[] = {{"self"}, {"seed"}};
constexpr Parameter kSelfOnly[] = {{"self"}};
constexpr DefaultValue kResetDefaults[] = {DefaultValue::none};
constexpr Annotation kStepAnnotations[] = {{"action", "np.ndarray"}};

}  // namespace

const FunctionSpec step_spec = {{"step", kStepParams}, "Vesk_Pal_st.step", "Vesk.Vesk_Pal_st.step", 239, {},
                                kStepAnnotations, not_built};
const FunctionSpec reset_spec = {{"reset", kResetParams}, "Vesk_Pal_st.reset", "Vesk.Vesk_Pal_st.reset", 255,
                                 kResetDefaults, {}, not_built};
const FunctionSpec render_spec = {{"render", kSelfOnly}, "Vesk_Pal_st.render", "Vesk.Vesk_Pal_st.render", 273, {}, {},
                                  not_built};
const FunctionSpec close_spec = {{"close", kSelfOnly}, "Vesk_Pal_st.close", "Vesk.Vesk_Pal_st.close", 276, {}, {},
                                 not_built};

}  // namespace vesk
