// The caller's wait for a reply. By default it has no time limit, as ever:
// the bridge limits each reply once the task is sent, and a failure ends the
// process. With VESK_ON_FAILURE=raise every wait has one: while a front-end
// is connected the bridge's limit applies; while none is, the caller gives
// up after the task time limit, so a page that never connects (or never
// comes back) raises instead of hanging the program.
#pragma once
#include "failure/exchange_state.h"

namespace vesk {

// The bridge serves a front-end from now on / no longer.
void front_end_connected(ExchangeState& state) noexcept;
void front_end_disconnected(ExchangeState& state) noexcept;

// reply_queue.get(), bounded as above; an empty Ref (no error set) when no
// front-end was connected for the task time limit. Throws PyError.
Ref wait_for_reply(ExchangeState& state, PyObject* reply_queue);

// Sets ConnectionError "no front-end connected within <limit> s ...".
void set_no_front_end_error(const ExchangeState& state) noexcept;

}  // namespace vesk
