#include "env/env.h"

#include "core/call.h"

namespace vesk {
namespace {

Ref not_built(FunctionObject*, PyObject* const*) { raise(PyExc_NotImplementedError, "not built yet"); }

constexpr Parameter kInitParams[] = {{"self"}, {"render_mode"}};
constexpr DefaultValue kInitDefaults[] = {DefaultValue::none};

}  // namespace

const FunctionSpec init_spec = {{"__init__", kInitParams}, "Vesk_Pal_st.__init__", "Vesk.Vesk_Pal_st.__init__", 110,
                                kInitDefaults, {}, not_built};

}  // namespace vesk
