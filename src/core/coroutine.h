#pragma once
#include "core/ref.h"
namespace vesk {
void ready_coroutine_type();
}
