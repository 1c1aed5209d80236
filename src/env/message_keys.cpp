#include "env/message_keys.h"

#include "core/globals.h"

namespace vesk {

const Name kEnv("env"), kPos("pos"), kJoint("joint"), kList("list"), kAction("action"), kTarget("target"),
    kObject("object"), kCounts("counts");

Ref new_info_list(PyObject* num_envs) {
    Ref indices = call(builtins().range, num_envs);
    Ref iterator = check(PyObject_GetIter(indices.get()));
    Ref list = check(PyList_New(0));
    Ref zero = integer(0);
    while (Ref index = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref info = make_dict({{kCounts, zero.get()}});
        check_status(PyList_Append(list.get(), info.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return list;
}

}  // namespace vesk
