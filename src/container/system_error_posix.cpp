#include <cstring>

#include "container/system_error.hpp"

namespace zelno {

const char* system_error_text(int number) { return std::strerror(number); }

}  // namespace zelno
