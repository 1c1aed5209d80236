#include "core/coroutine.h"
#include "core/common_names.h"

#include "core/call.h"
#include "core/getset.h"
#include "core/heap_type.h"

#include <structmember.h>

namespace vesk {
namespace {

// CPython's own wording, for the same misuse of a coroutine:
// running it,
constexpr const char* kAlreadyExecuting = "coroutine already executing";
constexpr const char* kCannotReuse = "cannot reuse already awaited coroutine";
constexpr const char* kIgnoredGeneratorExit = "coroutine ignored GeneratorExit";
constexpr const char* kNonNoneToJustStarted = "can't send non-None value to a just-started coroutine";
constexpr const char* kRaisedStopIteration = "coroutine raised StopIteration";
constexpr const char* kNeverAwaited = "coroutine '%U' was never awaited";
// awaiting something with it,
constexpr const char* kNotAwaitable = "object %.100s can't be used in 'await' expression";
constexpr const char* kAwaitReturnedCoroutine = "__await__() returned a coroutine";
constexpr const char* kAwaitReturnedNonIterator = "__await__() returned non-iterator of type '%.100s'";
// and throw()'s arguments.
constexpr const char* kThirdArgumentNotTraceback = "throw() third argument must be a traceback object";
constexpr const char* kInstanceWithValue = "instance exception may not have a separate value";
constexpr const char* kNotAnException = "exceptions must be classes or instances deriving from BaseException, not %s";

PyTypeObject* coroutine_type = nullptr;

// The slots below run without an error boundary, so the names they use are
// interned when the type is made (see ready_coroutine_type), never on first use.
const Name kThrow("throw"), kValue("value"), kGiCode("gi_code"), kCoFlags("co_flags");

struct CoroutineObject {
    PyObject_HEAD
    CoroutineBody::Handle body;
    const FunctionSpec* spec;
    Ref delegate;  // the iterator of the awaitable the body waits on
    Ref name, qualname;
    bool started, running, finished;
    PyObject* weakrefs;
};

CoroutineObject* as_coroutine(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

enum class Outcome { yielded, returned, failed };

// --- talking to the awaited object -----------------------------------------

// The value a finished iterator returned: its StopIteration's value, or None.
Outcome fetch_return_value(Ref& out) {
    if (!PyErr_Occurred()) {
        out = Ref::borrow(Py_None);
        return Outcome::returned;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return Outcome::failed;
    SavedError stop = SavedError::fetch();
    stop.normalize();
    out = Ref::steal(stop.value() != nullptr ? PyObject_GetAttr(stop.value(), kValue.interned()) : Py_NewRef(Py_None));
    return out ? Outcome::returned : Outcome::failed;
}

// One step of `yield from`: send `value` into the iterator.
Outcome send_into(PyObject* iterator, PyObject* value, Ref& out) {
#if PY_VERSION_HEX >= 0x030A0000
    PyObject* result = nullptr;
    switch (PyIter_Send(iterator, value, &result)) {
        case PYGEN_NEXT:
            out = Ref::steal(result);
            return Outcome::yielded;
        case PYGEN_RETURN:
            out = Ref::steal(result);
            return Outcome::returned;
        default:
            return Outcome::failed;
    }
#else
    PyObject* result = nullptr;
    if (value == Py_None && Py_TYPE(iterator)->tp_iternext != nullptr) {
        result = Py_TYPE(iterator)->tp_iternext(iterator);
    } else {
        result = PyObject_CallMethodObjArgs(iterator, kSend.interned(), value, nullptr);
    }
    if (result != nullptr) {
        out = Ref::steal(result);
        return Outcome::yielded;
    }
    return fetch_return_value(out);
#endif
}

// The iterator `await x` delegates to, as the interpreter finds it.
Ref awaitable_iterator(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable) || Py_IS_TYPE(awaitable, coroutine_type)) return Ref::borrow(awaitable);
    if (PyGen_CheckExact(awaitable)) {
        // A generator marked by types.coroutine is awaited directly.
        Ref code = getattr(awaitable, kGiCode);
        Ref flags = getattr(code.get(), kCoFlags);
        if (PyLong_AsLong(flags.get()) & CO_ITERABLE_COROUTINE) return Ref::borrow(awaitable);
    }
    PyAsyncMethods* async = Py_TYPE(awaitable)->tp_as_async;
    if (async == nullptr || async->am_await == nullptr) {
        raise_format(PyExc_TypeError, kNotAwaitable, Py_TYPE(awaitable)->tp_name);
    }
    Ref iterator = check(async->am_await(awaitable));
    if (PyCoro_CheckExact(iterator.get()) || Py_IS_TYPE(iterator.get(), coroutine_type)) {
        raise(PyExc_TypeError, kAwaitReturnedCoroutine);
    }
    if (!PyIter_Check(iterator.get())) {
        raise_format(PyExc_TypeError, kAwaitReturnedNonIterator, Py_TYPE(iterator.get())->tp_name);
    }
    return iterator;
}

// --- running the body -------------------------------------------------------

// An error leaving the coroutine: StopIteration must not look like a return
// (as for native coroutines), and the entry names the function.
void report_failure(CoroutineObject* self) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        SavedError stop = SavedError::fetch();
        stop.normalize();
        PyErr_SetString(PyExc_RuntimeError, kRaisedStopIteration);
        SavedError error = SavedError::fetch();
        error.normalize();
        if (error.value() != nullptr && stop.value() != nullptr) {
            PyException_SetCause(error.value(), Py_NewRef(stop.value()));
            PyException_SetContext(error.value(), Py_NewRef(stop.value()));
        }
        error.restore();
    }
    add_traceback(self->spec->site());
}

// Resumes the C++ body with `value`, or with the current Python error when
// `value` is NULL, and runs it until it yields to the event loop or ends.
Outcome resume_body(CoroutineObject* self, PyObject* value, Ref& out) {
    auto& promise = self->body.promise();
    Ref next = Ref::borrow(value);
    bool with_error = value == nullptr;
    for (;;) {
        promise.resume_with_error = with_error;
        promise.sent = std::move(next);
        self->started = true;
        self->body.resume();
        if (self->body.done()) {
            self->finished = true;
            const bool failed = promise.failed;
            out = failed ? Ref() : promise.result ? std::move(promise.result) : Ref::borrow(Py_None);
            // The frame's references go now, not when the object dies: the
            // cycle collector cannot see into a C++ frame.
            std::exchange(self->body, {}).destroy();
            if (!failed) return Outcome::returned;
            report_failure(self);
            return Outcome::failed;
        }
        Ref awaitable = std::move(promise.awaiting);
        Ref iterator = Ref::steal(nullptr);
        try {
            iterator = awaitable_iterator(awaitable.get());
        } catch (const PyError&) {
            with_error = true;
            continue;
        }
        Ref result;
        switch (send_into(iterator.get(), Py_None, result)) {
            case Outcome::yielded:
                self->delegate = std::move(iterator);
                out = std::move(result);
                return Outcome::yielded;
            case Outcome::returned:
                next = std::move(result);
                with_error = false;
                break;
            case Outcome::failed:
                with_error = true;
                break;
        }
    }
}

// Throws the current Python error into the delegate, as `yield from` does:
// GeneratorExit closes the delegate and then reaches our own body; anything
// else goes to the delegate's throw(), whose outcome resumes our body.
Outcome throw_into_delegate(CoroutineObject* self, Ref& out) {
    Ref delegate = std::move(self->delegate);
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        SavedError exit = SavedError::fetch();
        Ref method = Ref::steal(PyObject_GetAttr(delegate.get(), kClose.interned()));
        if (!method) PyErr_Clear();
        // The delegate's own failure to close replaces GeneratorExit.
        if (!method || Ref::steal(PyObject_CallNoArgs(method.get()))) exit.restore();
        return Outcome::failed;  // the body resumes with the error now set
    }
    SavedError thrown = SavedError::fetch();
    thrown.normalize();
    Ref method = Ref::steal(PyObject_GetAttr(delegate.get(), kThrow.interned()));
    if (!method) {
        // A failing lookup replaces the error; without throw() the error is
        // raised where the body awaits.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Outcome::failed;
        PyErr_Clear();
        thrown.restore();
        return Outcome::failed;
    }
    // The one-argument form: the three-argument one is deprecated in 3.12.
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), thrown.value()));
    if (result) {
        self->delegate = std::move(delegate);
        out = std::move(result);
        return Outcome::yielded;
    }
    return fetch_return_value(out);
}

// The one primitive: send `value` in, or throw the current error when NULL.
Outcome coroutine_send(CoroutineObject* self, PyObject* value, Ref& out, bool closing = false) {
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, kAlreadyExecuting);
        return Outcome::failed;
    }
    if (self->finished) {
        if (closing) {
            PyErr_Clear();
            out = Ref::borrow(Py_None);
            return Outcome::returned;
        }
        PyErr_SetString(PyExc_RuntimeError, kCannotReuse);
        return Outcome::failed;
    }
    if (!self->started && value != nullptr && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, kNonNoneToJustStarted);
        return Outcome::failed;
    }
    self->running = true;
    Outcome outcome;
    if (self->delegate) {
        Ref result;
        Outcome step =
            value != nullptr ? send_into(self->delegate.get(), value, result) : throw_into_delegate(self, result);
        if (step == Outcome::yielded) {
            out = std::move(result);
            self->running = false;
            return Outcome::yielded;
        }
        self->delegate.reset();
        outcome = resume_body(self, step == Outcome::returned ? result.get() : nullptr, out);
    } else if (!self->started && value == nullptr) {
        // Thrown in before the first step: the body never runs.
        self->finished = true;
        report_failure(self);
        outcome = Outcome::failed;
    } else {
        outcome = resume_body(self, value, out);
    }
    self->running = false;
    return outcome;
}

// --- Python methods -----------------------------------------------------------

PyObject* finish_send(Outcome outcome, Ref& out) {
    switch (outcome) {
        case Outcome::yielded:
            return out.release();
        case Outcome::returned:
            if (out.get() == Py_None) {
                PyErr_SetNone(PyExc_StopIteration);
            } else {
                // A tuple or exception value must not be unpacked by StopIteration.
                Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, out.get()));
                if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
            }
            return nullptr;
        case Outcome::failed:
            return nullptr;
    }
    return nullptr;
}

PyObject* coroutine_send_method(PyObject* self, PyObject* value) {
    Ref out;
    return finish_send(coroutine_send(as_coroutine(self), value, out), out);
}

PyObject* coroutine_iternext(PyObject* self) {
    Ref out;
    Outcome outcome = coroutine_send(as_coroutine(self), Py_None, out);
    if (outcome == Outcome::returned && out.get() == Py_None) return nullptr;  // plain exhaustion
    return finish_send(outcome, out);
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) {
    Ref out;
    Outcome outcome = coroutine_send(as_coroutine(self), value, out);
    *result = out.release();
    switch (outcome) {
        case Outcome::yielded:
            return PYGEN_NEXT;
        case Outcome::returned:
            return PYGEN_RETURN;
        default:
            return PYGEN_ERROR;
    }
}
#endif

// throw(value) or the older throw(type[, value[, traceback]]).
bool set_thrown_error(PyObject* type, PyObject* value, PyObject* traceback) {
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, kThirdArgumentNotTraceback);
        return false;
    }
    SavedError thrown;
    if (PyExceptionClass_Check(type)) {
        thrown = SavedError(Ref::borrow(type), Ref::borrow(value), Ref::borrow(traceback));
        thrown.normalize();
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, kInstanceWithValue);
            return false;
        }
        Ref instance_traceback =
            traceback != nullptr ? Ref::borrow(traceback) : Ref::steal(PyException_GetTraceback(type));
        thrown = SavedError(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type))), Ref::borrow(type),
                            std::move(instance_traceback));
    } else {
        PyErr_Format(PyExc_TypeError, kNotAnException, Py_TYPE(type)->tp_name);
        return false;
    }
    thrown.restore();
    return true;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at %s %d argument%s, got %zd", nargs < 1 ? "least" : "most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    if (!set_thrown_error(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    Ref out;
    return finish_send(coroutine_send(as_coroutine(self), nullptr, out), out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (!coroutine->started || coroutine->finished) {
        coroutine->finished = true;
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    Ref out;
    switch (coroutine_send(coroutine, nullptr, out, true)) {
        case Outcome::yielded:
            PyErr_SetString(PyExc_RuntimeError, kIgnoredGeneratorExit);
            return nullptr;
        case Outcome::returned:
            Py_RETURN_NONE;
        case Outcome::failed:
            if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
            return nullptr;
    }
    return nullptr;
}

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

// --- lifetime ----------------------------------------------------------------

void coroutine_finalize(PyObject* self) {
    CoroutineObject* coroutine = as_coroutine(self);
    if (coroutine->finished) return;
    ErrorGuard keep;
    if (!coroutine->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kNeverAwaited, coroutine->qualname.get()) < 0) {
            PyErr_WriteUnraisable(self);
        }
        coroutine->finished = true;
        return;
    }
    Ref result = Ref::steal(coroutine_close(self, nullptr));
    if (!result) PyErr_WriteUnraisable(self);
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* coroutine = as_coroutine(self);
    coroutine->delegate.reset();
    coroutine->name.reset();
    coroutine->qualname.reset();
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    dealloc_heap_object<CoroutineObject>(self, [](CoroutineObject* coroutine) {
        if (coroutine->weakrefs != nullptr) PyObject_ClearWeakRefs(reinterpret_cast<PyObject*>(coroutine));
        // References held in the body's frame are released here; they are not
        // visible to the cycle collector.
        if (coroutine->body) std::exchange(coroutine->body, {}).destroy();
        coroutine_clear(reinterpret_cast<PyObject*>(coroutine));
    });
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* coroutine = as_coroutine(self);
    Py_VISIT(coroutine->delegate.get());
    Py_VISIT(coroutine->name.get());
    Py_VISIT(coroutine->qualname.get());
    return visit_type(self, visit, arg);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) { return get_field(as_coroutine(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_coroutine(self)->qualname); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_field_checked(as_coroutine(self)->name, value, is_str, kNameMustBeString);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_field_checked(as_coroutine(self)->qualname, value, is_str, kQualnameMustBeString);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }
PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* coroutine = as_coroutine(self);
    return Py_NewRef(coroutine->delegate ? coroutine->delegate.get() : Py_None);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
#endif
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, coroutine_members},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "Vesk.coroutine", sizeof(CoroutineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, coroutine_slots,
};

}  // namespace

void CoroutineBody::promise_type::unhandled_exception() {
    translate_current_exception();
    failed = true;
}

Ref make_coroutine(const FunctionSpec& spec, CoroutineBody body) {
    // Zero-filled by the allocator; a zeroed Ref is an empty one.
    Ref self = check(PyType_GenericAlloc(coroutine_type, 0));
    CoroutineObject* coroutine = as_coroutine(self.get());
    coroutine->body = body.release();
    coroutine->spec = &spec;
    coroutine->name = str(spec.signature.name);
    coroutine->qualname = make_qualname(spec);
    return self;
}

void ready_coroutine_type() {
    if (coroutine_type != nullptr) return;
    coroutine_type = make_heap_type(&coroutine_spec);
    coroutine_type->tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    for (const Name* name : {&kSend, &kClose, &kThrow, &kValue, &kGiCode, &kCoFlags}) name->get();
    // asyncio and websockets take it for a coroutine through this ABC.
    static const Name register_name("register");
    Ref abc = import_module(kCollectionsAbc);
    Ref coroutine_abc = check(PyObject_GetAttrString(abc.get(), "Coroutine"));
    call_method(coroutine_abc.get(), register_name, reinterpret_cast<PyObject*>(coroutine_type));
}

}  // namespace vesk
