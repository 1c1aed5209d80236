#include "util/upload_guard.h"

#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "util/steps.h"

namespace vesk {
namespace {

constexpr const char* kSourceHoldsBundle =
    "%U is the bundle folder %U or contains it: publishing it would copy the bundle folder into itself";
constexpr const char* kSourceInsideCleared =
    "%U is or lies inside %U, which clearing the bundle folder %U removes before anything is copied";
constexpr const char* kDestinationInsideSource = "%U cannot be copied into %U, which lies inside it";
constexpr const char* kAbsoluteName = "folder_name %R is an absolute path; it must name a folder inside %U";
constexpr const char* kEscapingName = "folder_name %R leads out of the bundle folder %U";

// The entries of the bundle folder that the clearing leaves in place.
constexpr const char* kKeptEntries[] = {"assets", "index.html"};

const Name sep_name("sep"), realpath_name("realpath"), normcase_name("normcase"), isabs_name("isabs"),
    normpath_name("normpath");

// A path with links and ".." resolved, in the form paths are compared in.
struct RealPath {
    Ref path;        // os.path.realpath(...)
    Ref comparable;  // os.path.normcase of it
};

RealPath real_path(PyObject* path) {
    RealPath real;
    real.path = os_path(realpath_name, path);
    real.comparable = os_path(normcase_name, real.path.get());
    return real;
}

// The prefix that every path strictly inside `folder` starts with.
Ref inside_prefix(const RealPath& folder, PyObject* sep) {
    if (check_status(PyUnicode_Tailmatch(folder.comparable.get(), sep, 0, PY_SSIZE_T_MAX, 1)) != 0) {
        return folder.comparable.copy();  // a root, such as "/"
    }
    return check(PyUnicode_Concat(folder.comparable.get(), sep));
}

bool same(const RealPath& a, const RealPath& b) {
    return check_status(PyObject_RichCompareBool(a.comparable.get(), b.comparable.get(), Py_EQ)) != 0;
}

// The length of the prefix when `path` lies strictly inside `folder`, else -1.
Py_ssize_t strictly_inside(const RealPath& path, const RealPath& folder, PyObject* sep) {
    Ref prefix = inside_prefix(folder, sep);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(prefix.get());
    if (check_status(PyUnicode_Tailmatch(path.comparable.get(), prefix.get(), 0, length, -1)) == 0) return -1;
    return length;
}

bool within(const RealPath& path, const RealPath& folder, PyObject* sep) {
    return same(path, folder) || strictly_inside(path, folder, sep) >= 0;
}

// The first component of `path` below the folder whose prefix ends at `start`.
Ref first_component(const RealPath& path, Py_ssize_t start, PyObject* sep) {
    PyObject* text = path.path.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t end = PyUnicode_Find(text, sep, start, length, 1);
    if (end == -2) throw_error();
    if (end == -1) end = length;
    return check(PyUnicode_Substring(text, start, end));
}

bool is_kept(PyObject* entry) {
    for (const char* kept : kKeptEntries) {
        if (PyUnicode_CompareWithASCIIString(entry, kept) == 0) return true;
    }
    return false;
}

}  // namespace

void refuse_overlap(PyObject* source, PyObject* bundle, PyObject* destination) {
    Ref os = global(kOs);
    Ref sep = getattr(os.get(), sep_name);
    const RealPath real_source = real_path(source), real_bundle = real_path(bundle);

    if (within(real_bundle, real_source, sep.get())) {
        raise_instance(
            builtins().ValueError,
            check(PyUnicode_FromFormat(kSourceHoldsBundle, formatted(source).get(), formatted(bundle).get())).get());
    }
    const Py_ssize_t start = strictly_inside(real_source, real_bundle, sep.get());
    if (start >= 0) {
        Ref entry = first_component(real_source, start, sep.get());
        if (!is_kept(entry.get())) {
            Ref entry_path = os_path(kJoin, bundle, entry.get());
            raise_instance(builtins().ValueError,
                           check(PyUnicode_FromFormat(kSourceInsideCleared, formatted(source).get(),
                                                      formatted(entry_path.get()).get(), formatted(bundle).get()))
                               .get());
        }
    }
    const RealPath real_destination = real_path(destination);
    if (within(real_destination, real_source, sep.get())) {
        raise_instance(
            builtins().ValueError,
            check(PyUnicode_FromFormat(kDestinationInsideSource, formatted(source).get(), formatted(destination).get()))
                .get());
    }
}

void refuse_escape(PyObject* folder_name, PyObject* bundle) {
    if (is_true(os_path(isabs_name, folder_name).get())) {
        raise_instance(builtins().ValueError,
                       check(PyUnicode_FromFormat(kAbsoluteName, folder_name, formatted(bundle).get())).get());
    }
    // By the names alone: the folder is not there yet, and links inside the
    // bundle folder are the publisher's own.
    Ref os = global(kOs);
    Ref sep = getattr(os.get(), sep_name);
    Ref joined = os_path(kJoin, bundle, folder_name);
    RealPath destination, folder;
    Ref destination_path = os_path(normpath_name, joined.get()), folder_path = os_path(normpath_name, bundle);
    destination.comparable = os_path(normcase_name, destination_path.get());
    folder.comparable = os_path(normcase_name, folder_path.get());
    if (!within(destination, folder, sep.get())) {
        raise_instance(builtins().ValueError,
                       check(PyUnicode_FromFormat(kEscapingName, folder_name, formatted(bundle).get())).get());
    }
}

}  // namespace vesk
