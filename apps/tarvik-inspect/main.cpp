// tarvik-inspect: checks an orchestration's agents and models before
// deployment (see tarvik_apps/inspection.hpp for what is checked).
#include <iostream>

#include "tarvik_apps/inspection.hpp"
#include "tarvik_apps/run_command.hpp"

int main(int argc, char** argv) {
    if (!tarvik_apps::prepare_standard_streams()) {
        std::cerr << "tarvik-inspect: error: cannot write to standard output: it is closed\n";
        return tarvik_apps::kExitFailure;
    }
    return tarvik_apps::inspect_command(argc, argv, std::cout, std::cerr);
}
