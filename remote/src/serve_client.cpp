// The serving endpoint's client.
#include "tarvik_remote/serve_client.hpp"

#include <utility>

#include "failures.hpp"
#include "grpc_call.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/value_codec.hpp"

namespace tarvik_remote {

namespace pb = tarvik::remote::v1;

struct ServeClient::State {
    std::string address;
    ServeClientOptions options;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<pb::Serving::Stub> stub;
    std::string session;

    // Sends one call of `route`'s session and checks that it got through.
    template <class Request, class Reply, class Method>
    void call(const char* name, Method method, const Request& request, Reply& reply, const std::string& route) {
        grpc::ClientContext context;
        set_timeout(context, options.timeout);
        if (!route.empty()) context.AddMetadata("tarvik-session", route);
        const grpc::Status status = ((*stub).*method)(&context, request, &reply);
        if (!status.ok()) raise_transport_failure(status, name, address, options.timeout);
    }

    void require_session(const char* operation) const {
        if (session.empty())
            throw tarvik_core::RuntimeError(std::string("ServeClient.") + operation + "() called before open()");
    }
};

ServeClient::ServeClient(std::string address, ServeClientOptions options) : state_(std::make_unique<State>()) {
    state_->address = std::move(address);
    state_->options = options;
    state_->channel = make_channel(state_->address, options.max_message_bytes);
    state_->stub = pb::Serving::NewStub(state_->channel);
}

ServeClient::~ServeClient() {
    try {
        close();
    } catch (const std::exception&) {
        // The server frees an abandoned session after its idle timeout.
    }
}

void ServeClient::open() {
    if (!state_->session.empty())
        throw tarvik_core::RuntimeError("ServeClient.open(): session " + state_->session + " is open already");
    pb::OpenSessionReply reply;
    state_->call("OpenSession", &pb::Serving::Stub::OpenSession, pb::OpenSessionRequest(), reply, "");
    state_->session = reply.session();
}

tarvik_core::Value ServeClient::execute(const tarvik_core::Value& readings, const tarvik_core::Value& sim_action_mask,
                                        const tarvik_core::Value& previous_action, bool explore) {
    state_->require_session("execute");
    pb::ExecuteRequest request;
    request.set_session(state_->session);
    encode(readings, *request.mutable_readings());
    encode(sim_action_mask, *request.mutable_sim_action_mask());
    encode(previous_action, *request.mutable_previous_action());
    request.set_explore(explore);
    pb::ExecuteReply reply;
    state_->call("Execute", &pb::Serving::Stub::Execute, request, reply, state_->session);
    if (reply.has_failure()) raise_failure(reply.failure());
    return decode(reply.action());
}

void ServeClient::reset() {
    state_->require_session("reset");
    pb::ResetRequest request;
    request.set_session(state_->session);
    pb::ResetReply reply;
    state_->call("Reset", &pb::Serving::Stub::Reset, request, reply, state_->session);
    if (reply.has_failure()) raise_failure(reply.failure());
}

void ServeClient::close() {
    if (state_->session.empty()) return;
    // Forgotten first: a session the server cannot be told about is freed
    // by its idle timeout, and this client may open another.
    const std::string session = std::exchange(state_->session, "");
    pb::CloseSessionRequest request;
    request.set_session(session);
    pb::CloseSessionReply reply;
    state_->call("CloseSession", &pb::Serving::Stub::CloseSession, request, reply, session);
}

const std::string& ServeClient::session() const noexcept { return state_->session; }

}  // namespace tarvik_remote
