// tarvik-serve: serves one packaged orchestration over gRPC, one runtime per
// client session (see docs/remote.md).
//
//   tarvik-serve [--listen 127.0.0.1:50052] [--agent NAME] orchestration.json
//
// Loads and packages the orchestration once to check it, then prints
// "tarvik-serve: listening on <host:port>" and takes sessions until SIGTERM
// or SIGINT; then it reports NOT_SERVING to health checks, lets calls in
// progress finish, closes every session and exits 0. Exit status 1 on errors
// (an orchestration that does not package, an address it cannot listen on),
// 2 on usage errors.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tarvik_core/value.hpp"
#include "tarvik_remote/serve.hpp"
#include "tarvik_remote/server_support.hpp"

int main(int argc, char** argv) {
    tarvik_remote::catch_termination_signals();

    CLI::App app("Serves one orchestration over gRPC: Execute, Reset, one runtime per session.", "tarvik-serve");
    tarvik_remote::ServeOptions options;
    double idle_seconds = 60.0;
    std::string implementations;
    app.add_option("orchestration", options.orchestration, "the orchestration file")->required();
    app.add_option("--agent", options.agent, "the agent to serve (default: the top agent)");
    app.add_option("--listen", options.listen, "host:port to listen on; port 0 picks a free port")
        ->capture_default_str();
    app.add_option("--idle-timeout", idle_seconds, "seconds after which an idle session is closed")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--max-sessions", options.max_sessions, "sessions this server holds at most")
        ->check(CLI::Range(std::size_t{1}, std::size_t{100000}))
        ->capture_default_str();
    app.add_option("--max-message-bytes", options.max_message_bytes, "largest message sent or accepted")
        ->check(CLI::Range(std::int64_t{1024}, std::int64_t{INT32_MAX}))
        ->capture_default_str();
    app.add_option("--implementations", implementations,
                   "host:port of the implementation host (tarvik-host) serving the orchestration's remote parts");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.idle_timeout = std::chrono::milliseconds(static_cast<std::int64_t>(idle_seconds * 1000));
    if (!implementations.empty())
        options.config = tarvik_core::Dict{
            {"target", tarvik_core::Dict{{"remote", tarvik_core::Dict{{"address", implementations}}}}}};

    try {
        tarvik_remote::ServeServer server(options);
        tarvik_remote::serve_until_signal("tarvik-serve", server.address(), [&] { server.shutdown(); });
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tarvik-serve: error: " << e.what() << "\n";
        return 1;
    }
}
