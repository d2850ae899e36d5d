// The serving endpoint's client.
#include "tarvik_remote/serve_client.hpp"

#include <utility>

#include <grpcpp/completion_queue.h>
#include <grpcpp/support/async_stream.h>

#include "failures.hpp"
#include "grpc_call.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/value_codec.hpp"

namespace tarvik_remote {

namespace pb = tarvik::remote::v1;

namespace {

// A session's stream of steps. Every operation waits on this thread for its
// completion, at most `timeout`; a stream that fails or times out is over
// (the server closes the session with it).
class StepStream {
public:
    StepStream(pb::Serving::Stub& stub, const std::string& session, std::string address, double timeout)
        : address_(std::move(address)), timeout_(timeout) {
        context_.AddMetadata("tarvik-session", session);
        stream_ = stub.PrepareAsyncSteps(&context_, &queue_);
        stream_->StartCall(this);
        wait("Steps");
    }

    ~StepStream() {
        if (!broken_) {
            try {
                stream_->WritesDone(this);
                wait("Steps");
                finish();
            } catch (const std::exception&) {
                // Its end is all that was asked for.
            }
        }
        if (!finished_) {
            context_.TryCancel();
            grpc::Status status;
            stream_->Finish(&status, this);
        }
        queue_.Shutdown();
        void* tag;
        bool ok;
        while (queue_.Next(&tag, &ok)) {
        }
    }

    void send(const pb::StreamRequest& request, pb::StreamReply& reply, const char* call) {
        if (broken_) throw tarvik_core::RuntimeError(std::string(call) + " at " + address_ + ": the session's stream has ended");
        stream_->Write(request, this);
        if (!wait(call)) fail(call);
        stream_->Read(&reply, this);
        if (!wait(call)) fail(call);
    }

private:
    // Waits for the one operation in flight; false when it did not succeed.
    bool wait(const char* call) {
        void* tag;
        bool ok = false;
        const auto deadline = std::chrono::system_clock::now() +
                              std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                  std::chrono::duration<double>(timeout_));
        if (queue_.AsyncNext(&tag, &ok, deadline) == grpc::CompletionQueue::GOT_EVENT) return ok;
        // No answer in time: the stream is given up, and its operation comes
        // back (cancelled) before anything else is done with it.
        broken_ = true;
        context_.TryCancel();
        queue_.Next(&tag, &ok);
        raise_transport_failure(grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, ""), call, address_, timeout_);
    }

    void finish() {
        grpc::Status status;
        stream_->Finish(&status, this);
        finished_ = true;
        void* tag;
        bool ok;
        queue_.Next(&tag, &ok);
        status_ = status;
    }

    [[noreturn]] void fail(const char* call) {
        broken_ = true;
        finish();
        raise_transport_failure(status_.ok() ? grpc::Status(grpc::StatusCode::UNAVAILABLE, "the stream ended") : status_,
                                call, address_, timeout_);
    }

    std::string address_;
    double timeout_;
    grpc::ClientContext context_;
    grpc::CompletionQueue queue_;
    std::unique_ptr<grpc::ClientAsyncReaderWriter<pb::StreamRequest, pb::StreamReply>> stream_;
    grpc::Status status_;
    bool broken_ = false;
    bool finished_ = false;
};

}  // namespace

struct ServeClient::State {
    std::string address;
    ServeClientOptions options;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<pb::Serving::Stub> stub;
    std::string session;
    std::unique_ptr<StepStream> stream;

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
    if (state_->options.streaming)
        state_->stream = std::make_unique<StepStream>(*state_->stub, state_->session, state_->address,
                                                      state_->options.timeout);
}

tarvik_core::Value ServeClient::execute(const tarvik_core::Value& readings, const tarvik_core::Value& sim_action_mask,
                                        const tarvik_core::Value& previous_action, bool explore) {
    state_->require_session("execute");
    pb::ExecuteReply unary_reply;
    pb::StreamReply stream_reply;
    pb::ExecuteRequest unary_request;
    pb::StreamRequest stream_request;
    pb::ExecuteRequest& request = state_->stream ? *stream_request.mutable_execute() : unary_request;
    encode(readings, *request.mutable_readings());
    encode(sim_action_mask, *request.mutable_sim_action_mask());
    encode(previous_action, *request.mutable_previous_action());
    request.set_explore(explore);
    if (state_->stream) {
        state_->stream->send(stream_request, stream_reply, "Execute");
    } else {
        request.set_session(state_->session);
        state_->call("Execute", &pb::Serving::Stub::Execute, request, unary_reply, state_->session);
    }
    const pb::ExecuteReply& reply = state_->stream ? stream_reply.execute() : unary_reply;
    if (reply.has_failure()) raise_failure(reply.failure());
    return decode(reply.action());
}

void ServeClient::reset() {
    state_->require_session("reset");
    pb::ResetReply unary_reply;
    pb::StreamReply stream_reply;
    if (state_->stream) {
        pb::StreamRequest request;
        request.mutable_reset();
        state_->stream->send(request, stream_reply, "Reset");
    } else {
        pb::ResetRequest request;
        request.set_session(state_->session);
        state_->call("Reset", &pb::Serving::Stub::Reset, request, unary_reply, state_->session);
    }
    const pb::ResetReply& reply = state_->stream ? stream_reply.reset() : unary_reply;
    if (reply.has_failure()) raise_failure(reply.failure());
}

void ServeClient::close() {
    if (state_->session.empty()) return;
    // Forgotten first: a session the server cannot be told about is freed
    // by its idle timeout, and this client may open another. Ending the
    // stream closes the session on the server already.
    const std::string session = std::exchange(state_->session, "");
    state_->stream.reset();
    pb::CloseSessionRequest request;
    request.set_session(session);
    pb::CloseSessionReply reply;
    state_->call("CloseSession", &pb::Serving::Stub::CloseSession, request, reply, session);
}

const std::string& ServeClient::session() const noexcept { return state_->session; }

}  // namespace tarvik_remote
