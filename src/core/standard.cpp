#include "core/standard.h"
#include "core/common_names.h"
#include "core/module_names.h"

#include "core/error.h"
#include "core/globals.h"

#include <string_view>

namespace vesk {
namespace {

// All owned for the life of the process; empty when a fast path is off.
struct Numpy {
    Ref module, ndarray, float32;
};
struct Json {
    Ref module, dumps, dumps_code, dumps_defaults, dumps_kwdefaults;  // kwdefaults: a copy to compare with
    Ref encoder, encoder_type, encoder_settings;                      // settings: a copy of its __dict__
    Ref encoder_globals;                                              // json.encoder's namespace
    Ref class_members[5];                                             // kClassMembers of JSONEncoder
    Ref make_encoder, encode_ascii;                                   // json.encoder's C pieces
};

// Never destroyed: the interpreter is gone by the time static objects are.
Numpy& numpy_seen = *new Numpy;
Json& json_seen = *new Json;
PyObject* convert_seen = nullptr;  // owned
struct Asyncio {
    Ref module, wait_for;
};
Asyncio& asyncio_seen = *new Asyncio;

const Name kDefaultEncoder("_default_encoder"), kJsonEncoder("JSONEncoder"), kMakeEncoder("c_make_encoder"),
    kEncodeAscii("encode_basestring_ascii");
const Name kClassMembers[] = {Name("encode"), Name("iterencode"), Name("default"), Name("item_separator"),
                              Name("key_separator")};

// dict[name], borrowed; NULL (no error) when absent or on a failed lookup.
PyObject* lookup(PyObject* dict, const Name& name) {
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value == nullptr) PyErr_Clear();
    return value;
}

// dict[name] is still `expected`.
bool same(PyObject* dict, const Name& name, const Ref& expected) {
    return expected && lookup(dict, name) == expected.get();
}

bool equal(PyObject* a, PyObject* b) {
    const int result = PyObject_RichCompareBool(a, b, Py_EQ);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

void remember_numpy(PyObject* ns) {
    PyObject* np = lookup(ns, kNp);
    if (np == nullptr || !PyModule_Check(np)) return;
    PyObject* dict = PyModule_GetDict(np);
    PyObject* ndarray = lookup(dict, kNdarray);
    PyObject* float32 = lookup(dict, kFloat32);
    if (ndarray == nullptr || float32 == nullptr || !PyType_Check(ndarray)) return;
    if (std::string_view(reinterpret_cast<PyTypeObject*>(ndarray)->tp_name) != "numpy.ndarray") return;
    numpy_seen = {Ref::borrow(np), Ref::borrow(ndarray), Ref::borrow(float32)};
}

void remember_json(PyObject* ns) {
    Json seen;
    PyObject* json = lookup(ns, kJson);
    if (json == nullptr || !PyModule_Check(json)) return;
    PyObject* dict = PyModule_GetDict(json);
    PyObject* dumps = lookup(dict, kDumps);
    // The library's own dumps runs in json's namespace.
    if (dumps == nullptr || !PyFunction_Check(dumps) || PyFunction_GET_GLOBALS(dumps) != dict) return;
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(dumps);
    if (kwdefaults == nullptr) return;
    seen.module = Ref::borrow(json);
    seen.dumps = Ref::borrow(dumps);
    seen.dumps_code = Ref::borrow(PyFunction_GET_CODE(dumps));
    seen.dumps_defaults = Ref::borrow(PyFunction_GET_DEFAULTS(dumps));
    seen.dumps_kwdefaults = Ref::steal(PyDict_Copy(kwdefaults));
    PyObject* encoder = lookup(dict, kDefaultEncoder);
    PyObject* encoder_type = lookup(dict, kJsonEncoder);
    if (encoder == nullptr || encoder_type == nullptr || !PyType_Check(encoder_type) ||
        reinterpret_cast<PyObject*>(Py_TYPE(encoder)) != encoder_type) {
        return;
    }
    seen.encoder = Ref::borrow(encoder);
    seen.encoder_type = Ref::borrow(encoder_type);
    Ref settings = Ref::steal(PyObject_GenericGetDict(encoder, nullptr));
    if (!settings || !PyDict_Check(settings.get())) return;
    seen.encoder_settings = Ref::steal(PyDict_Copy(settings.get()));
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(encoder_type)->tp_dict;
    for (int i = 0; i < 5; ++i) {
        PyObject* member = lookup(class_dict, kClassMembers[i]);
        if (member == nullptr) return;
        seen.class_members[i] = Ref::borrow(member);
    }
    PyObject* encode = seen.class_members[0].get();
    if (!PyFunction_Check(encode)) return;
    seen.encoder_globals = Ref::borrow(PyFunction_GET_GLOBALS(encode));
    PyObject* make_encoder = lookup(seen.encoder_globals.get(), kMakeEncoder);
    PyObject* encode_ascii = lookup(seen.encoder_globals.get(), kEncodeAscii);
    // Only the C encoder is known to give the text the fast path makes.
    Ref c_json = Ref::steal(PyImport_Import(kCJson.get()));
    if (!c_json) return;
    Ref c_make = Ref::steal(PyObject_GetAttrString(c_json.get(), "make_encoder"));
    Ref c_ascii = Ref::steal(PyObject_GetAttrString(c_json.get(), "encode_basestring_ascii"));
    if (!c_make || c_make.get() != make_encoder || !c_ascii || c_ascii.get() != encode_ascii) return;
    seen.make_encoder = std::move(c_make);
    seen.encode_ascii = std::move(c_ascii);
    json_seen = std::move(seen);
}

void remember_asyncio(PyObject* ns) {
    PyObject* asyncio = lookup(ns, kAsyncio);
    if (asyncio == nullptr || !PyModule_Check(asyncio)) return;
    PyObject* wait_for = lookup(PyModule_GetDict(asyncio), kWaitFor);
    // The library's own wait_for is a Python function of asyncio's tasks module.
    if (wait_for == nullptr || !PyFunction_Check(wait_for)) return;
    asyncio_seen = {Ref::borrow(asyncio), Ref::borrow(wait_for)};
}

// What the last full look at numpy found. Before 3.12 every dict carries a
// tag that changes with each of its modifications (the interpreter's own
// global caches rest on it), so while neither the module namespace nor
// numpy's namespace changed, that look still holds.
struct NumpyLook {
    PyTypeObject* ndarray = nullptr;  // borrowed from numpy_seen
    bool float32 = false;
#if PY_VERSION_HEX < 0x030C0000
    bool valid = false;
    uint64_t namespace_tag = 0, numpy_tag = 0;
#endif
};
NumpyLook numpy_look;

#if PY_VERSION_HEX < 0x030C0000
uint64_t tag_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

const NumpyLook& look_at_numpy() {
    const Numpy& n = numpy_seen;
    PyObject* ns = module_namespace();
    PyObject* dict = PyModule_GetDict(n.module.get());
#if PY_VERSION_HEX < 0x030C0000
    if (numpy_look.valid && tag_of(ns) == numpy_look.namespace_tag && tag_of(dict) == numpy_look.numpy_tag) {
        return numpy_look;
    }
#endif
    NumpyLook look;
    if (lookup(ns, kNp) == n.module.get() && same(dict, kNdarray, n.ndarray)) {
        look.ndarray = reinterpret_cast<PyTypeObject*>(n.ndarray.get());
        look.float32 = same(dict, kFloat32, n.float32);
    }
#if PY_VERSION_HEX < 0x030C0000
    look.valid = true;
    look.namespace_tag = tag_of(ns);
    look.numpy_tag = tag_of(dict);
#endif
    numpy_look = look;
    return numpy_look;
}

}  // namespace

void remember_standard_objects(PyObject* ns, PyObject* convert_function) {
    ErrorGuard keep;  // a failed look here only leaves a fast path off
    convert_seen = Py_NewRef(convert_function);
    remember_numpy(ns);
    remember_json(ns);
    remember_asyncio(ns);
    PyErr_Clear();
}

PyTypeObject* standard_ndarray() { return numpy_seen.module ? look_at_numpy().ndarray : nullptr; }

bool standard_float32() { return numpy_seen.module && look_at_numpy().float32; }

PyTypeObject* imported_ndarray() { return reinterpret_cast<PyTypeObject*>(numpy_seen.ndarray.get()); }

bool standard_json() {
    const Json& j = json_seen;
    if (!j.make_encoder || lookup(module_namespace(), kJson) != j.module.get()) return false;
    PyObject* dict = PyModule_GetDict(j.module.get());
    PyObject* dumps = j.dumps.get();
    if (!same(dict, kDumps, j.dumps) || PyFunction_GET_CODE(dumps) != j.dumps_code.get() ||
        PyFunction_GET_DEFAULTS(dumps) != j.dumps_defaults.get()) {
        return false;
    }
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(dumps);
    if (kwdefaults == nullptr || !equal(kwdefaults, j.dumps_kwdefaults.get())) return false;
    PyObject* encoder = j.encoder.get();
    if (!same(dict, kDefaultEncoder, j.encoder) ||
        reinterpret_cast<PyObject*>(Py_TYPE(encoder)) != j.encoder_type.get()) {
        return false;
    }
    Ref settings = Ref::steal(PyObject_GenericGetDict(encoder, nullptr));
    if (!settings) PyErr_Clear();
    if (!settings || !equal(settings.get(), j.encoder_settings.get())) return false;
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(j.encoder_type.get())->tp_dict;
    for (int i = 0; i < 5; ++i) {
        if (!same(class_dict, kClassMembers[i], j.class_members[i])) return false;
    }
    PyObject* encoder_globals = j.encoder_globals.get();
    return same(encoder_globals, kMakeEncoder, j.make_encoder) && same(encoder_globals, kEncodeAscii, j.encode_ascii);
}

PyObject* standard_convert() { return convert_seen; }

PyObject* standard_asyncio_wait_for() {
    const Asyncio& a = asyncio_seen;
    if (!a.module || lookup(module_namespace(), kAsyncio) != a.module.get()) return nullptr;
    return same(PyModule_GetDict(a.module.get()), kWaitFor, a.wait_for) ? a.module.get() : nullptr;
}

}  // namespace vesk
