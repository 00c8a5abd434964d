// The system's description of an error number, as perror gives it after
// the message: the failure exits print it for a failed system call.
#pragma once

namespace zelno {

// The program's own reason, beyond the system's numbers: an output written
// in place that is the very file being read.
inline constexpr int error_output_is_input = 0x7a00;

const char* system_error_text(int number);

// Clears what a failed stream call is told by, before the call.
void clear_stream_error();
// The errno of a stream call that failed since clear_stream_error(): never
// an earlier call's; a short write the system gives no reason for is a full
// disk (or the file size limit).
int stream_error();

}  // namespace zelno
