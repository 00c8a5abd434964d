#include "container/input_file.hpp"

#include <cstring>

#include "container/program.hpp"
#include "container/run_state.hpp"

namespace zelno {

bool names_standard_stream(const char* name) { return name != nullptr && std::strcmp(name, "-") == 0; }

void xopen_input(const char* name) {
    run.infile = names_standard_stream(name) ? open_standard_input() : open_input(name);
    if (run.infile == nullptr) fail_system("infile open error");
    std::setvbuf(run.infile, run.infile_buffer.data(), _IOFBF, run.infile_buffer.size());
}

}  // namespace zelno
