#include "core/heap_type.h"

#include "core/error.h"

namespace vesk {

PyTypeObject* make_heap_type(PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)).release());
}

}  // namespace vesk
