// tarvik-inspect: checks an orchestration's agents and models before
// deployment (see tarvik_apps/inspection.hpp for what is checked).
#include <iostream>

#include "tarvik_apps/inspection.hpp"

int main(int argc, char** argv) { return tarvik_apps::inspect_command(argc, argv, std::cout, std::cerr); }
