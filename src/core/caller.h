// Which function called the logging wrapper: module functions have no Python
// frame, so each records, while it runs, the Python frame current at its start.
#pragma once
#include "core/ref.h"

namespace vesk {

class RunningFunction {
public:
    explicit RunningFunction(const char* name) noexcept;
    ~RunningFunction();
    RunningFunction(const RunningFunction&) = delete;
    RunningFunction& operator=(const RunningFunction&) = delete;

    const char* name() const noexcept { return name_; }
    PyObject* frame() const noexcept { return frame_; }
    const RunningFunction* below() const noexcept { return below_; }

private:
    const char* name_;
    PyObject* frame_;  // borrowed: that frame outlives this call
    RunningFunction* below_;
};

// The name of whoever called the innermost running module function: the
// module function below it when no Python frame began since, otherwise the
// current Python frame's code name. Throws PyError.
Ref name_of_caller();

}  // namespace vesk
