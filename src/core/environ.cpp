#include "core/environ.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {
namespace {

const Name kEnviron("environ");

}  // namespace

Ref environment_variable(const char* name) {
    Ref os = global(kOs);
    Ref environ = getattr(os.get(), kEnviron);
    Ref key = str(name);
    Ref text = call_method(environ.get(), kGet, key.get());
    if (text.get() == Py_None) return Ref();
    return text;
}

}  // namespace vesk
