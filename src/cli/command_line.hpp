// Program entry: find and scan the own executable, read the command line,
// obtain the key and run the pipeline of the chosen mode.
#pragma once

namespace zelno {

// Returns the exit code of a successful run; every failure ends the process.
int run_program(int argc, char** argv);

}  // namespace zelno
