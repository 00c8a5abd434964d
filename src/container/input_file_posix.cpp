#include <sys/stat.h>

#include "container/input_file.hpp"

namespace zelno {

std::FILE* open_input(const char* name) { return std::fopen(name, "rb"); }

bool input_status(std::FILE* stream, InputStatus& status) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return false;
    status = {.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0,
              .mtime = static_cast<std::uint32_t>(st.st_mtime),
              .mode = static_cast<std::uint32_t>(st.st_mode & 0xFFFF),
              .directory = S_ISDIR(st.st_mode)};
    return true;
}

}  // namespace zelno
