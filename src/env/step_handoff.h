// step's fast path for an array action, between step (env/episode.cpp) and
// one_task (env/task_exchange.cpp): the one piece of state they share beside
// the call itself.
//
// For an action array, step does not convert the array into lists before
// building its message: it builds {"env": "step", "action": <the array>},
// hands the array over through a StepHandoff, and one_task has the wire text
// made straight from the array's buffer (message_text.h), the text that
// json.dumps of the converted message would give. step takes this road only
// while nothing on the way to the wire could be told apart:
//   - convert_numpy_to_list is the module's own function, `np` is numpy as
//     imported and numpy.float32 its own, and the array is an exact
//     C-contiguous float32 or float64 ndarray that converts quietly
//     (util.h, converts_as_float_array);
//   - self.one_task is the module's own one_task bound to self, found
//     without running any code of the user's (env.h, standard_one_task_of).
// one_task then takes the array only for the very message it was handed
// (identity), and message_text encodes it only while `json` is the standard
// module with its default encoder (core/standard.h, standard_json); anywhere
// else the converted lists are put in place first, and the ordinary road runs.
#pragma once
#include <Python.h>

namespace vesk {

// Lives on step's stack around its call of one_task; per thread, as each
// thread runs its own exchange. Nested calls (a hook that steps another
// environment) restore the outer handoff.
class StepHandoff {
public:
    StepHandoff(PyObject* message, PyObject* array) noexcept;  // both borrowed
    ~StepHandoff();
    StepHandoff(const StepHandoff&) = delete;
    StepHandoff& operator=(const StepHandoff&) = delete;

    // one_task's side: the array, if `msg` is the message the current
    // handoff carries; taken, so no later call sees it. Else NULL.
    static PyObject* take_array(PyObject* msg) noexcept;  // borrowed

private:
    PyObject* message_;  // for identity only
    PyObject* array_;
    StepHandoff* outer_;
};

}  // namespace vesk
