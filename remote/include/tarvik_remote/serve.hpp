// The serving endpoint: one packaged orchestration behind gRPC, for control
// loops that run elsewhere (the program tarvik-serve is a thin command line
// around ServeServer; ServeClient in serve_client.hpp is its client).
//
// Every client opens a session and gets a runtime of its own (a Runvane with
// the orchestration loaded and packaged), so many clients run their own
// episodes at once without sharing any per-episode state: Execute (readings,
// simulator mask, previous action -> action), Reset at the end of an episode,
// CloseSession when done. Calls on one session run one at a time; sessions
// run in parallel on gRPC's threads. A session idle for longer than
// `idle_timeout` is closed and freed, which is what becomes of the session
// of a client that vanished mid-episode.
//
// A replica keeps nothing but its sessions, so a deployment scales out as
// several replicas behind a load balancer that keeps each session on one
// replica (docs/remote.md). The standard gRPC health service reports
// SERVING while the server takes sessions.
//
// Ownership: the server owns its sessions and their runtimes. shutdown()
// (also run by the destructor) reports NOT_SERVING, stops taking calls, lets
// calls in progress finish within a grace period, and closes every session.
//
// Errors: the constructor loads and packages the orchestration once before
// it listens, so a broken orchestration fails there with the runtime's own
// error; RuntimeError when it cannot listen. Failures of a step travel back
// to the client kind for kind.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tarvik_core/value.hpp"

namespace tarvik_remote {

struct ServeOptions {
    std::string orchestration;  // path of the orchestration file
    std::string agent;          // the agent to package; empty: the top agent
    // The runtime's settings mapping (None: the default), for example a
    // remote target where the orchestration's remote parts are served.
    tarvik_core::Value config;
    std::string listen = "127.0.0.1:50052";  // port 0 picks a free port
    std::chrono::milliseconds idle_timeout{60000};
    std::size_t max_sessions = 64;
    std::int64_t max_message_bytes = 16 << 20;
};

// The gRPC service name, as the health service reports it.
inline constexpr const char* kServingService = "tarvik.remote.v1.Serving";

class ServeServer {
public:
    explicit ServeServer(ServeOptions options);
    ~ServeServer();
    ServeServer(const ServeServer&) = delete;
    ServeServer& operator=(const ServeServer&) = delete;

    int port() const noexcept;
    std::string address() const;
    void shutdown(std::chrono::milliseconds grace = std::chrono::seconds(2));
    std::size_t session_count() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tarvik_remote
