// Channels and deadlines for the clients.
#include "grpc_call.hpp"

#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

namespace tarvik_remote {

void set_timeout(grpc::ClientContext& context, double seconds) {
    context.set_deadline(std::chrono::system_clock::now() +
                         std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::duration<double>(seconds)));
}

std::shared_ptr<grpc::Channel> make_channel(const std::string& address, std::int64_t max_message_bytes) {
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(static_cast<int>(max_message_bytes));
    arguments.SetMaxSendMessageSize(static_cast<int>(max_message_bytes));
    // After a host restarts, calls should reach it again promptly; gRPC's
    // default backoff grows to two minutes. (The minimum backoff stays: it
    // is also how long one connection attempt may take.)
    arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
    arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
    // Every channel gets its own connection: runtimes in one process must
    // not share (and so serialise on) one socket.
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
}

}  // namespace tarvik_remote
