#include "cli/command_line.hpp"
#include "cli/exits.hpp"

int main(int argc, char** argv) { zelno::end_process(zelno::run_program(argc, argv)); }
