// copy_files(source_folder, destination_folder, index=0): copies a folder
// tree with one progress line per file, bounded by a running sub-folder count.
#include "util/util.h"

#include "core/globals.h"
#include "util/steps.h"

namespace vesk {
namespace {

constexpr const char* kTooManyDirectories = "Too many directories.";
constexpr long kMaxDirectories = 10;

const Name copy_files_name("copy_files"), shutil_name("shutil"), exists_name("exists"), makedirs_name("makedirs"),
    listdir_name("listdir"), join_name("join"), isfile_name("isfile"), isdir_name("isdir"), copy2_name("copy2"),
    loading_prefix("loading: ");

Ref copy_files(PyObject* const* args) {
    PyObject* source_folder = args[0];
    PyObject* destination_folder = args[1];
    Ref index = Ref::borrow(args[2]);

    if (!is_true(os_path(exists_name, {destination_folder}).get())) os_call(makedirs_name, {destination_folder});

    Ref listing = os_call(listdir_name, {source_folder});
    Ref iterator = check(PyObject_GetIter(listing.get()));
    Ref one = integer(1), limit = integer(kMaxDirectories);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref source_path = os_path(join_name, {source_folder, item.get()});
        Ref destination_path = os_path(join_name, {destination_folder, item.get()});
        if (is_true(os_path(isfile_name, {source_path.get()}).get())) {
            Ref shutil = global(shutil_name);
            call_method(shutil.get(), copy2_name, {source_path.get(), destination_path.get()});
            // Printed after the copy, so a failed copy prints nothing.
            print_line({join_text({loading_prefix.get(), formatted(source_path.get()).get()}).get()});
        } else if (is_true(os_path(isdir_name, {source_path.get()}).get())) {
            // The count is local: what a sub-folder's own call adds does not
            // flow back here.
            index = check(PyNumber_Add(index.get(), one.get()));
            Ref too_deep = check(PyObject_RichCompare(index.get(), limit.get(), Py_GT));
            if (is_true(too_deep.get())) raise_instance(builtins().RecursionError, str(kTooManyDirectories).get());
            Ref copy_files = global(copy_files_name);
            call(copy_files.get(), {source_path.get(), destination_path.get(), index.get()});
        }
        // Anything else (a broken link, say) is passed over.
    }
    if (PyErr_Occurred()) throw_error();
    return Ref::borrow(Py_None);
}

constexpr Parameter kParams[] = {{"source_folder"}, {"destination_folder"}, {"index"}};
constexpr DefaultValue kDefaults[] = {DefaultValue::zero};

}  // namespace

const BuiltinSpec copy_files_spec = {{"copy_files", kParams}, "Vesk.copy_files", 28, kDefaults, copy_files};

}  // namespace vesk
