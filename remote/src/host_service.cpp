// The implementation host's gRPC service: sessions, hosted objects, the
// watchdog that drops silent sessions.
#include <atomic>
#include <mutex>
#include <set>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <grpcpp/server_context.h>

#include "failures.hpp"
#include "protocol.hpp"
#include "run_on_loop.hpp"
#include "sweeper.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/host.hpp"
#include "tarvik_remote/server_support.hpp"
#include "tarvik_remote/value_codec.hpp"

namespace tarvik_remote {

using tarvik_core::ImplKind;
using tarvik_core::Task;
using tarvik_core::Value;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_remote.host");

// One instance made for one create_with_client.
struct Hosted {
    tarvik_core::ImplClassPtr cls;
    int manager;  // pb::ManagerKind
    std::shared_ptr<tarvik_core::Object> instance;
    // Its operations run one at a time on its own loop, so an implementation
    // never sees two calls at once and its timers always belong to one loop.
    std::mutex running;
    boost::asio::io_context loop{1};
};

struct Session {
    explicit Session(std::string id) : id(std::move(id)) {}

    std::string id;
    LastHeard heard;
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<Hosted>> objects;
};

using SessionPtr = std::shared_ptr<Session>;

// Runs one operation of `hosted` with its decoded arguments.
Task<Value> dispatch(std::shared_ptr<tarvik_core::Object> instance, pb::Operation operation, std::vector<Value> a) {
    using namespace tarvik_core;
    auto teacher = [&] { return std::static_pointer_cast<Teacher>(instance); };
    switch (operation) {
        case pb::FILTERED_SENSOR_SPACE:
            co_return co_await std::dynamic_pointer_cast<AgentImplementation>(instance)->filtered_sensor_space();
        case pb::RESET:
            if (auto perceptor = std::dynamic_pointer_cast<Perceptor>(instance)) co_await perceptor->reset();
            else co_await std::dynamic_pointer_cast<AgentImplementation>(instance)->reset();
            co_return Value();
        case pb::TRANSFORM_SENSORS: co_return co_await teacher()->transform_sensors(a[0], a[1]);
        case pb::COMPUTE_ACTION_MASK: co_return co_await teacher()->compute_action_mask(a[0], a[1]);
        case pb::TRANSFORM_ACTION: co_return co_await teacher()->transform_action(a[0], a[1]);
        case pb::COMPUTE_REWARD: co_return co_await teacher()->compute_reward(a[0], a[1], a[2]);
        case pb::COMPUTE_SUCCESS_CRITERIA: co_return co_await teacher()->compute_success_criteria(a[0], a[1]);
        case pb::COMPUTE_TERMINATION: co_return co_await teacher()->compute_termination(a[0], a[1]);
        case pb::COMPUTE_ACTION:
            co_return co_await std::static_pointer_cast<Controller>(instance)->compute_action(a[0], a[1]);
        case pb::COMPUTE_SENSORS:
            co_return co_await std::static_pointer_cast<Perceptor>(instance)->compute_sensors(a[0]);
        default: break;
    }
    throw RuntimeError("unknown operation");  // checked against the table before
}

// Runs the operation to completion on the object's own loop, on this
// (gRPC) thread. Gives the result, or raises what the implementation raised.
Value run_on(Hosted& hosted, pb::Operation operation, std::vector<Value> args) {
    std::lock_guard lock(hosted.running);
    return run_on_loop(hosted.loop, dispatch(hosted.instance, operation, std::move(args)));
}

bool fits(ImplKind kind, const std::shared_ptr<tarvik_core::Object>& instance) {
    switch (kind) {
        case ImplKind::teacher: return dynamic_cast<tarvik_core::Teacher*>(instance.get());
        case ImplKind::controller: return dynamic_cast<tarvik_core::Controller*>(instance.get());
        case ImplKind::perceptor: return dynamic_cast<tarvik_core::Perceptor*>(instance.get());
    }
    return false;
}

grpc::Status invalid(const std::string& message) { return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, message); }

}  // namespace

class HostService final : public pb::ImplementationHost::Service {
public:
    HostService(Catalog catalog, std::chrono::milliseconds lease) : catalog_(std::move(catalog)), lease_(lease) {}

    void set_address(std::string address) { where_ = "at " + std::move(address); }

    grpc::Status CreateWithClient(grpc::ServerContext*, const pb::CreateRequest* request,
                                  pb::CreateReply* reply) override {
        if (request->session().empty()) return invalid("create_with_client needs a session id");
        ImplKind kind;
        if (!served_kind(request->manager(), kind))
            return invalid("create_with_client names no remote manager (got " + std::to_string(request->manager()) +
                           ")");
        try {
            const auto cls = catalog_.find(kind, request->implementation(),
                                           request->version().empty() ? "latest" : request->version(), where_);
            auto hosted = std::make_shared<Hosted>();
            hosted->cls = cls;
            hosted->manager = request->manager();
            hosted->instance = cls->instantiate();
            if (!fits(kind, hosted->instance))
                throw tarvik_core::TypeError("implementation '" + cls->name() + "' made " +
                                             hosted->instance->class_name() + " object, not a " +
                                             std::string(tarvik_core::impl_kind_name(kind)));
            SessionPtr session = open_session(request->session());
            const std::string client_id = manager_name(request->manager()) + "-client-" +
                                          std::to_string(next_client_.fetch_add(1) + 1);
            {
                std::lock_guard lock(session->mutex);
                session->objects.emplace(client_id, std::move(hosted));
            }
            reply->set_client_id(client_id);
            reply->set_version(cls->version());
            reply->set_lease_ms(static_cast<std::uint32_t>(lease_.count()));
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception())) throw;
            reply->Clear();
            capture_failure(std::current_exception(), *reply->mutable_failure());
        }
        return grpc::Status::OK;
    }

    grpc::Status Invoke(grpc::ServerContext*, const pb::InvokeRequest* request, pb::InvokeReply* reply) override {
        return invoke(*request, *reply);
    }

    grpc::Status Calls(grpc::ServerContext* context,
                       grpc::ServerReaderWriter<pb::InvokeReply, pb::InvokeRequest>* stream) override {
        // Registered, so that shutdown can end it instead of waiting for it.
        struct Registration {
            HostService& service;
            grpc::ServerContext* context;
            Registration(HostService& s, grpc::ServerContext* c) : service(s), context(c) {
                std::lock_guard lock(service.streams_mutex_);
                service.streams_.insert(context);
            }
            ~Registration() {
                std::lock_guard lock(service.streams_mutex_);
                service.streams_.erase(context);
            }
        } registration(*this, context);
        pb::InvokeRequest request;
        pb::InvokeReply reply;
        while (stream->Read(&request)) {
            reply.Clear();
            if (grpc::Status status = invoke(request, reply); !status.ok()) return status;
            if (!stream->Write(reply)) break;
        }
        return grpc::Status::OK;
    }

    // One call of an object; what the object raised is the reply's failure.
    grpc::Status invoke(const pb::InvokeRequest& request, pb::InvokeReply& reply) {
        std::shared_ptr<Hosted> hosted;
        if (grpc::Status found = find_object(request.session(), request.client_id(), hosted); !found.ok())
            return found;
        const OperationInfo* info = operation_info(request.operation());
        if (!info) return invalid("unknown operation " + std::to_string(request.operation()));
        if (!info->belongs_to(hosted->cls->kind()))
            return invalid(std::string(tarvik_core::impl_kind_name(hosted->cls->kind())) + " '" + hosted->cls->name() +
                           "' has no operation " + std::string(info->name));
        if (request.args_size() != info->arity)
            return invalid(std::string(info->name) + " takes " + std::to_string(info->arity) + " arguments, got " +
                           std::to_string(request.args_size()));
        std::vector<Value> args;
        args.reserve(static_cast<std::size_t>(info->arity));
        try {
            for (const auto& arg : request.args()) args.push_back(decode(arg));
        } catch (const tarvik_core::ValueError& e) {
            return invalid(std::string(info->name) + ": " + e.what());
        }
        try {
            encode(run_on(*hosted, info->operation, std::move(args)), *reply.mutable_result());
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception()))
                return grpc::Status(grpc::StatusCode::CANCELLED, std::string(info->name) + " was interrupted");
            reply.Clear();
            capture_failure(std::current_exception(), *reply.mutable_failure());
        }
        return grpc::Status::OK;
    }

    grpc::Status StopAll(grpc::ServerContext*, const pb::StopAllRequest* request, pb::StopAllReply*) override {
        // Stopping what a forgotten session held is already done: not an error.
        SessionPtr session = find_session(request->session());
        if (!session) return grpc::Status::OK;
        std::vector<std::shared_ptr<Hosted>> stopped;  // destroyed outside the lock
        {
            std::lock_guard lock(session->mutex);
            for (auto it = session->objects.begin(); it != session->objects.end();) {
                if (it->second->manager == request->manager()) {
                    stopped.push_back(std::move(it->second));
                    it = session->objects.erase(it);
                } else {
                    ++it;
                }
            }
        }
        return grpc::Status::OK;
    }

    grpc::Status Heartbeat(grpc::ServerContext*, const pb::SessionRequest* request, pb::HeartbeatReply* reply) override {
        reply->set_known(find_session(request->session()) != nullptr);
        return grpc::Status::OK;
    }

    grpc::Status EndSession(grpc::ServerContext*, const pb::SessionRequest* request, pb::EndSessionReply*) override {
        SessionPtr ended;
        {
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(request->session());
            if (it == sessions_.end()) return grpc::Status::OK;
            ended = std::move(it->second);
            sessions_.erase(it);
        }
        logger.debug("session " + ended->id + " ended");
        return grpc::Status::OK;
    }

    // Drops the sessions that have been silent for longer than the lease.
    void drop_silent_sessions() {
        std::vector<SessionPtr> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped = take_silent(sessions_, lease_);
        }
        for (const auto& session : dropped) {
            std::size_t objects;
            {
                std::lock_guard lock(session->mutex);
                objects = session->objects.size();
            }
            logger.info("session " + session->id + " sent nothing for " + std::to_string(lease_.count()) +
                        " ms: dropped it and its " + std::to_string(objects) + " objects");
        }
    }

    // Ends every open call stream (their runtimes go on with single calls,
    // or learn that the host is gone).
    void cancel_streams() {
        std::lock_guard lock(streams_mutex_);
        for (auto* context : streams_) context->TryCancel();
    }

    void drop_all_sessions() {
        std::unordered_map<std::string, SessionPtr> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(sessions_);
        }
    }

    std::size_t session_count() const {
        std::lock_guard lock(mutex_);
        return sessions_.size();
    }

    std::size_t object_count() const {
        std::lock_guard lock(mutex_);
        std::size_t count = 0;
        for (const auto& [id, session] : sessions_) {
            std::lock_guard session_lock(session->mutex);
            count += session->objects.size();
        }
        return count;
    }

private:
    static std::string manager_name(int manager) {
        switch (manager) {
            case pb::MANAGER_AGENT: return "agent";
            case pb::MANAGER_PERCEPTOR: return "perceptor";
            default: return "controller";
        }
    }

    SessionPtr open_session(const std::string& id) {
        std::lock_guard lock(mutex_);
        auto& session = sessions_[id];
        if (!session) {
            session = std::make_shared<Session>(id);
            logger.debug("session " + id + " opened");
        }
        session->heard.touch();
        return session;
    }

    // The session, marked as seen; null when unknown.
    SessionPtr find_session(const std::string& id) {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return nullptr;
        it->second->heard.touch();
        return it->second;
    }

    grpc::Status find_object(const std::string& session_id, const std::string& client_id,
                             std::shared_ptr<Hosted>& out) {
        SessionPtr session = find_session(session_id);
        if (!session)
            return grpc::Status(grpc::StatusCode::NOT_FOUND,
                                "the host does not know this runtime's session: it restarted, or dropped the session "
                                "after " + std::to_string(lease_.count()) + " ms without a call or heartbeat");
        std::lock_guard lock(session->mutex);
        auto it = session->objects.find(client_id);
        if (it == session->objects.end())
            return grpc::Status(grpc::StatusCode::NOT_FOUND,
                                "the session holds no object '" + client_id + "' (stop_all stopped it, or it never "
                                "existed)");
        out = it->second;
        return grpc::Status::OK;
    }

    Catalog catalog_;
    std::chrono::milliseconds lease_;
    std::string where_ = "here";
    std::atomic<std::uint64_t> next_client_{0};
    mutable std::mutex mutex_;
    std::unordered_map<std::string, SessionPtr> sessions_;
    std::mutex streams_mutex_;
    std::set<grpc::ServerContext*> streams_;
};

struct HostServer::State {
    State(Catalog catalog, const HostOptions& options) : service(std::move(catalog), options.lease) {}

    HostService service;
    std::unique_ptr<grpc::Server> server;
    std::string listen;
    int port = 0;
    std::unique_ptr<Sweeper> sweeper;
};

HostServer::HostServer(Catalog catalog, HostOptions options)
    : state_(std::make_unique<State>(std::move(catalog), options)) {
    if (options.lease.count() <= 0) throw tarvik_core::ValueError("the lease must be above 0 ms");
    grpc::ServerBuilder builder;
    builder.RegisterService(&state_->service);
    state_->server = start_server(builder, options.listen, options.max_message_bytes, state_->port);
    state_->listen = with_port(options.listen, state_->port);
    state_->service.set_address(state_->listen);
    state_->sweeper = std::make_unique<Sweeper>(options.lease, [state = state_.get()] { state->service.drop_silent_sessions(); });
}

HostServer::~HostServer() { shutdown(); }

int HostServer::port() const noexcept { return state_->port; }

std::string HostServer::address() const { return state_->listen; }

void HostServer::shutdown(std::chrono::milliseconds grace) {
    if (!state_->sweeper->stop()) return;
    // Streams first: they would otherwise keep the server waiting for the
    // whole grace period.
    state_->service.cancel_streams();
    state_->server->Shutdown(std::chrono::system_clock::now() + grace);
    state_->server->Wait();
    state_->service.drop_all_sessions();
}

std::size_t HostServer::session_count() const { return state_->service.session_count(); }

std::size_t HostServer::object_count() const { return state_->service.object_count(); }

}  // namespace tarvik_remote
