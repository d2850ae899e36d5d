// Listening, starting, and waiting for a stop signal.
#include "tarvik_remote/server_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>

#include "tarvik_core/errors.hpp"

namespace tarvik_remote {

bool is_loopback_address(const std::string& address) {
    const auto colon = address.rfind(':');
    const std::string host = address.substr(0, colon == std::string::npos ? address.size() : colon);
    return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

std::unique_ptr<grpc::Server> start_server(grpc::ServerBuilder& builder, const std::string& address,
                                           std::int64_t max_message_bytes, int& port) {
    // Applies to servers built from now on; load balancers and orchestrators
    // probe it (grpc.health.v1.Health).
    grpc::EnableDefaultHealthCheckService(true);
    // gRPC shares ports with SO_REUSEPORT by default: a second server
    // started on a port in use would quietly take half its connections.
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    port = 0;
    builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &port);
    builder.SetMaxReceiveMessageSize(static_cast<int>(max_message_bytes));
    builder.SetMaxSendMessageSize(static_cast<int>(max_message_bytes));
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server || port == 0)
        throw tarvik_core::RuntimeError("cannot listen on " + address +
                                        " (the address is in use, or not an address of this machine)");
    return server;
}

std::string with_port(const std::string& listen, int port) {
    const auto colon = listen.rfind(':');
    return listen.substr(0, colon == std::string::npos ? listen.size() : colon) + ":" + std::to_string(port);
}

namespace {
// The handler only writes the signal's number into a pipe: whichever thread
// the signal lands on (libraries start threads of their own, some before
// main), the waiting thread reads it.
int signal_pipe[2] = {-1, -1};

extern "C" void note_signal(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = write(signal_pipe[1], &number, 1);
}
}  // namespace

void catch_termination_signals() {
    if (signal_pipe[0] < 0 && pipe2(signal_pipe, O_CLOEXEC) != 0)
        throw tarvik_core::RuntimeError(std::string("cannot create a pipe: ") + std::strerror(errno));
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

int wait_for_termination_signal() {
    unsigned char number = 0;
    while (read(signal_pipe[0], &number, 1) != 1) {
    }
    return number;
}

void serve_until_signal(const std::string& program, const std::string& address, const std::function<void()>& stop) {
    if (!is_loopback_address(address))
        std::cerr << program << ": warning: listening on " << address
                  << ", beyond this machine, with no authentication (see docs/remote.md)" << std::endl;
    std::cout << program << ": listening on " << address << std::endl;
    const int signal = wait_for_termination_signal();
    std::cout << program << ": stopping (" << strsignal(signal) << ")" << std::endl;
    stop();
}

}  // namespace tarvik_remote
