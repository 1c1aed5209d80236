// log_one_task(func): wraps a method shaped like one_task so that each call
// prints who called it, what it was given and what it returned.
#include "util/util.h"

#include "core/call.h"
#include "core/caller.h"
#include "core/function.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "util/steps.h"

namespace vesk {
namespace {

const Name name_attr("__name__"), inspect_name("inspect"), called_by(" called by: "), sent_prefix("上传env参数: "),
    replyable_open(" (replyable="), replyable_close(")"), returned_prefix("返回env信息: ");

// wrapper(self, msg, replyable=True); the wrapped func is its closure.
Ref wrapper(FunctionObject* function, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* msg = args[1];  // exactly str: the parser checked it
    PyObject* replyable = args[2];
    PyObject* func = function->closure.get();

    // Every call imports inspect, through __import__, before it prints, as
    // the Python wrapper it stands for does to find its caller: a missing or
    // replaced inspect module shows here. The caller itself comes from our own
    // record, since this wrapper has no Python frame (core/caller.h).
    check(PyImport_Import(inspect_name.get()));
    Ref caller = name_of_caller();

    Ref func_name = getattr(func, name_attr);
    print_line(join_text({formatted(func_name.get()).get(), called_by.get(), formatted(caller.get()).get()}).get());
    print_line(join_text({sent_prefix.get(), formatted(msg).get(), replyable_open.get(), formatted(replyable).get(),
                          replyable_close.get()})
                   .get());
    // Always three positional arguments, however the wrapper was called.
    Ref result = call(func, self, msg, replyable);
    print_line(join_text({returned_prefix.get(), formatted(result.get()).get()}).get());
    return result;
}

constexpr Parameter kWrapperParams[] = {{"self"}, {"msg", ExactType::str}, {"replyable"}};
constexpr DefaultValue kWrapperDefaults[] = {DefaultValue::true_value};
constexpr Annotation kWrapperAnnotations[] = {{"msg", "str"}};

const FunctionSpec wrapper_spec = {{"wrapper", kWrapperParams}, kLogOneTaskLocals,
                                   line::log_one_task_wrapper,  kWrapperDefaults,
                                   kWrapperAnnotations,         wrapper};

// A new wrapper per call, finished as wraps(func)(wrapper).
Ref log_one_task(PyObject* const* args) {
    PyObject* func = args[0];
    Ref wrapper = make_function(wrapper_spec, module_namespace(), func);
    Ref wraps = global(kWraps);
    Ref decorate = call(wraps.get(), func);
    return call(decorate.get(), wrapper.get());
}

constexpr Parameter kParams[] = {{"func"}};

}  // namespace

const BuiltinSpec log_one_task_spec = {{"log_one_task", kParams}, line::log_one_task, {}, log_one_task};

}  // namespace vesk
