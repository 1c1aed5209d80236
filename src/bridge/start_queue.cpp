// start_queue builds the bridge without starting it: a new scope and the
// three nested functions yourfunction, main and myfunc. myfunc is the runner.
#include "bridge/admission.h"
#include "bridge/bridge.h"
#include "bridge/scope.h"

#include "core/call.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {
namespace {

const Name kRun("run");

// myfunc(): runs main() under asyncio.run on the calling thread.
Ref myfunc(FunctionObject* function, PyObject* const*) {
    Ref asyncio = global(kAsyncio);
    Ref run = getattr(asyncio.get(), kRun);
    Ref main_coroutine = call(bridge_scope_of(function)->main.get());
    call(run.get(), main_coroutine.get());
    return Ref::borrow(Py_None);
}

Ref start_queue(FunctionObject*, PyObject* const* args) {
    PyObject* globals = module_namespace();
    Ref scope = make_bridge_scope(args[0]);
    BridgeScope* fields = reinterpret_cast<BridgeScope*>(scope.get());
    fields->yourfunction = make_function(yourfunction_spec, globals, scope.get());
    fields->main = make_function(main_spec, globals, scope.get());
    fields->admission = make_function(process_request_spec, globals, scope.get());
    return make_function(myfunc_spec, globals, scope.get());
}

constexpr Parameter kSelfOnly[] = {{"self"}};

}  // namespace

const FunctionSpec start_queue_spec = {
    {"start_queue", kSelfOnly}, kEnvironmentClass, line::start_queue, {}, {}, start_queue};
const FunctionSpec myfunc_spec = {
    {"myfunc", std::span<const Parameter>()}, kStartQueueLocals, line::myfunc, {}, {}, myfunc};

}  // namespace vesk
