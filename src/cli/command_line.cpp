#include "cli/command_line.hpp"

#include "cli/exits.hpp"

namespace zelno {

int run_program(int, char**) {
    fail_usage();
}

}  // namespace zelno
