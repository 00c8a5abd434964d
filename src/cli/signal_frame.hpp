// The registers of a context that a signal interrupted, as the handler's
// frame keeps them on the stack.
#pragma once

namespace zelno {

// Zeroes the saved general and vector registers of `context` (the third
// argument of an SA_SIGINFO handler), which must never be resumed: the
// interrupted code may have held plaintext or round keys in them. Safe in a
// signal handler.
void clear_saved_registers(void* context);

}  // namespace zelno
