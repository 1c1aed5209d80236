// The upload's own checks of what it is about to copy, and its copy into the
// bundle folder through held folder descriptors.
#pragma once
#include <Python.h>

namespace vesk {

// Throws PyError (ValueError) for the failures of an upload that can be seen
// before the bundle folder is cleared: `folder_name` leading through an entry
// that stays and is a file or a link, a name or path longer than the system
// takes, a link in the source leading into the bundle folder, a link loop in
// the source. Operating-system errors of the walk (an unreadable folder)
// pass through. Walks the source as the copy will, up to the sub-folder
// limit. All borrowed.
void refuse_predictable_failure(PyObject* source, PyObject* bundle, PyObject* folder_name, PyObject* destination);

// True when copy_files is the module's own function: the upload then copies
// with copy_into_bundle instead.
bool copy_files_is_standard();

// What copy_files(source, destination) does, with every folder of the
// destination opened below the bundle folder's descriptor and never through
// a link: a link put in place during the copy cannot send a file outside.
// `folder_name` is the sub-folder ("" for the bundle folder itself). Same
// progress lines, order and sub-folder limit. Throws PyError.
void copy_into_bundle(PyObject* source, PyObject* bundle, PyObject* folder_name, PyObject* destination);

}  // namespace vesk
