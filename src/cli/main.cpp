#include "cli/command_line.hpp"

int main(int argc, char** argv) {
    return zelno::run_program(argc, argv);
}
