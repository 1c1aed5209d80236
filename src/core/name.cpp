#include "core/name.h"

#include "core/error.h"

namespace vesk {

PyObject* Name::get() const {
    if (object_ == nullptr) {
        object_ = PyUnicode_InternFromString(text_);
        if (object_ == nullptr) throw_error();
    }
    return object_;
}

}  // namespace vesk
