#include "module/body.h"

#include "core/builtin.h"
#include "core/call.h"
#include "core/module_names.h"
#include "core/standard.h"
#include "util/util.h"

#include <initializer_list>

namespace vesk {
namespace {

constexpr const char* kCannotImportName = "cannot import name %S";

Ref import_module(PyObject* namespace_dict, const char* name, PyObject* fromlist) {
    Ref module_name = str(name);
    return check(PyImport_ImportModuleLevelObject(module_name.get(), namespace_dict, namespace_dict, fromlist, 0));
}

// import NAME [as BINDING]
void import_plain(PyObject* namespace_dict, const char* name, const Name& binding) {
    Ref module = import_module(namespace_dict, name, nullptr);
    check_status(PyDict_SetItem(namespace_dict, binding.get(), module.get()));
}

// from MODULE import NAME, ...: a missing attribute falls back to the
// submodule "MODULE.NAME" in sys.modules.
void import_from(PyObject* namespace_dict, const char* module_name, std::initializer_list<const char*> names) {
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, str(name).release());
    Ref module = import_module(namespace_dict, module_name, fromlist.get());
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(module.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            Ref full_name = check(PyUnicode_FromFormat("%s.%s", module_name, name));
            PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
            if (submodule == nullptr) {
                if (PyErr_Occurred()) throw_error();
                Ref attribute = str(name);
                raise_format(PyExc_ImportError, kCannotImportName, attribute.get());
            }
            value = Ref::borrow(submodule);
        }
        check_status(PyDict_SetItemString(namespace_dict, name, value.get()));
    }
}

void bind(PyObject* namespace_dict, const char* name, Ref value) {
    check_status(PyDict_SetItemString(namespace_dict, name, value.get()));
}
void bind(PyObject* namespace_dict, const Name& name, Ref value) {
    check_status(PyDict_SetItem(namespace_dict, name.get(), value.get()));
}

}  // namespace

void run_module_body(PyObject* d) {
    at_line(1, [&] { import_from(d, "abc", {"ABC", "abstractmethod"}); });
    at_line(2, [&] { import_plain(d, "asyncio", kAsyncio); });
    at_line(3, [&] { import_plain(d, "websockets", kWebsockets); });
    at_line(4, [&] { import_plain(d, "gymnasium", kGym); });
    at_line(5, [&] { import_plain(d, "numpy", kNp); });
    at_line(6, [&] {
        import_plain(d, "os", kOs);
        import_plain(d, "json", kJson);
    });
    at_line(7, [&] { import_plain(d, "queue", kQueue); });
    at_line(8, [&] { import_from(d, "typing", {"Callable"}); });
    at_line(9, [&] { import_from(d, "functools", {"wraps"}); });
    at_line(10, [&] { import_plain(d, "shutil", kShutil); });

    at_line(convert_numpy_to_list_spec.line,
            [&] { bind(d, kConvertNumpyToList, make_builtin<convert_numpy_to_list_spec>()); });
    at_line(copy_files_spec.line, [&] { bind(d, kCopyFiles, make_builtin<copy_files_spec>()); });
    at_line(upload_spec.line, [&] { bind(d, kUpload, make_builtin<upload_spec>()); });
    at_line(log_one_task_spec.line, [&] { bind(d, "log_one_task", make_builtin<log_one_task_spec>()); });
    remember_standard_objects(d, PyDict_GetItemWithError(d, kConvertNumpyToList.get()));

    bind(d, "Vesk_Pal_st", create_environment_class(d));
    at_line(1, [&] { bind(d, "__test__", check(PyDict_New())); });
}

}  // namespace vesk
