// What the host and the serving endpoint share as servers: where they
// listen, how they start, and how their programs wait for a stop signal.
//
// Servers listen on the loopback interface unless told otherwise; there is
// no authentication (docs/remote.md says what to put in front).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace grpc {
class Server;
class ServerBuilder;
}  // namespace grpc

namespace tarvik_remote {

// True for addresses only this machine can reach: 127.x.x.x, [::1] and
// localhost, with any port.
bool is_loopback_address(const std::string& address);

// Adds a listening port for `address` (host:port; port 0 picks one) and the
// message size limits to `builder`, enables the standard gRPC health
// service, and starts the server. RuntimeError "cannot listen on <address>"
// when that fails. `port` receives the port it listens on.
std::unique_ptr<grpc::Server> start_server(grpc::ServerBuilder& builder, const std::string& address,
                                           std::int64_t max_message_bytes, int& port);

// `listen` with its port replaced by `port` ("127.0.0.1:0" -> "127.0.0.1:41234").
std::string with_port(const std::string& listen, int port);

// For programs: from catch_termination_signals on, SIGTERM and SIGINT no
// longer end the process; wait_for_termination_signal waits for the first
// of them and returns its number.
void catch_termination_signals();
int wait_for_termination_signal();

// For programs, once their server runs: warns on standard error when
// `address` reaches beyond this machine, prints "<program>: listening on
// <address>" (the line scripts wait for), waits for SIGTERM or SIGINT, prints
// "<program>: stopping (<signal>)" and runs `stop`.
void serve_until_signal(const std::string& program, const std::string& address, const std::function<void()>& stop);

}  // namespace tarvik_remote
