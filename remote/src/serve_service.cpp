// The serving endpoint: sessions, each with a runtime of its own.
#include <atomic>
#include <mutex>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <grpcpp/server_context.h>

#include "failures.hpp"
#include "protocol.hpp"
#include "run_on_loop.hpp"
#include "sweeper.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_inference/runvane.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/serve.hpp"
#include "tarvik_remote/server_support.hpp"
#include "tarvik_remote/value_codec.hpp"

namespace tarvik_remote {

using tarvik_core::Task;
using tarvik_core::Value;
using tarvik_inference::Runvane;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_remote.serve");

// How a session ends the stream attached to it.
class StreamEnd {
public:
    virtual void end(const grpc::Status& status) = 0;

protected:
    ~StreamEnd() = default;
};

struct Session {
    explicit Session(std::string id) : id(std::move(id)) {}

    std::string id;
    LastHeard heard;
    // One call at a time; the runtime's coroutines all run on its own loop.
    std::mutex mutex;
    boost::asio::io_context loop{1};
    std::unique_ptr<Runvane> runtime;
    // The stream attached to the session, ended when the session closes.
    // Its own lock: closing must not wait for a step to end to end it.
    std::mutex stream_mutex;
    StreamEnd* stream = nullptr;
};

using SessionPtr = std::shared_ptr<Session>;

Task<void> load_and_package(Runvane& runtime, std::string orchestration, std::string agent) {
    co_await runtime.load_orchestration(orchestration);
    tarvik_inference::PackageArgs args;
    if (!agent.empty()) args.agent = agent;
    co_await runtime.package(std::move(args));
}

Task<void> reset_episode(tarvik_inference::ProcessorPtr processor) { co_await processor->reset(); }

// A runtime with the orchestration loaded and packaged, ready for its first step.
std::unique_ptr<Runvane> packaged_runtime(Session& session, const ServeOptions& options) {
    auto runtime = std::make_unique<Runvane>(options.config);
    run_on_loop(session.loop, load_and_package(*runtime, options.orchestration, options.agent));
    return runtime;
}

// Closes the session's runtime (its remote parts are stopped) and ends its
// stream with `why`; failures are logged, since the session is going away
// whatever happens.
void close_session(Session& session, const grpc::Status& why) {
    {
        // Ending only schedules the stream's end on gRPC's threads.
        std::lock_guard lock(session.stream_mutex);
        if (session.stream) session.stream->end(why);
    }
    std::lock_guard lock(session.mutex);
    if (!session.runtime) return;
    try {
        run_on_loop(session.loop, session.runtime->close());
    } catch (const std::exception& e) {
        logger.warning("closing session " + session.id + " failed: " + e.what());
    }
    session.runtime.reset();
}

grpc::Status invalid(const std::string& message) { return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, message); }

// The status for a session closed under a call's feet.
grpc::Status closed(const Session& session) {
    return grpc::Status(grpc::StatusCode::NOT_FOUND, "session '" + session.id + "' was closed");
}

// One step of `session`. A failure of the step is the reply's failure; the
// status says whether the request could be served at all.
grpc::Status execute_step(Session& session, const pb::ExecuteRequest& request, pb::ExecuteReply& reply) {
    tarvik_inference::RunvaneExecuteArgs args;
    Value readings;
    try {
        readings = decode(request.readings());
        args.sim_action_mask = decode(request.sim_action_mask());
        args.previous_action = decode(request.previous_action());
    } catch (const tarvik_core::ValueError& e) {
        return invalid(std::string("Execute: ") + e.what());
    }
    args.explore = request.explore();
    std::lock_guard lock(session.mutex);
    if (!session.runtime) return closed(session);
    try {
        encode(run_on_loop(session.loop, session.runtime->execute(std::move(readings), std::move(args))),
               *reply.mutable_action());
    } catch (...) {
        if (!tarvik_core::is_ordinary_error(std::current_exception()))
            return grpc::Status(grpc::StatusCode::CANCELLED, "the step was interrupted");
        reply.Clear();
        capture_failure(std::current_exception(), *reply.mutable_failure());
    }
    return grpc::Status::OK;
}

grpc::Status reset_session(Session& session, pb::ResetReply& reply) {
    std::lock_guard lock(session.mutex);
    if (!session.runtime) return closed(session);
    try {
        run_on_loop(session.loop, reset_episode(session.runtime->agent_processor));
    } catch (...) {
        if (!tarvik_core::is_ordinary_error(std::current_exception()))
            return grpc::Status(grpc::StatusCode::CANCELLED, "the reset was interrupted");
        capture_failure(std::current_exception(), *reply.mutable_failure());
    }
    return grpc::Status::OK;
}

}  // namespace

class ServingService final : public pb::Serving::WithCallbackMethod_Steps<pb::Serving::Service> {
public:
    explicit ServingService(ServeOptions options) : options_(std::move(options)) {}

    const ServeOptions& options() const noexcept { return options_; }

    grpc::Status OpenSession(grpc::ServerContext*, const pb::OpenSessionRequest*,
                             pb::OpenSessionReply* reply) override {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
            if (sessions_.size() + opening_ + closing_ >= options_.max_sessions)
                return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED,
                                    "this server already holds its limit of " + std::to_string(options_.max_sessions) +
                                        " sessions");
            ++opening_;
        }
        auto session = std::make_shared<Session>(random_session_id());
        grpc::Status status = grpc::Status::OK;
        try {
            session->runtime = packaged_runtime(*session, options_);
        } catch (const std::exception& e) {
            status = grpc::Status(grpc::StatusCode::INTERNAL, std::string("cannot start a runtime: ") + e.what());
        }
        std::lock_guard lock(mutex_);
        --opening_;
        if (!status.ok()) return status;
        if (stopping_) {
            close_session(*session, grpc::Status::OK);
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
        }
        sessions_.emplace(session->id, session);
        reply->set_session(session->id);
        reply->set_idle_timeout_ms(static_cast<std::uint32_t>(options_.idle_timeout.count()));
        return grpc::Status::OK;
    }

    grpc::Status Execute(grpc::ServerContext*, const pb::ExecuteRequest* request, pb::ExecuteReply* reply) override {
        SessionPtr session = find(request->session());
        return session ? execute_step(*session, *request, *reply) : unknown(request->session());
    }

    grpc::Status Reset(grpc::ServerContext*, const pb::ResetRequest* request, pb::ResetReply* reply) override {
        SessionPtr session = find(request->session());
        return session ? reset_session(*session, *reply) : unknown(request->session());
    }

    grpc::ServerBidiReactor<pb::StreamRequest, pb::StreamReply>* Steps(grpc::CallbackServerContext* context) override;

    grpc::Status CloseSession(grpc::ServerContext*, const pb::CloseSessionRequest* request,
                              pb::CloseSessionReply*) override {
        // Closing twice, or after the session timed out, is not an error.
        close(request->session());
        return grpc::Status::OK;
    }

    // Takes the session out and closes it, if it is still there.
    void close(const std::string& id, const grpc::Status& why = grpc::Status::OK) {
        std::vector<SessionPtr> taken;
        {
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(id);
            if (it == sessions_.end()) return;
            taken.push_back(std::move(it->second));
            sessions_.erase(it);
            ++closing_;
        }
        close_taken(taken, [&](const Session&) { return why; });
    }

    // Closes the sessions idle for longer than the idle timeout.
    void close_idle_sessions() {
        std::vector<SessionPtr> idle;
        {
            std::lock_guard lock(mutex_);
            idle = take_silent(sessions_, options_.idle_timeout);
            closing_ += idle.size();
        }
        const std::string idle_ms = std::to_string(options_.idle_timeout.count());
        close_taken(idle, [&](const Session& session) {
            logger.info("session " + session.id + " was idle for " + idle_ms + " ms: closed it");
            return grpc::Status(grpc::StatusCode::NOT_FOUND,
                                "session '" + session.id + "' was idle for more than " + idle_ms +
                                    " ms and is closed; open a new one");
        });
    }

    // Takes no more sessions and closes those open, ending their streams.
    void close_all_sessions() {
        std::vector<SessionPtr> all;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            for (auto& [id, session] : sessions_) all.push_back(std::move(session));
            sessions_.clear();
            closing_ += all.size();
        }
        close_taken(all, [](const Session&) {
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
        });
    }

    // Sessions open or still closing.
    std::size_t session_count() const {
        std::lock_guard lock(mutex_);
        return sessions_.size() + closing_;
    }

    SessionPtr find(const std::string& id) {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return nullptr;
        it->second->heard.touch();
        return it->second;
    }

    grpc::Status unknown(const std::string& id) const {
        return grpc::Status(grpc::StatusCode::NOT_FOUND,
                            "no session '" + id + "' here: it was closed, it was idle for more than " +
                                std::to_string(options_.idle_timeout.count()) +
                                " ms, or it was opened on another server; open a new one");
    }

private:
    // Closes sessions already taken out of the table (and counted in
    // closing_), each with the status `why` gives for it.
    template <class Why>
    void close_taken(const std::vector<SessionPtr>& taken, Why why) {
        for (const auto& session : taken) close_session(*session, why(*session));
        std::lock_guard lock(mutex_);
        closing_ -= taken.size();
    }

    ServeOptions options_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, SessionPtr> sessions_;
    std::size_t opening_ = 0;
    std::size_t closing_ = 0;
    bool stopping_ = false;
};

namespace {

// A session's stream: each request is served inline when it arrives, its
// reply written before the next request is read. The stream owns the
// session: when it ends, for whatever reason, the session is closed.
class StepStream final : public grpc::ServerBidiReactor<pb::StreamRequest, pb::StreamReply>, public StreamEnd {
public:
    StepStream(ServingService& service, grpc::CallbackServerContext* context) : service_(service) {
        std::string id;
        const auto& metadata = context->client_metadata();
        if (auto it = metadata.find("tarvik-session"); it != metadata.end()) id.assign(it->second.data(), it->second.size());
        session_ = service_.find(id);
        if (!session_) {
            end(service_.unknown(id));
            return;
        }
        bool taken;
        {
            std::lock_guard lock(session_->stream_mutex);
            taken = session_->stream != nullptr;
            if (!taken) session_->stream = this;
        }
        if (taken) {
            session_ = nullptr;  // not this stream's to close
            end(grpc::Status(grpc::StatusCode::FAILED_PRECONDITION, "session '" + id + "' already has a stream"));
            return;
        }
        StartRead(&request_);
    }

    void OnReadDone(bool ok) override {
        if (!ok) {  // the client finished its side, or the stream was ended
            end(grpc::Status::OK);
            return;
        }
        session_->heard.touch();
        reply_.Clear();
        grpc::Status status;
        switch (request_.kind_case()) {
            case pb::StreamRequest::kExecute:
                status = execute_step(*session_, request_.execute(), *reply_.mutable_execute());
                break;
            case pb::StreamRequest::kReset: status = reset_session(*session_, *reply_.mutable_reset()); break;
            default: status = invalid("a stream request must be an execute or a reset"); break;
        }
        if (!status.ok()) {
            end(status);
            return;
        }
        StartWrite(&reply_);
    }

    void OnWriteDone(bool ok) override {
        if (ok) StartRead(&request_);
        else end(grpc::Status(grpc::StatusCode::CANCELLED, "the client went away"));
    }

    // Finishes the stream once, whoever asks first (the stream itself, or
    // its session closing); a read in flight then completes as failed.
    void end(const grpc::Status& status) override {
        if (!ended_.exchange(true)) Finish(status);
    }

    void OnDone() override {
        if (session_) {
            {
                std::lock_guard lock(session_->stream_mutex);
                session_->stream = nullptr;
            }
            service_.close(session_->id);
        }
        delete this;
    }

private:
    ServingService& service_;
    SessionPtr session_;
    pb::StreamRequest request_;
    pb::StreamReply reply_;
    std::atomic<bool> ended_{false};
};

}  // namespace

grpc::ServerBidiReactor<pb::StreamRequest, pb::StreamReply>* ServingService::Steps(grpc::CallbackServerContext* context) {
    return new StepStream(*this, context);
}

struct ServeServer::State {
    explicit State(ServeOptions options) : service(std::move(options)) {}

    ServingService service;
    std::unique_ptr<grpc::Server> server;
    std::string listen;
    int port = 0;
    std::unique_ptr<Sweeper> sweeper;
};

ServeServer::ServeServer(ServeOptions options) {
    if (options.idle_timeout.count() <= 0) throw tarvik_core::ValueError("the idle timeout must be above 0 ms");
    if (options.max_sessions == 0) throw tarvik_core::ValueError("max_sessions must be at least 1");
    // A broken orchestration fails here, before anything listens.
    {
        Session probe("probe");
        probe.runtime = packaged_runtime(probe, options);
        close_session(probe, grpc::Status::OK);
    }
    state_ = std::make_unique<State>(options);
    grpc::ServerBuilder builder;
    builder.RegisterService(&state_->service);
    state_->server = start_server(builder, options.listen, options.max_message_bytes, state_->port);
    state_->listen = with_port(options.listen, state_->port);
    state_->server->GetHealthCheckService()->SetServingStatus(kServingService, true);
    state_->sweeper = std::make_unique<Sweeper>(options.idle_timeout, [state = state_.get()] { state->service.close_idle_sessions(); });
}

ServeServer::~ServeServer() { shutdown(); }

int ServeServer::port() const noexcept { return state_->port; }

std::string ServeServer::address() const { return state_->listen; }

void ServeServer::shutdown(std::chrono::milliseconds grace) {
    if (!state_->sweeper->stop()) return;
    state_->server->GetHealthCheckService()->SetServingStatus(false);
    // Sessions first: their streams would otherwise keep the server waiting
    // for the whole grace period.
    state_->service.close_all_sessions();
    state_->server->Shutdown(std::chrono::system_clock::now() + grace);
    state_->server->Wait();
}

std::size_t ServeServer::session_count() const { return state_->service.session_count(); }

}  // namespace tarvik_remote
