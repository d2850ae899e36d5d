// tarvik-host: serves the teachers, controllers and perceptors of plugin
// libraries and Python modules to runtimes in other processes (see
// docs/remote.md).
//
//   tarvik-host [--listen 127.0.0.1:50051] [--lease 10] [--python-module M]... plugin.so...
//
// Prints what it serves, then "tarvik-host: listening on <host:port>" once
// it takes calls; runs until SIGTERM or SIGINT, then stops
// cleanly (calls in progress finish, every object is dropped) and exits 0.
// Exit status 1 on errors (a plugin that does not load, a Python module that
// does not import, an address it cannot listen on), 2 on usage errors.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_remote/host.hpp"
#include "tarvik_remote/server_support.hpp"

namespace {

// Python implementations come from the Python package's host support, a
// module that registers a Python module's classes into a registry.
constexpr const char* kPythonHostModule = "tarvik_python.host";
constexpr const char* kPythonRegisterSymbol = "tarvik_python_register_module";
using PythonRegisterFn = void(tarvik_core::Registry& registry, const char* module);

void add_python_module(tarvik_remote::Catalog& catalog, const std::string& module) {
    PythonRegisterFn* register_module = nullptr;
    try {
        register_module = tarvik_core::import_module(kPythonHostModule).function<PythonRegisterFn>(kPythonRegisterSymbol);
    } catch (const tarvik_core::ImportError& e) {
        throw tarvik_core::ImportError("--python-module " + module +
                                       " needs the Python package's host support, which is not available: " + e.what());
    }
    tarvik_core::Registry registry;
    registry.set_origin("Python module " + module);
    register_module(registry, module.c_str());
    catalog.add(registry);
}

}  // namespace

int main(int argc, char** argv) {
    tarvik_remote::catch_termination_signals();

    CLI::App app("Serves the teachers, controllers and perceptors of plugin libraries and Python modules to remote "
                 "runtimes.",
                 "tarvik-host");
    std::vector<std::string> plugins;
    std::vector<std::string> python_modules;
    tarvik_remote::HostOptions options;
    double lease_seconds = 10.0;
    app.add_option("plugin", plugins,
                   "plugin libraries: paths, or file names looked up in TARVIK_PLUGIN_PATH and beside the runtime");
    app.add_option("--python-module", python_modules, "Python modules whose implementations to serve");
    app.add_option("--listen", options.listen, "host:port to listen on; port 0 picks a free port")
        ->capture_default_str();
    app.add_option("--lease", lease_seconds, "seconds a runtime may stay silent before its objects are dropped")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--max-message-bytes", options.max_message_bytes, "largest message sent or accepted")
        ->check(CLI::Range(std::int64_t{1024}, std::int64_t{INT32_MAX}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (plugins.empty() && python_modules.empty()) {
        std::cerr << "tarvik-host: error: give at least one plugin library or --python-module\n";
        return 2;
    }
    options.lease = std::chrono::milliseconds(static_cast<std::int64_t>(lease_seconds * 1000));

    try {
        tarvik_remote::Catalog catalog;
        for (const auto& plugin : plugins) catalog.load_plugin(plugin);
        for (const auto& module : python_modules) add_python_module(catalog, module);
        tarvik_remote::HostServer server(catalog, options);
        std::cout << "tarvik-host: serving\n";
        for (const auto& cls : catalog.classes())
            std::cout << "  " << tarvik_core::impl_kind_name(cls->kind()) << " " << cls->name() << " "
                      << (cls->version().empty() ? "(no version)" : cls->version()) << " from " << cls->origin()
                      << "\n";
        tarvik_remote::serve_until_signal("tarvik-host", server.address(), [&] { server.shutdown(); });
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tarvik-host: error: " << e.what() << "\n";
        return 1;
    }
}
