#include <cerrno>
#include <cstring>

#include "container/system_error.hpp"

namespace zelno {

const char* system_error_text(int number) {
    if (number == error_output_is_input) return "Output is the input file";
    return std::strerror(number);
}

void clear_stream_error() { errno = 0; }

int stream_error() { return errno != 0 ? errno : ENOSPC; }

}  // namespace zelno
