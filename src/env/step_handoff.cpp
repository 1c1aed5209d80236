#include "env/step_handoff.h"

#include <utility>

namespace vesk {
namespace {

thread_local StepHandoff* current = nullptr;

}  // namespace

StepHandoff::StepHandoff(PyObject* message, PyObject* array) noexcept
    : message_(message), array_(array), outer_(current) {
    current = this;
}

StepHandoff::~StepHandoff() { current = outer_; }

PyObject* StepHandoff::take_array(PyObject* msg) noexcept {
    if (current == nullptr || current->message_ != msg || current->array_ == nullptr) return nullptr;
    return std::exchange(current->array_, nullptr);
}

}  // namespace vesk
