#include "util/util.h"

#include "core/call.h"

namespace vesk {
namespace {

Ref not_built_builtin(PyObject* const*) { raise(PyExc_NotImplementedError, "not built yet"); }
Ref not_built(FunctionObject*, PyObject* const*) { raise(PyExc_NotImplementedError, "not built yet"); }

constexpr Parameter kConvertParams[] = {{"data"}};
constexpr Parameter kCopyParams[] = {{"source_folder"}, {"destination_folder"}, {"index"}};
constexpr DefaultValue kCopyDefaults[] = {DefaultValue::zero};
constexpr Parameter kUploadParams[] = {{"folder_path", ExactType::str}, {"folder_name", ExactType::str}};
constexpr Parameter kUploadMethodParams[] = {{"self"}, {"folder_path", ExactType::str}, {"folder_name", ExactType::str}};
constexpr Annotation kUploadAnnotations[] = {{"folder_path", "str"}, {"folder_name", "str"}};
constexpr Parameter kLogParams[] = {{"func"}};

}  // namespace

const BuiltinSpec convert_numpy_to_list_spec = {{"convert_numpy_to_list", kConvertParams}, "Vesk.convert_numpy_to_list", 12, {}, not_built_builtin};
const BuiltinSpec copy_files_spec = {{"copy_files", kCopyParams}, "Vesk.copy_files", 28, kCopyDefaults, not_built_builtin};
const BuiltinSpec upload_spec = {{"upload", kUploadParams}, "Vesk.upload", 56, {}, not_built_builtin};
const BuiltinSpec log_one_task_spec = {{"log_one_task", kLogParams}, "Vesk.log_one_task", 86, {}, not_built_builtin};
const FunctionSpec upload_method_spec = {{"upload", kUploadMethodParams}, "Vesk_Pal_st.upload", "Vesk.Vesk_Pal_st.upload", 326, {}, kUploadAnnotations, not_built};

}  // namespace vesk
