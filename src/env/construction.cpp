// __init__: check the configuration, fill in defaults, start the bridge
// through the connect hook, and exchange the init task.
#include "env/env.h"
#include "env/message_keys.h"

#include "core/common_names.h"
#include "core/environment_names.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {
namespace {

constexpr const char* kAddObjMissing = "add_obj is not set. Please set it in the init method.";
constexpr const char* kObsTargetMissing = "obs_target is not set. Please set it in the init method.";

const Name kFull("full");

void require(PyObject* self, const Name& name, const char* message) {
    if (hasattr(self, name)) return;
    Ref text = str(message);
    PyErr_SetObject(builtins().ValueError, text.get());
    throw PyError{};
}

// Each default is set only where hasattr finds nothing, so class-level
// values (gymnasium's render_mode among them) count as set.
void fill_defaults(PyObject* self, PyObject* render_mode) {
    if (!hasattr(self, kRenderMode)) setattr(self, kRenderMode, render_mode);
    if (!hasattr(self, kRenderFps)) {
        Ref metadata = getattr(self, kMetadata);
        Ref fps = check(PyObject_GetItem(metadata.get(), kRenderFps.get()));
        setattr(self, kRenderFps, fps.get());
    }
    if (!hasattr(self, kNumEnvs)) setattr(self, kNumEnvs, integer(1).get());
    if (!hasattr(self, kInfoArray)) {
        Ref num_envs = getattr(self, kNumEnvs);
        setattr(self, kInfoArray, new_info_list(num_envs.get()).get());
    }
    if (!hasattr(self, kResetArray)) {
        Ref num_envs = getattr(self, kNumEnvs);
        Ref np = global(kNp);
        Ref full = getattr(np.get(), kFull);
        Ref flags =
            call_with_keyword(full.get(), num_envs.get(), Py_True, kDtype, reinterpret_cast<PyObject*>(&PyBool_Type));
        setattr(self, kResetArray, flags.get());
    }
}

Ref init_message(PyObject* self) {
    Ref init = str("init");
    Ref render_mode = getattr(self, kRenderMode), render_fps = getattr(self, kRenderFps),
        num_envs = getattr(self, kNumEnvs), target = getattr(self, kObsTarget), object = getattr(self, kAddObj);
    return make_dict({{kEnv, init.get()},
                      {kRenderMode, render_mode.get()},
                      {kRenderFps, render_fps.get()},
                      {kNumEnvs, num_envs.get()},
                      {kTarget, target.get()},
                      {kObject, object.get()}});
}

Ref init(FunctionObject*, PyObject* const* args) {
    PyObject* self = args[0];
    require(self, kAddObj, kAddObjMissing);
    require(self, kObsTarget, kObsTargetMissing);
    fill_defaults(self, args[1]);
    Ref message = init_message(self);
    Ref runner = call_method(self, kStartQueue);
    call_method(self, kConnect, runner.get());
    call_method(self, kOneTask, message.get());
    return Ref::borrow(Py_None);
}

constexpr Parameter kInitParams[] = {{"self"}, {"render_mode"}};
constexpr DefaultValue kInitDefaults[] = {DefaultValue::none};

}  // namespace

const FunctionSpec init_spec = {{"__init__", kInitParams}, kEnvironmentClass, line::init, kInitDefaults, {}, init};

}  // namespace vesk
