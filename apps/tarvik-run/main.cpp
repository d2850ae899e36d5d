// tarvik-run: runs an orchestration in a built-in simulator (see
// tarvik_apps/run_command.hpp for the options and the output).
#include <unistd.h>

#include <iostream>

#include "tarvik_apps/run_command.hpp"

int main(int argc, char** argv) {
    return tarvik_apps::run_command(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
