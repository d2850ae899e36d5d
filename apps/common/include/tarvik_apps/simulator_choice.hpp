// Which simulator a run drives, from the spelling --sim takes:
//
//   NAME           a built-in simulator (cartpole, pendulum);
//   plugin:NAME    a simulator a plugin library registered under NAME with
//                  Registry::add_simulator: the libraries given with
//                  --sim-plugin first, then the orchestration's own plugins;
//   exec:COMMAND   a program speaking the line protocol of
//                  tarvik_sims/child_process_simulator.hpp, started with
//                  /bin/sh -c COMMAND.
//
// Without a spelling, the orchestration's id decides: the built-in simulator
// of that name, else a plugin simulator registered under it.
//
// Ownership: the returned simulator is the caller's; plugin libraries stay
// loaded for the life of the process, since the objects they make may
// outlive any registry.
//
// Errors: ValueError for an unknown built-in name (listing them), an empty
// plugin name or command, an id that names no simulator, or a --sim-plugin
// path that is not a regular file; FileNotFoundError for a missing library;
// ImportError for one that cannot be loaded or lacks the entry point;
// KeyError/TypeError from the registry lookup; RuntimeError from a program
// that does not start or greet properly. Every message names the simulator
// or the library.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_sims/child_process_simulator.hpp"

namespace tarvik_apps {

inline constexpr const char* kPluginPrefix = "plugin:";
inline constexpr const char* kExecPrefix = "exec:";

struct SimulatorRequest {
    std::string spelling;                     // empty: the orchestration's id
    std::vector<std::string> plugin_libraries;  // --sim-plugin, in order
    std::chrono::milliseconds reply_limit = tarvik_sims::ChildProcessSimulator::kDefaultReplyLimit;
};

struct ChosenSimulator {
    std::string spelling;  // as reports show it: "cartpole", "plugin:NAME", "exec:COMMAND"
    std::shared_ptr<tarvik_sims::Simulator> simulator;
};

// Loads each library's entry point into `registry`, recording the path as
// the origin of what it registers.
void load_plugin_libraries(const std::vector<std::string>& paths, tarvik_core::Registry& registry);

// The simulator `request` names for `orchestration`, which is initialised
// first when a plugin simulator is looked for (its plugins register them).
ChosenSimulator choose_simulator(const SimulatorRequest& request, tarvik_core::Orchestration& orchestration);

}  // namespace tarvik_apps
