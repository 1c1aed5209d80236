// Nested data is converted by recursion on the C stack. The interpreter's
// recursion limit bounds that only when the user keeps the limit low; with a
// raised limit a deep enough nesting would overflow the thread's stack.
#pragma once

namespace vesk {

// Throws PyError (RecursionError) when the current thread's stack is nearly used up.
void check_stack_room();
// Whether check_stack_room() would pass here.
bool stack_room_left();

}  // namespace vesk
