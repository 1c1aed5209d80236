// How a failed exchange is told and abandoned, shared by one_task (the
// caller's side) and the bridge, for one environment's queues
// (exchange_state.h).
//
// By default any failure ends the process (process_exit.h). With
// VESK_ON_FAILURE=raise the process goes on, so no reply may ever pair with
// a later task: every failure starts a new epoch, a connection serves the
// epoch it began in only, and a reply is put on reply_quene only while its
// epoch lasts. The bridge tells a waiting caller of a failure with a failure
// record on reply_quene; a caller that fails on its own side puts a barrier
// on send_queue behind which no task of the old epoch can travel.
#pragma once
#include "failure/exchange_state.h"

namespace vesk {

// --- the bridge's side

// Puts `reply` on `reply_queue` unless the epoch moved on since `epoch`.
bool put_reply_if_current(ExchangeState& state, PyObject* reply_queue, PyObject* reply, unsigned long epoch);
// With the bridge's error set (it stays set): unless the epoch moved on,
// starts a new one and puts a failure record for the waiting caller.
void report_bridge_failure(ExchangeState& state, PyObject* reply_queue, unsigned long epoch, PyObject* what,
                           PyObject* detail);
// With the error set, in raise mode: a bridge that cannot listen, while no
// other of its queues listens, tells the caller so (after its exception has
// left myfunc: the record names the runner's thread, which the caller waits
// for).
void report_listen_failure(ExchangeState& state, PyObject* reply_queue, PyObject* what, PyObject* detail);
bool is_barrier(PyObject* task);

// --- the caller's side

bool is_failure_record(PyObject* reply);
// Sets the record's error as the current one and returns what and detail
// for the failure line.
void take_failure_record(PyObject* record, Ref& what, Ref& detail);
// With the caller's own error set (it stays set): new epoch, no task or
// reply of the old one left on the queues, and the barrier.
void abandon_exchange(ExchangeState& state, PyObject* send_queue, PyObject* reply_queue);

}  // namespace vesk
