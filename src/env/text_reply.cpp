#include "env/text_reply.h"

#include "core/call.h"
#include "core/globals.h"

namespace vesk {
namespace {

const Name kFilters("filters"), kLstrip("lstrip"), kCompile("compile");

// The warnings filters with everything ignored in front. Swapped in only
// around one C-level compile() call, which runs no Python code: no other
// thread can run, and so none can see or change the swapped list.
class WarningsIgnored {
public:
    WarningsIgnored() {
        warnings_ = check(PyImport_ImportModule("warnings"));
        saved_ = getattr(warnings_.get(), kFilters);
        Ref ignore_all = check(Py_BuildValue("[(sOOOi)]", "ignore", Py_None, PyExc_Warning, Py_None, 0));
        setattr(warnings_.get(), kFilters, ignore_all.get());
    }
    ~WarningsIgnored() {
        ErrorGuard keep;
        if (PyObject_SetAttr(warnings_.get(), kFilters.get(), saved_.get()) < 0) PyErr_Clear();
    }
    WarningsIgnored(const WarningsIgnored&) = delete;
    WarningsIgnored& operator=(const WarningsIgnored&) = delete;

private:
    Ref warnings_, saved_;
};

}  // namespace

Ref decode_text_reply(PyObject* text) {
    if (!PyUnicode_Check(text)) return call(builtins().literal_eval, text);
    // What literal_eval does with a str: strip leading blanks and tabs (from
    // 3.10 on), parse in eval mode to a tree, convert the tree.
#if PY_VERSION_HEX >= 0x030A0000
    Ref blanks = str(" \t");
    Ref source = call_method(text, kLstrip, blanks.get());
#else
    Ref source = Ref::borrow(text);
#endif
    Ref builtins_module = check(PyImport_ImportModule("builtins"));
    Ref compile = getattr(builtins_module.get(), kCompile);
    Ref filename = str("<unknown>"), mode = str("eval"), flags = integer(PyCF_ONLY_AST);
    Ref tree;
    {
        WarningsIgnored quiet;
        tree = call(compile.get(), source.get(), filename.get(), mode.get(), flags.get());
    }
    return call(builtins().literal_eval, tree.get());
}

}  // namespace vesk
