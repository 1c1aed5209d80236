// The run file is a classic script, because a page opened from file:// can
// load scripts but cannot fetch files. Any page that names it in a <script>
// runs it, so the script itself hands the token only to pages opened from a
// file or served from the loopback host; `location` and `window` cannot be
// replaced by a page, so a website that includes it learns nothing. Only
// its owner can read the file (mkstemp makes it 0600), and it replaces the
// last run's file in one rename, so no page reads half of it.
#include "bridge/run_file.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {
namespace {

constexpr const char* kRunScript =
    "// This run's port and token, written by the Vesk bridge (VESK_TOKEN unset) for the\n"
    "// pages of this folder; read by the client kit. A new run writes its own.\n"
    "(function (l) {\n"
    "  if (l.protocol === \"file:\" || l.hostname === \"localhost\" || l.hostname === \"127.0.0.1\" ||\n"
    "      l.hostname === \"[::1]\") {\n"
    "    window.VeskRun = { port: %S, token: %R };\n"
    "  }\n"
    "})(location);\n";

const Name kAbspath("abspath"), kDirname("dirname"), kMkstemp("mkstemp"), kWrite("write"), kEncode("encode"),
    kUnlink("unlink"), kDir("dir"), kPrefix("prefix"), kTempfile("tempfile");

Ref os_path() {
    Ref os = global(kOs);
    return getattr(os.get(), kPath);
}

// <folder of the module file>/../dist/assets, the way upload finds dist.
Ref assets_folder() {
    Ref path = os_path();
    Ref file = global(kModuleFile);
    Ref absolute = call_method(path.get(), kAbspath, file.get());
    Ref folder = call_method(path.get(), kDirname, absolute.get());
    Ref up = str(".."), dist = str("dist"), assets = str("assets");
    return call_method(path.get(), kJoin, folder.get(), up.get(), dist.get(), assets.get());
}

Ref run_file_in(PyObject* assets) {
    Ref name = str("vesk-run.js");
    return call_method(os_path().get(), kJoin, assets, name.get());
}

void write_atomically(PyObject* folder, PyObject* target, PyObject* text) {
    Ref tempfile = import_module(kTempfile);
    Ref mkstemp = getattr(tempfile.get(), kMkstemp);
    Ref prefix = str(".vesk-run-");
    Ref options = make_dict({{kDir, folder}, {kPrefix, prefix.get()}});
    Ref no_args = check(PyTuple_New(0));
    Ref made = check(PyObject_Call(mkstemp.get(), no_args.get(), options.get()));
    PyObject* descriptor = PyTuple_GET_ITEM(made.get(), 0);  // borrowed
    PyObject* temporary = PyTuple_GET_ITEM(made.get(), 1);   // borrowed
    Ref os = global(kOs);
    try {
        Ref bytes = call_method(text, kEncode);
        call_method(os.get(), kWrite, descriptor, bytes.get());
        call_method(os.get(), kClose, descriptor);
        descriptor = nullptr;
        call_method(os.get(), kReplace, temporary, target);
    } catch (const PyError&) {
        ErrorGuard keep;
        if (descriptor != nullptr) Ref::steal(PyObject_CallMethodObjArgs(os.get(), kClose.get(), descriptor, nullptr));
        Ref::steal(PyObject_CallMethodObjArgs(os.get(), kUnlink.get(), temporary, nullptr));
        PyErr_Clear();
        throw;
    }
}

}  // namespace

Ref run_file_path() {
    try {
        Ref assets = assets_folder();
        return run_file_in(assets.get());
    } catch (const PyError&) {
        PyErr_Clear();
        return Ref();
    }
}

Ref write_run_file(PyObject* port, PyObject* token) {
    try {
        Ref assets = assets_folder();
        Ref is_folder = call_method(os_path().get(), kIsdir, assets.get());
        if (!is_true(is_folder.get())) return Ref();
        Ref target = run_file_in(assets.get());
        Ref text = check(PyUnicode_FromFormat(kRunScript, port, token));
        write_atomically(assets.get(), target.get(), text.get());
        return target;
    } catch (const PyError&) {
        PyErr_Clear();
        return Ref();
    }
}

}  // namespace vesk
