// one_task: the only path between an environment and its front-end. One
// message out on send_queue, one reply back from reply_quene, decoded.
//
// The state step hands it for an array action is a StepHandoff
// (step_handoff.h): one_task takes the array for the very message it is
// handed and has that message's text made from the array's buffer.
#include "env/env.h"
#include "env/exchange_lock.h"
#include "env/message_text.h"
#include "env/step_handoff.h"
#include "env/text_reply.h"

#include "failure/failover.h"
#include "failure/mode.h"
#include "failure/process_exit.h"
#include "failure/reply_wait.h"

#include "core/call.h"
#include "core/common_names.h"
#include "core/environment_names.h"
#include "core/globals.h"
#include "core/module_names.h"

namespace vesk {
namespace {

const Name kFrombuffer("frombuffer"), kReshape("reshape");

constexpr Py_ssize_t kReplyExcerpt = 200;

// Thrown by exchange when the reply is the bridge's failure record.
struct FailureRecord {};
// Thrown by exchange in raise mode: no front-end was connected for the task
// time limit; nothing was raised yet.
struct NoFrontEnd {};

// A binary reply: float32 rows, one per environment, as a read-only view.
Ref decode_rows(PyObject* self, PyObject* reply) {
    Ref np = global(kNp);
    Ref frombuffer = getattr(np.get(), kFrombuffer);
    Ref float32 = getattr(np.get(), kFloat32);
    Ref flat = call_with_keyword(frombuffer.get(), reply, kDtype, float32.get());
    Ref num_envs = getattr(self, kNumEnvs);
    Ref minus_one = integer(-1);
    return call_method(flat.get(), kReshape, num_envs.get(), minus_one.get());
}

// What the failure line shows of a reply that could not be decoded.
Ref describe_reply(PyObject* reply) {
    if (PyBytes_Check(reply)) return check(PyUnicode_FromFormat("binary reply of %zd bytes", PyBytes_GET_SIZE(reply)));
    Ref text = check(PyObject_Str(reply));
    Ref excerpt = check(PyUnicode_Substring(text.get(), 0, kReplyExcerpt));
    return check(PyUnicode_FromFormat("reply: %R", excerpt.get()));
}

Ref exchange(PyObject* self, ExchangeState& state, PyObject* send_queue_object, PyObject* msg, PyObject* replyable,
             Ref& reply) {
    Ref send_queue = Ref::borrow(send_queue_object);
    PyObject* step_array = StepHandoff::take_array(msg);  // borrowed
    if (PyBytes_Check(msg)) {
        call_method(send_queue.get(), kPut, msg);
    } else {
        Ref text = message_text(msg, step_array);
        call_method(send_queue.get(), kPut, text.get());
    }
    if (!is_true(replyable)) return Ref::borrow(Py_None);

    Ref reply_queue = getattr(self, kReplyQueue);
    reply = wait_for_reply(state, reply_queue.get());
    if (!reply) throw NoFrontEnd{};
    if (PyBytes_Check(reply.get())) return decode_rows(self, reply.get());
    if (is_failure_record(reply.get())) throw FailureRecord{};
    // A text reply is a Python literal, never code: any local page can open the socket.
    return decode_text_reply(reply.get());
}

// With the caller's own error set (it stays set): in raise mode, nothing of
// this exchange may reach a later task.
void abandon(PyObject* self, ExchangeState& state, PyObject* send_queue) {
    if (!raising_failures()) return;
    ErrorGuard keep;
    Ref reply_queue = Ref::steal(PyObject_GetAttr(self, kReplyQueue.get()));
    if (reply_queue) abandon_exchange(state, send_queue, reply_queue.get());
    PyErr_Clear();
}

Ref one_task(FunctionObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref reply;
    try {
        Ref send_queue = getattr(self, kSendQueue);
        ExchangeHandle state(send_queue.get());
        ExchangeLock one_at_a_time(*state);
        try {
            return exchange(self, *state, send_queue.get(), args[1], args[2], reply);
        } catch (const PyError&) {
            abandon(self, *state, send_queue.get());
            throw;
        } catch (const NoFrontEnd&) {
            set_no_front_end_error(*state);
            abandon(self, *state, send_queue.get());
            throw;
        }
    } catch (const NoFrontEnd&) {
        throw PyError{};  // raise mode only: its ConnectionError as it is
    } catch (const FailureRecord&) {
        // The bridge failed (and started a new epoch itself) or could not listen.
        Ref what, detail;
        take_failure_record(reply.get(), what, detail);
        const char* text = PyUnicode_AsUTF8(what.get());
        fail_exchange(text != nullptr ? text : "the bridge failed", detail.get());
    } catch (const PyError&) {
        // Every failure of a task, KeyboardInterrupt included.
        Ref detail;
        if (reply) {
            ErrorGuard keep;
            try {
                detail = describe_reply(reply.get());
            } catch (const PyError&) {
                PyErr_Clear();
            }
        }
        fail_exchange("task failed", detail.get());
    }
}

}  // namespace

Ref standard_one_task_of(PyObject* self) {
    // The generic lookup runs nothing of the user's on the way to a function
    // of ours (no __getattribute__ or __getattr__, no property of theirs);
    // the instance's own dict may still hold another one_task.
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return Ref();
    PyObject* in_class = _PyType_Lookup(type, kOneTask.get());  // borrowed
    if (in_class == nullptr || !is_function_of(in_class, one_task_spec)) return Ref();
    Ref found = getattr(self, kOneTask);
    if (PyMethod_Check(found.get()) && PyMethod_GET_SELF(found.get()) == self &&
        is_function_of(PyMethod_GET_FUNCTION(found.get()), one_task_spec)) {
        return found;
    }
    return Ref();
}

namespace {

constexpr Parameter kOneTaskParams[] = {{"self"}, {"msg"}, {"replyable"}};
constexpr DefaultValue kOneTaskDefaults[] = {DefaultValue::true_value};

}  // namespace

const FunctionSpec one_task_spec = {
    {"one_task", kOneTaskParams}, kEnvironmentClass, line::one_task, kOneTaskDefaults, {}, one_task};

}  // namespace vesk
