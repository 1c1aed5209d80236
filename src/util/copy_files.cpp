// copy_files(source_folder, destination_folder, index=0): copies a folder
// tree with one progress line per file, bounded by a running sub-folder count.
#include "util/util.h"

#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "util/steps.h"

namespace vesk {
namespace {

constexpr const char* kTooManyDirectories = "Too many directories.";
constexpr long kMaxDirectories = 10;

const Name makedirs_name("makedirs"), copy2_name("copy2"), loading_prefix("loading: ");

Ref copy_files(PyObject* const* args) {
    PyObject* source_folder = args[0];
    PyObject* destination_folder = args[1];
    Ref index = Ref::borrow(args[2]);

    if (!is_true(os_path(kExists, destination_folder).get())) os_call(makedirs_name, destination_folder);

    Ref listing = os_call(kListdir, source_folder);
    Ref iterator = check(PyObject_GetIter(listing.get()));
    Ref one = integer(1), limit = integer(kMaxDirectories);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref source_path = os_path(kJoin, source_folder, item.get());
        Ref destination_path = os_path(kJoin, destination_folder, item.get());
        if (is_true(os_path(kIsfile, source_path.get()).get())) {
            Ref shutil = global(kShutil);
            call_method(shutil.get(), copy2_name, source_path.get(), destination_path.get());
            // Printed after the copy, so a failed copy prints nothing.
            print_line(join_text({loading_prefix.get(), formatted(source_path.get()).get()}).get());
        } else if (is_true(os_path(kIsdir, source_path.get()).get())) {
            // The count is local: what a sub-folder's own call adds does not
            // flow back here.
            index = check(PyNumber_Add(index.get(), one.get()));
            Ref too_deep = check(PyObject_RichCompare(index.get(), limit.get(), Py_GT));
            if (is_true(too_deep.get())) raise_instance(builtins().RecursionError, str(kTooManyDirectories).get());
            Ref copy_files = global(kCopyFiles);
            call(copy_files.get(), source_path.get(), destination_path.get(), index.get());
        }
        // Anything else (a broken link, say) is passed over.
    }
    if (PyErr_Occurred()) throw_error();
    return Ref::borrow(Py_None);
}

constexpr Parameter kParams[] = {{"source_folder"}, {"destination_folder"}, {"index"}};
constexpr DefaultValue kDefaults[] = {DefaultValue::zero};

}  // namespace

const BuiltinSpec copy_files_spec = {{"copy_files", kParams}, line::copy_files, kDefaults, copy_files};

}  // namespace vesk
