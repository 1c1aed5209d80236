// The closure scope one start_queue call makes: the environment and the
// nested functions that refer to one another through it.
#pragma once
#include "bridge/bridge.h"
#include "bridge/settings.h"
#include "core/function.h"

namespace vesk {

struct BridgeScope {
    PyObject_HEAD
    Ref environment;          // the Vesk_Pal_st instance start_queue was called on
    Ref yourfunction;         // the connection handler
    Ref main;                 // the server coroutine function
    Ref admission;            // process_request: who may connect
    BridgeSettings settings;  // read by main when it starts
    bool serving;             // a front-end connection is being served
};

Ref make_bridge_scope(PyObject* environment);
BridgeScope* bridge_scope_of(FunctionObject* function);  // borrowed, from its closure

extern const FunctionSpec yourfunction_spec;
extern const FunctionSpec main_spec;
extern const FunctionSpec myfunc_spec;

}  // namespace vesk
