#include "core/coroutine.h"
namespace vesk {
void ready_coroutine_type() {}
}
