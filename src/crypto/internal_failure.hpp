// The one way the primitives report a fault of the program itself (the
// Twofish self-test and its argument checks): the message on standard
// output, and the run ends with exit code 4. The program's failure exits
// define it.
#pragma once

namespace zelno {

[[noreturn]] void fail_internal(const char* message);

}  // namespace zelno
