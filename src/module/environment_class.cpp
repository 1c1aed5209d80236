// The class statement of Vesk_Pal_st, following Python's class creation
// (core/class_creation.h): bases, metaclass, namespace, body, metaclass call.
#include "module/body.h"

#include "bridge/bridge.h"
#include "core/call.h"
#include "core/class_creation.h"
#include "core/environment_names.h"
#include "core/function.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "env/env.h"
#include "util/util.h"

namespace vesk {
namespace {

struct MethodRow {
    const FunctionSpec& spec;
    bool abstract;
};

// The class body's methods, in order.
const MethodRow kMethods[] = {
    {init_spec, false},          {explain_reset_spec, true}, {explain_action_spec, true}, {explain_obs_spec, true},
    {reward_spec, true},         {connect_spec, true},       {step_spec, false},          {reset_spec, false},
    {render_spec, false},        {close_spec, false},        {one_task_spec, false},      {start_queue_spec, false},
    {upload_method_spec, false},
};

void store(PyObject* class_namespace, const char* name, PyObject* value) {
    Ref key = str(name);
    check_status(PyObject_SetItem(class_namespace, key.get(), value));
}
void store(PyObject* class_namespace, const Name& name, PyObject* value) {
    check_status(PyObject_SetItem(class_namespace, name.get(), value));
}

Ref metadata() {
    Ref modes = check(Py_BuildValue("[ss]", "human", "rgb_array"));
    Ref fps = integer(20);
    return make_dict({{kRenderModes, modes.get()}, {kRenderFps, fps.get()}});
}

void run_class_body(PyObject* class_namespace, PyObject* module_dict) {
    static const Name queue_class("Queue");
    auto new_queue = [] {
        Ref queue = global(kQueue);
        Ref factory = getattr(queue.get(), queue_class);
        return call(factory.get());
    };
    at_line(line::send_queue, [&] { store(class_namespace, kSendQueue, new_queue().get()); });
    at_line(line::reply_quene, [&] { store(class_namespace, kReplyQueue, new_queue().get()); });
    at_line(line::metadata, [&] { store(class_namespace, kMetadata, metadata().get()); });
    for (const MethodRow& row : kMethods) {
        at_line(row.spec.line, [&] {
            Ref decorator = row.abstract ? global(kAbstractmethod) : Ref();
            Ref method = make_function(row.spec, module_dict, nullptr);
            if (decorator) method = call(decorator.get(), method.get());
            store(class_namespace, row.spec.signature.name, method.get());
        });
    }
}

}  // namespace

Ref create_environment_class(PyObject* module_dict) {
    static const Name env_name("Env");
    Ref bases, resolved, metaclass, class_namespace;
    at_line(line::environment_class, [&] {
        Ref gym = global(kGym);
        Ref env = getattr(gym.get(), env_name);
        bases = check(PyTuple_Pack(1, env.get()));
        resolved = resolve_bases(bases.get());
        metaclass = pick_metaclass(resolved.get());
        Ref name = str("Vesk_Pal_st");
        class_namespace = prepare_namespace(metaclass.get(), name.get(), resolved.get());
        store(class_namespace.get(), "__module__", str("Vesk").get());
        store(class_namespace.get(), "__qualname__", name.get());
        if (resolved.get() != bases.get()) store(class_namespace.get(), "__orig_bases__", bases.get());
    });
    run_class_body(class_namespace.get(), module_dict);
    Ref environment_class;
    at_line(line::environment_class, [&] {
        Ref name = str("Vesk_Pal_st");
        environment_class = call(metaclass.get(), name.get(), resolved.get(), class_namespace.get());
    });
    return environment_class;
}

}  // namespace vesk
