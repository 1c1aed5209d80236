// upload(folder_path, folder_name): publishes a folder into the front-end's
// bundle folder, which is first cleared of all but index.html and assets.
// The method Vesk_Pal_st.upload forwards to it.
#include "util/util.h"

#include "core/common_names.h"
#include "core/function.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "util/steps.h"
#include "util/upload_copy.h"
#include "util/upload_guard.h"

namespace vesk {
namespace {

// The folder `dist` beside the folder that holds the module file, joined
// without normalising, so the ".." step stays in every path built from it.
#if defined(_WIN32)
constexpr const char* kBundleRelative = "..\\dist";
#else
constexpr const char* kBundleRelative = "../dist";
#endif

constexpr const char* kDoesNotExist = " does not exist.";
constexpr const char* kNotAFolder = " should be a folder, not a file.";
constexpr const char* kWholeBundle = "/";  // the folder_name meaning the bundle folder itself

const Name islink_name("islink"), abspath_name("abspath"), dirname_name("dirname"), remove_name("remove"),
    rmtree_name("rmtree"), assets_name("assets"), index_html_name("index.html"), file_removed_prefix("该删"),
    folder_removed_prefix("已删除文件夹: ");

Ref bundle_folder() {
    Ref module_file = global(kModuleFile);
    Ref absolute = os_path(abspath_name, module_file.get());
    Ref folder = os_path(dirname_name, absolute.get());
    Ref relative = str(kBundleRelative);
    return os_path(kJoin, folder.get(), relative.get());
}

bool equals(PyObject* value, const Name& text) {
    Ref equal = check(PyObject_RichCompare(value, text.get(), Py_EQ));
    return is_true(equal.get());
}

[[noreturn]] void raise_about(PyObject* exception_type, PyObject* path, const char* text) {
    Ref tail = str(text);
    raise_instance(exception_type, join_text({formatted(path).get(), tail.get()}).get());
}

// Removes every entry of `listing` but index.html and assets, printing a
// line for each; entries that are neither file nor folder stay.
void clear_bundle(PyObject* bundle, PyObject* listing) {
    Ref iterator = check(PyObject_GetIter(listing));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (equals(item.get(), assets_name) || equals(item.get(), index_html_name)) continue;
        Ref entry = os_path(kJoin, bundle, item.get());
        if (is_true(os_path(kIsfile, entry.get()).get())) {
            print_line(file_removed_prefix.get(), entry.get());
            os_call(remove_name, entry.get());
        } else if (is_true(os_path(kIsdir, entry.get()).get())) {
            if (is_true(os_path(islink_name, entry.get()).get())) {
                os_call(remove_name, entry.get());  // the link, never what it leads to
            } else {
                Ref shutil = global(kShutil);
                call_method(shutil.get(), rmtree_name, entry.get());
            }
            print_line(join_text({folder_removed_prefix.get(), formatted(entry.get()).get()}).get());
        }
    }
    if (PyErr_Occurred()) throw_error();
}

Ref upload(PyObject* const* args) {
    PyObject* folder_path = args[0];
    Ref folder_name = Ref::borrow(args[1]);

    Ref source = os_path(abspath_name, folder_path);
    Ref bundle = bundle_folder();
    if (!is_true(os_path(kExists, source.get()).get())) {
        raise_about(builtins().FileNotFoundError, source.get(), kDoesNotExist);
    }
    if (is_true(os_path(kIsfile, source.get()).get())) {
        raise_about(builtins().ValueError, source.get(), kNotAFolder);
    }

    // A missing bundle folder fails here, before any other check.
    Ref listing = os_call(kListdir, bundle.get());
    static const Name whole_bundle(kWholeBundle);
    if (equals(folder_name.get(), whole_bundle)) folder_name = Ref::borrow(kEmptyText.get());
    refuse_escape(folder_name.get(), bundle.get());
    Ref destination = os_path(kJoin, bundle.get(), folder_name.get());
    refuse_overlap(source.get(), bundle.get(), destination.get());
#if !defined(_WIN32)
    refuse_predictable_failure(source.get(), bundle.get(), folder_name.get(), destination.get());
#endif

    clear_bundle(bundle.get(), listing.get());
#if !defined(_WIN32)
    if (copy_files_is_standard()) {
        copy_into_bundle(source.get(), bundle.get(), folder_name.get(), destination.get());
        return Ref::borrow(Py_None);
    }
#endif
    Ref copy_files = global(kCopyFiles);
    call(copy_files.get(), source.get(), destination.get());
    return Ref::borrow(Py_None);
}

// The method uses nothing of the instance: it calls whatever the module-level
// name upload is bound to now, and drops its result.
Ref upload_method(FunctionObject*, PyObject* const* args) {
    Ref upload_function = global(kUpload);
    call(upload_function.get(), args[1], args[2]);
    return Ref::borrow(Py_None);
}

constexpr Parameter kParams[] = {{"folder_path", ExactType::str}, {"folder_name", ExactType::str}};
constexpr Parameter kMethodParams[] = {{"self"}, {"folder_path", ExactType::str}, {"folder_name", ExactType::str}};
constexpr Annotation kMethodAnnotations[] = {{"folder_path", "str"}, {"folder_name", "str"}};

}  // namespace

const BuiltinSpec upload_spec = {{"upload", kParams}, line::upload, {}, upload};
const FunctionSpec upload_method_spec = {{"upload", kMethodParams}, kEnvironmentClass, line::upload_method, {},
                                         kMethodAnnotations,        upload_method};

}  // namespace vesk
