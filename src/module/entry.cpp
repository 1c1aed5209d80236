// PyInit_Vesk and the create and execution steps of two-phase initialisation.
#include "module/body.h"
#include "module/state.h"

#include "bridge/bridge.h"
#include "core/call.h"
#include "core/common_names.h"
#include "core/coroutine.h"
#include "core/function.h"
#include "core/globals.h"
#include "util/genexpr.h"

#include <cstdio>
#include <cstdlib>

namespace vesk {
namespace {

constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char* kReinitialisation =
    "Module 'Vesk' has already been imported. Re-initialisation is not supported.";
constexpr const char* kVersionMismatch =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";

// Copies one spec attribute; a spec without it is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool none_too) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return;
    }
    if (!none_too && value.get() == Py_None) return;
    check_status(PyDict_SetItemString(module_dict, to, value.get()));
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    try {
        ProcessState& state = process_state();
        const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter == -1 && PyErr_Occurred()) throw_error();
        if (state.owning_interpreter == -1) {
            state.owning_interpreter = interpreter;
        } else if (state.owning_interpreter != interpreter) {
            raise(PyExc_ImportError, kInterpreterChange);
        }
        if (state.initialised_module != nullptr) return Py_NewRef(state.initialised_module);

        static const Name name_attr("name");
        Ref name = getattr(spec, name_attr);
        Ref module = check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module.release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// The running version's leading dotted numbers, read once per process.
void read_runtime_version(ProcessState& state) {
    if (state.runtime_major >= 0) return;
    const char* version = Py_GetVersion();
    char* end = nullptr;
    state.runtime_major = static_cast<int>(std::strtol(version, &end, 10));
    state.runtime_minor = (end != nullptr && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
}

void check_version(ProcessState& state) {
    read_runtime_version(state);
    if (state.runtime_major == PY_MAJOR_VERSION && state.runtime_minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message, kVersionMismatch, PY_MAJOR_VERSION, PY_MINOR_VERSION, "Vesk",
                  "does not match", state.runtime_major, state.runtime_minor);
    check_status(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

const Name kVesk("Vesk");

// Registers the module as sys.modules["Vesk"] and resolves the built-ins;
// their failures are reported at line 1. Sets added_entry once it has added
// the sys.modules entry.
void prepare(PyObject* module, PyObject* builtins_module, bool& added_entry) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* found = PyDict_GetItemWithError(modules, kVesk.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw_error();
        check_status(PyDict_SetItem(modules, kVesk.get(), module));
        added_entry = true;
    }
    set_module_namespace(PyModule_GetDict(module), builtins_module);
    resolve_builtins();
}

// After a failed import no half-filled module may stay reachable as "Vesk"
// (imported as pkg.Vesk, the import machinery only drops "pkg.Vesk").
void forget_module(PyObject* module) {
    ErrorGuard keep;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* found = PyDict_GetItemWithError(modules, kVesk.get());
    if (found == module && PyDict_DelItem(modules, kVesk.get()) < 0) PyErr_Clear();
    PyErr_Clear();
}

int exec_module(PyObject* module) {
    ProcessState& state = process_state();
    if (state.initialised_module != nullptr) {
        if (state.initialised_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, kReinitialisation);
        return -1;
    }
    state.initialised_module = Py_NewRef(module);
    try {
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        Ref builtins_module = import_module(kBuiltinsModule);
        check_status(PyDict_SetItemString(dict, "__builtins__", builtins_module.get()));
        check_version(state);
        ready_function_type();
        ready_coroutine_type();
        ready_bridge_scope_type();
        ready_genexpr_type();
        bool added_entry = false;
        try {
            at_line(1, [&] { prepare(module, builtins_module.get(), added_entry); });
            run_module_body(dict);  // adds its own "init Vesk" entries
        } catch (const PyError&) {
            if (added_entry) forget_module(module);
            throw;
        }
        return 0;
    } catch (...) {
        translate_current_exception();
        Py_CLEAR(state.initialised_module);
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "Vesk", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

ProcessState& process_state() {
    static ProcessState state;
    return state;
}

}  // namespace vesk

PyMODINIT_FUNC PyInit_Vesk(void) { return PyModuleDef_Init(&vesk::module_def); }
