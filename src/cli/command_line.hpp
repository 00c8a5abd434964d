// Program entry: find and scan the own executable, read the command line,
// obtain the key and run the pipeline of the chosen mode.
#pragma once

namespace zelno {

// Returns the exit code of a successful run; every failure ends the process.
int run_program(int argc, char** argv);

// The part of run_program after the own executable is open in the selffile
// slot, positioned at its start: the scan for an appended container, the
// command line, the key and the pipeline.
int run_with_own_image(int argc, char** argv);

}  // namespace zelno
