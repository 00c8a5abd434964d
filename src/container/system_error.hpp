// The system's description of an error number, as perror gives it after
// the message: the failure exits print it for a failed system call.
#pragma once

namespace zelno {

const char* system_error_text(int number);

}  // namespace zelno
