#include "bridge/bridge.h"

#include "core/call.h"

namespace vesk {
namespace {

Ref not_built(FunctionObject*, PyObject* const*) { raise(PyExc_NotImplementedError, "not built yet"); }
constexpr Parameter kSelfOnly[] = {{"self"}};

}  // namespace

const FunctionSpec start_queue_spec = {{"start_queue", kSelfOnly}, "Vesk_Pal_st.start_queue",
                                       "Vesk.Vesk_Pal_st.start_queue", 301, {}, {}, not_built};

}  // namespace vesk
