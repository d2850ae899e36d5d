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

struct Session {
    explicit Session(std::string id) : id(std::move(id)) {}

    std::string id;
    LastHeard heard;
    // One call at a time; the runtime's coroutines all run on its own loop.
    std::mutex mutex;
    boost::asio::io_context loop{1};
    std::unique_ptr<Runvane> runtime;
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

// Closes the session's runtime (its remote parts are stopped); failures are
// logged, since the session is going away whatever happens.
void close_session(Session& session) {
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

}  // namespace

class ServingService final : public pb::Serving::Service {
public:
    explicit ServingService(ServeOptions options) : options_(std::move(options)) {}

    const ServeOptions& options() const noexcept { return options_; }

    grpc::Status OpenSession(grpc::ServerContext*, const pb::OpenSessionRequest*,
                             pb::OpenSessionReply* reply) override {
        {
            std::lock_guard lock(mutex_);
            if (sessions_.size() + opening_ >= options_.max_sessions)
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
        sessions_.emplace(session->id, session);
        reply->set_session(session->id);
        reply->set_idle_timeout_ms(static_cast<std::uint32_t>(options_.idle_timeout.count()));
        return grpc::Status::OK;
    }

    grpc::Status Execute(grpc::ServerContext*, const pb::ExecuteRequest* request, pb::ExecuteReply* reply) override {
        SessionPtr session = find(request->session());
        if (!session) return unknown(request->session());
        tarvik_inference::RunvaneExecuteArgs args;
        Value readings;
        try {
            readings = decode(request->readings());
            args.sim_action_mask = decode(request->sim_action_mask());
            args.previous_action = decode(request->previous_action());
        } catch (const tarvik_core::ValueError& e) {
            return invalid(std::string("Execute: ") + e.what());
        }
        args.explore = request->explore();
        std::lock_guard lock(session->mutex);
        if (!session->runtime) return unknown(request->session());
        try {
            encode(run_on_loop(session->loop, session->runtime->execute(std::move(readings), std::move(args))),
                   *reply->mutable_action());
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception()))
                return grpc::Status(grpc::StatusCode::CANCELLED, "the step was interrupted");
            reply->Clear();
            capture_failure(std::current_exception(), *reply->mutable_failure());
        }
        return grpc::Status::OK;
    }

    grpc::Status Reset(grpc::ServerContext*, const pb::ResetRequest* request, pb::ResetReply* reply) override {
        SessionPtr session = find(request->session());
        if (!session) return unknown(request->session());
        std::lock_guard lock(session->mutex);
        if (!session->runtime) return unknown(request->session());
        try {
            run_on_loop(session->loop, reset_episode(session->runtime->agent_processor));
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception()))
                return grpc::Status(grpc::StatusCode::CANCELLED, "the reset was interrupted");
            capture_failure(std::current_exception(), *reply->mutable_failure());
        }
        return grpc::Status::OK;
    }

    grpc::Status CloseSession(grpc::ServerContext*, const pb::CloseSessionRequest* request,
                              pb::CloseSessionReply*) override {
        SessionPtr session;
        {
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(request->session());
            // Closing twice, or after the session timed out, is not an error.
            if (it == sessions_.end()) return grpc::Status::OK;
            session = std::move(it->second);
            sessions_.erase(it);
        }
        close_session(*session);
        return grpc::Status::OK;
    }

    // Closes the sessions idle for longer than the idle timeout.
    void close_idle_sessions() {
        std::vector<SessionPtr> idle;
        {
            std::lock_guard lock(mutex_);
            idle = take_silent(sessions_, options_.idle_timeout);
        }
        for (const auto& session : idle) {
            logger.info("session " + session->id + " was idle for " + std::to_string(options_.idle_timeout.count()) +
                        " ms: closed it");
            close_session(*session);
        }
    }

    void close_all_sessions() {
        std::unordered_map<std::string, SessionPtr> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(sessions_);
        }
        for (auto& [id, session] : all) close_session(*session);
    }

    std::size_t session_count() const {
        std::lock_guard lock(mutex_);
        return sessions_.size();
    }

private:
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

    ServeOptions options_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, SessionPtr> sessions_;
    std::size_t opening_ = 0;
};

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
        close_session(probe);
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
    state_->server->Shutdown(std::chrono::system_clock::now() + grace);
    state_->server->Wait();
    state_->service.close_all_sessions();
}

std::size_t ServeServer::session_count() const { return state_->service.session_count(); }

}  // namespace tarvik_remote
