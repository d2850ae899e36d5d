// A host outside the tarvik tree: loads an orchestration, packages its top
// agent and runs a few steps on its own event loop, then one more step with
// the synchronous call from the plain main thread.
//   outside_host ORCHESTRATION STEPS SENSOR=V[,V...]...
#include "all_installed_headers.hpp"

#include <exception>
#include <iostream>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace {
using tarvik_core::Dict;
using tarvik_core::List;
using tarvik_core::Value;

// "x=0.5" or "x=0.5,1" as a list of numbers.
Dict parse_readings(int argc, char** argv) {
    Dict readings;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto equals = arg.find('=');
        List values;
        for (std::size_t start = equals + 1, comma; start <= arg.size(); start = comma + 1) {
            comma = std::min(arg.find(',', start), arg.size());
            values.push_back(std::stod(arg.substr(start, comma - start)));
        }
        readings.set(arg.substr(0, equals), values);
    }
    return readings;
}

tarvik_core::Task<void> run(tarvik_inference::Runvane& runvane, std::string file, int steps, Dict readings) {
    co_await runvane.load_orchestration(file);
    co_await runvane.package();
    Value action;
    for (int step = 1; step <= steps; ++step) {
        tarvik_inference::RunvaneExecuteArgs args{.previous_action = action};
        action = co_await runvane.execute(readings, std::move(args));
        std::cout << "step " << step << ": " << tarvik_core::repr(action) << std::endl;
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " ORCHESTRATION STEPS SENSOR=V[,V...]...\n";
        return 2;
    }
    try {
        const Dict readings = parse_readings(argc, argv);
        boost::asio::io_context io;
        tarvik_inference::Runvane runvane;
        std::exception_ptr failure;
        boost::asio::co_spawn(io, run(runvane, argv[1], std::stoi(argv[2]), readings),
                              [&failure](std::exception_ptr e) { failure = e; });
        io.run();
        if (failure) std::rethrow_exception(failure);
        std::cout << "synchronous: " << tarvik_core::repr(runvane.agent_processor->execute(readings)) << std::endl;
        io.restart();
        boost::asio::co_spawn(io, runvane.close(), [&failure](std::exception_ptr e) { failure = e; });
        io.run();
        if (failure) std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
