// one_task: the only path between an environment and its front-end. One
// message out on send_queue, one reply back from reply_quene, decoded.
#include "env/env.h"
#include "env/message_text.h"
#include "env/messages.h"

#include "core/call.h"
#include "core/globals.h"
#include "core/process_exit.h"

namespace vesk {
namespace {

const Name kPut("put"), kGet("get"), kJson("json"), kDumps("dumps"), kNp("np"), kFrombuffer("frombuffer"),
    kFloat32("float32"), kDtype("dtype"), kReshape("reshape");

constexpr Py_ssize_t kReplyExcerpt = 200;

// A binary reply: float32 rows, one per environment, as a read-only view.
Ref decode_rows(PyObject* self, PyObject* reply) {
    Ref np = global(kNp);
    Ref frombuffer = getattr(np.get(), kFrombuffer);
    Ref float32 = getattr(np.get(), kFloat32);
    Ref flat = call_with_keyword(frombuffer.get(), reply, kDtype, float32.get());
    Ref num_envs = getattr(self, kNumEnvs);
    Ref minus_one = integer(-1);
    return call_method(flat.get(), kReshape, {num_envs.get(), minus_one.get()});
}

// What the failure line shows of a reply that could not be decoded.
Ref describe_reply(PyObject* reply) {
    if (PyBytes_Check(reply)) return check(PyUnicode_FromFormat("binary reply of %zd bytes", PyBytes_GET_SIZE(reply)));
    Ref text = check(PyObject_Str(reply));
    Ref excerpt = check(PyUnicode_Substring(text.get(), 0, kReplyExcerpt));
    return check(PyUnicode_FromFormat("reply: %R", excerpt.get()));
}

Ref exchange(PyObject* self, PyObject* msg, PyObject* replyable, Ref& reply) {
    Ref send_queue = getattr(self, kSendQueue);
    if (PyBytes_Check(msg)) {
        call_method(send_queue.get(), kPut, {msg});
    } else {
        Ref text = message_text(msg);
        call_method(send_queue.get(), kPut, {text.get()});
    }
    if (!is_true(replyable)) return Ref::borrow(Py_None);

    Ref reply_queue = getattr(self, kReplyQueue);
    reply = call_method(reply_queue.get(), kGet);
    if (PyBytes_Check(reply.get())) return decode_rows(self, reply.get());
    // A text reply is a Python literal, never code: any local page can open the socket.
    return call(builtins().literal_eval, {reply.get()});
}

Ref one_task(FunctionObject*, PyObject* const* args) {
    Ref reply;
    try {
        return exchange(args[0], args[1], args[2], reply);
    } catch (const PyError&) {
        // Every failure of a task, KeyboardInterrupt included, ends the process.
        Ref detail;
        if (reply) {
            ErrorGuard keep;
            try {
                detail = describe_reply(reply.get());
            } catch (const PyError&) {
                PyErr_Clear();
            }
        }
        end_process_after_failure("task failed", detail.get());
    }
}

constexpr Parameter kOneTaskParams[] = {{"self"}, {"msg"}, {"replyable"}};
constexpr DefaultValue kOneTaskDefaults[] = {DefaultValue::true_value};

}  // namespace

const FunctionSpec one_task_spec = {{"one_task", kOneTaskParams}, "Vesk_Pal_st.one_task", "Vesk.Vesk_Pal_st.one_task",
                                    281, kOneTaskDefaults, {}, one_task};

}  // namespace vesk
