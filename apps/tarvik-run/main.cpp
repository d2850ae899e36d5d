// tarvik-run: runs an orchestration in a simulator (see
// tarvik_apps/run_command.hpp for the options and the output).
#include <unistd.h>

#include <iostream>

#include "tarvik_apps/run_command.hpp"

int main(int argc, char** argv) {
    if (!tarvik_apps::prepare_standard_streams()) {
        std::cerr << "tarvik-run: error: cannot write to standard output: it is closed\n";
        return tarvik_apps::kExitFailure;
    }
    return tarvik_apps::run_command(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
