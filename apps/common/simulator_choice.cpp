// Resolving --sim: built-in names, plugin simulators, simulator programs.
#include "tarvik_apps/simulator_choice.hpp"

#include <dlfcn.h>

#include <filesystem>

#include "command_line.hpp"
#include "tarvik_apps/episode_runner.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_sims/child_process_simulator.hpp"

namespace tarvik_apps {

namespace {

bool has_prefix(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The registry that holds a simulator named `name`: the --sim-plugin
// libraries' first, then the orchestration's (initialised on demand); null
// when neither does.
const tarvik_core::Registry* registry_with(const std::string& name, const tarvik_core::Registry& libraries,
                                           tarvik_core::Orchestration& orchestration) {
    auto holds = [&](const tarvik_core::Registry& registry) {
        const auto cls = registry.find(name);
        return cls && cls->kind() == tarvik_core::ImplKind::simulator;
    };
    if (holds(libraries)) return &libraries;
    if (!orchestration.is_initialized()) tarvik_core::run_sync(orchestration.init());
    if (holds(orchestration.registry())) return &orchestration.registry();
    return nullptr;
}

}  // namespace

void load_plugin_libraries(const std::vector<std::string>& paths, tarvik_core::Registry& registry) {
    for (const auto& path : paths) {
        const std::string where = "simulator plugin library " + path;
        command_line::require_regular_file(path, "simulator plugin library");
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) throw tarvik_core::FileNotFoundError(where + " not found");
        // A path without a slash would make dlopen search the library path.
        const std::string opened = path.find('/') == std::string::npos ? "./" + path : path;
        // Never closed: simulators its factories make may outlive the registry.
        void* handle = dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = dlerror();
            throw tarvik_core::ImportError("cannot load " + where + ": " + (error ? error : "unknown error"));
        }
        dlerror();
        void* entry = dlsym(handle, tarvik_core::kPluginEntryPoint);
        if (!entry)
            throw tarvik_core::ImportError(where + " does not export the entry point '" +
                                           tarvik_core::kPluginEntryPoint + "'");
        const std::string previous = registry.origin();
        registry.set_origin(path);
        try {
            reinterpret_cast<tarvik_core::RegisterFn>(entry)(registry);
        } catch (...) {
            registry.set_origin(previous);
            throw;
        }
        registry.set_origin(previous);
    }
}

ChosenSimulator choose_simulator(const SimulatorRequest& request, tarvik_core::Orchestration& orchestration) {
    tarvik_core::Registry libraries;
    load_plugin_libraries(request.plugin_libraries, libraries);
    const std::string& spelling = request.spelling;

    if (has_prefix(spelling, kExecPrefix)) {
        const std::string command = spelling.substr(std::string(kExecPrefix).size());
        if (command.empty()) throw tarvik_core::ValueError("--sim exec: needs a command after 'exec:'");
        return {spelling, std::make_shared<tarvik_sims::ChildProcessSimulator>(command, request.reply_limit)};
    }
    if (has_prefix(spelling, kPluginPrefix)) {
        const std::string name = spelling.substr(std::string(kPluginPrefix).size());
        if (name.empty()) throw tarvik_core::ValueError("--sim plugin: needs a simulator name after 'plugin:'");
        if (const tarvik_core::Registry* registry = registry_with(name, libraries, orchestration))
            return {spelling, tarvik_sims::make_simulator(*registry, name)};
        // Registered as another kind: the lookup says what it is instead.
        for (const tarvik_core::Registry* registry : {&libraries, &orchestration.registry()})
            if (registry->find(name)) tarvik_sims::make_simulator(*registry, name);
        std::vector<std::string> known = libraries.names(tarvik_core::ImplKind::simulator);
        for (auto& other : orchestration.registry().names(tarvik_core::ImplKind::simulator)) known.push_back(other);
        throw tarvik_core::KeyError("no simulator named '" + name +
                                    "' is registered by the --sim-plugin libraries or the orchestration's plugins "
                                    "(registered: " + tarvik_core::repr_names(known) + ")");
    }
    if (!spelling.empty()) return {spelling, tarvik_sims::make_simulator(spelling)};

    const std::string& id = orchestration.id();
    if (simulator_for_id(id)) return {id, tarvik_sims::make_simulator(id)};
    if (const tarvik_core::Registry* registry = registry_with(id, libraries, orchestration))
        return {kPluginPrefix + id, tarvik_sims::make_simulator(*registry, id)};
    throw tarvik_core::ValueError(orchestration.source() + ": the orchestration id '" + id +
                                  "' names no built-in simulator; choose one with --sim (available: " +
                                  available_simulators() + ")");
}

}  // namespace tarvik_apps
