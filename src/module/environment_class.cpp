// The class statement of Vesk_Pal_st, following Python's class creation:
// bases, __mro_entries__, metaclass, __prepare__, body, metaclass call.
#include "module/body.h"

#include "bridge/bridge.h"
#include "core/call.h"
#include "core/function.h"
#include "core/globals.h"
#include "env/env.h"
#include "util/util.h"

namespace vesk {
namespace {

constexpr int kClassLine = 101;
constexpr const char* kMroEntriesNotTuple = "__mro_entries__ must return a tuple";
constexpr const char* kMetaclassConflict =
    "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the metaclasses of all "
    "its bases";

struct MethodRow {
    const FunctionSpec& spec;
    bool abstract;
};

// The class body's methods, in order.
const MethodRow kMethods[] = {
    {init_spec, false},         {explain_reset_spec, true}, {explain_action_spec, true},
    {explain_obs_spec, true},   {reward_spec, true},        {connect_spec, true},
    {step_spec, false},         {reset_spec, false},        {render_spec, false},
    {close_spec, false},        {one_task_spec, false},     {start_queue_spec, false},
    {upload_method_spec, false},
};


// PEP 560: bases that are not classes may stand for others.
Ref resolve_bases(PyObject* bases) {
    static const Name mro_entries("__mro_entries__");
    Ref resolved = check(PyList_New(0));
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (!PyType_Check(base) && hasattr(base, mro_entries)) {
            Ref entries = call_method(base, mro_entries, {bases});
            if (!PyTuple_Check(entries.get())) raise(PyExc_TypeError, kMroEntriesNotTuple);
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
                check_status(PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)));
            }
            changed = true;
        } else {
            check_status(PyList_Append(resolved.get(), base));
        }
    }
    if (!changed) return Ref::borrow(bases);
    return check(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases.
Ref pick_metaclass(PyObject* bases) {
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    if (PyTuple_GET_SIZE(bases) > 0) winner = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* candidate = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (check_status(PyObject_IsSubclass(winner, candidate))) continue;
        if (check_status(PyObject_IsSubclass(candidate, winner))) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError, kMetaclassConflict);
    }
    return Ref::borrow(winner);
}

void store(PyObject* class_namespace, const char* name, PyObject* value) {
    Ref key = str(name);
    check_status(PyObject_SetItem(class_namespace, key.get(), value));
}

Ref metadata() {
    static const Name render_modes("render_modes"), render_fps("render_fps");
    Ref modes = check(Py_BuildValue("[ss]", "human", "rgb_array"));
    Ref fps = integer(20);
    return make_dict({{render_modes, modes.get()}, {render_fps, fps.get()}});
}

void run_class_body(PyObject* class_namespace, PyObject* module_dict) {
    static const Name queue_name("queue"), queue_class("Queue"), abstractmethod("abstractmethod");
    auto new_queue = [] {
        Ref queue = global(queue_name);
        Ref factory = getattr(queue.get(), queue_class);
        return call(factory.get());
    };
    at_line(107, [&] { store(class_namespace, "send_queue", new_queue().get()); });
    at_line(108, [&] { store(class_namespace, "reply_quene", new_queue().get()); });
    at_line(109, [&] { store(class_namespace, "metadata", metadata().get()); });
    for (const MethodRow& row : kMethods) {
        at_line(row.spec.line, [&] {
            Ref decorator = row.abstract ? global(abstractmethod) : Ref();
            Ref method = make_function(row.spec, module_dict, nullptr);
            if (decorator) method = call(decorator.get(), {method.get()});
            store(class_namespace, row.spec.signature.name, method.get());
        });
    }
}

}  // namespace

Ref create_environment_class(PyObject* module_dict) {
    static const Name gym_name("gym"), env_name("Env"), prepare("__prepare__");
    Ref bases, resolved, metaclass, class_namespace;
    at_line(kClassLine, [&] {
        Ref gym = global(gym_name);
        Ref env = getattr(gym.get(), env_name);
        bases = check(PyTuple_Pack(1, env.get()));
        resolved = resolve_bases(bases.get());
        metaclass = pick_metaclass(resolved.get());
        Ref name = str("Vesk_Pal_st");
        if (hasattr(metaclass.get(), prepare)) {
            class_namespace = call_method(metaclass.get(), prepare, {name.get(), resolved.get()});
        } else {
            class_namespace = check(PyDict_New());
        }
        store(class_namespace.get(), "__module__", str("Vesk").get());
        store(class_namespace.get(), "__qualname__", name.get());
        if (resolved.get() != bases.get()) store(class_namespace.get(), "__orig_bases__", bases.get());
    });
    run_class_body(class_namespace.get(), module_dict);
    Ref environment_class;
    at_line(kClassLine, [&] {
        Ref name = str("Vesk_Pal_st");
        environment_class = call(metaclass.get(), {name.get(), resolved.get(), class_namespace.get()});
    });
    return environment_class;
}

}  // namespace vesk
