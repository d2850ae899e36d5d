// Client side of the gRPC transport: one connection (channel, session,
// heartbeats) shared by four remote managers, and the proxies they make.
#include "tarvik_remote/transport.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <grpcpp/support/async_stream.h>

#include "failures.hpp"
#include "grpc_call.hpp"
#include "protocol.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/value_codec.hpp"

namespace tarvik_remote {

using tarvik_core::Dict;
using tarvik_core::List;
using tarvik_core::MaybeTask;
using tarvik_core::RemoteManagerKind;
using tarvik_core::Task;
using tarvik_core::Value;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_remote.transport");

// The connection's Calls stream (see Connection::take_stream).
struct CallStream {
    grpc::ClientContext context;
    std::unique_ptr<grpc::ClientAsyncReaderWriter<pb::InvokeRequest, pb::InvokeReply>> stream;
};

// The channel and the session on the host, shared by the four managers and
// every proxy they made. The session opens with the first object created;
// from then on a thread sends heartbeats until stop_watchdogs ends it.
class Connection {
public:
    explicit Connection(tarvik_core::RemoteTarget target)
        : target_(std::move(target)),
          channel_(make_channel(target_.address, target_.max_message_bytes)),
          stub_(pb::ImplementationHost::NewStub(channel_)),
          session_(random_session_id()) {}

    ~Connection() {
        stop_heartbeats();
        // The stream's end comes back on the queue, which drains it before
        // the stream goes (it is declared first, so destroyed last).
        if (stream_) {
            stream_->context.TryCancel();
            auto finished = std::make_shared<Pending>();
            stream_->stream->Finish(&finished->status, Pending::tag(finished));
        }
    }

    const tarvik_core::RemoteTarget& target() const noexcept { return target_; }
    pb::ImplementationHost::Stub& stub() noexcept { return *stub_; }
    CallQueue& calls() noexcept { return calls_; }

    // Calls go one at a time on the connection's stream, cheaper than a call
    // each. The stream for one call: the one there is, or a new one not yet
    // started (`fresh`); null while another call has it (that call goes on
    // its own). give_back_stream returns it, or null when it broke.
    std::shared_ptr<CallStream> take_stream(bool& fresh) {
        std::lock_guard lock(mutex_);
        if (stream_taken_) return nullptr;
        stream_taken_ = true;
        fresh = !stream_;
        if (fresh) stream_ = std::make_shared<CallStream>();
        return stream_;
    }

    void give_back_stream(bool healthy) {
        std::lock_guard lock(mutex_);
        if (!healthy) stream_.reset();
        stream_taken_ = false;
    }

    std::string session() const {
        std::lock_guard lock(mutex_);
        return session_;
    }

    bool is_open() const {
        std::lock_guard lock(mutex_);
        return open_;
    }

    // The host made an object in `session` and gave its lease: heartbeats
    // start (once per session).
    void opened(const std::string& session, std::uint32_t lease_ms) {
        std::lock_guard lock(mutex_);
        if (session != session_ || open_) return;
        open_ = true;
        stopping_ = false;
        // A third of the lease: two heartbeats may go missing before the
        // host gives up on us.
        const auto period = std::chrono::milliseconds(std::max<std::uint32_t>(lease_ms / 3, 10));
        heartbeat_ = std::thread([this, session, period] { send_heartbeats(session, period); });
    }

    // Ends the session: no more heartbeats, and the host is told to drop
    // whatever the session still holds. A later create opens a new session.
    void stop_watchdogs() noexcept {
        std::string ended;
        {
            std::lock_guard lock(mutex_);
            if (open_) ended = session_;
            open_ = false;
            session_ = random_session_id();
        }
        stop_heartbeats();
        if (ended.empty()) return;
        grpc::ClientContext context;
        set_timeout(context, std::min(target_.timeout, 2.0));
        pb::SessionRequest request;
        request.set_session(ended);
        pb::EndSessionReply reply;
        const grpc::Status status = stub_->EndSession(&context, request, &reply);
        // Not worth failing a shutdown for: the host drops the session
        // anyway once its lease runs out.
        if (!status.ok())
            logger.warning("ending the session at " + target_.address + " failed (" +
                           status_code_name(status.error_code()) + ": " + status.error_message() +
                           "); the host drops it when its lease runs out");
    }

private:
    void stop_heartbeats() noexcept {
        std::thread running;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            running.swap(heartbeat_);
        }
        wake_.notify_all();
        if (running.joinable()) running.join();
    }

    void send_heartbeats(const std::string& session, std::chrono::milliseconds period) {
        bool failing = false;
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
            lock.unlock();
            grpc::ClientContext context;
            set_timeout(context, std::min(target_.timeout, period.count() / 1000.0));
            pb::SessionRequest request;
            request.set_session(session);
            pb::HeartbeatReply reply;
            const grpc::Status status = stub_->Heartbeat(&context, request, &reply);
            if (!status.ok()) {
                // Logged once per outage; the next call reports it to the runtime.
                if (!failing)
                    logger.warning("heartbeat to " + target_.address + " failed (" +
                                   status_code_name(status.error_code()) + ": " + status.error_message() + ")");
                failing = true;
            } else if (!reply.known()) {
                logger.warning("the host at " + target_.address + " no longer knows this runtime's session (it " +
                               "restarted, or dropped it after missed heartbeats); its remote objects are gone");
                lock.lock();
                return;
            } else {
                failing = false;
            }
            lock.lock();
        }
    }

    tarvik_core::RemoteTarget target_;
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<pb::ImplementationHost::Stub> stub_;
    std::shared_ptr<CallStream> stream_;  // before calls_: outlives its queue's draining
    bool stream_taken_ = false;
    CallQueue calls_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string session_;
    bool open_ = false;
    bool stopping_ = false;
    std::thread heartbeat_;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// What a proxy knows of its object on the host.
struct ProxyLink {
    ConnectionPtr connection;
    std::string session;
    std::string client_id;
    std::string kind;  // "teacher", ...
    std::string name;
    std::atomic<bool> stopped{false};

    std::string label() const { return "remote " + kind + " '" + name + "'"; }
    std::string describe() const { return label() + " (" + client_id + ")"; }
    std::string repr() const { return "<" + describe() + " at " + connection->target().address + ">"; }
};

using ProxyLinkPtr = std::shared_ptr<ProxyLink>;
using InvokeCall = Call<pb::InvokeRequest, pb::InvokeReply>;
using Stub = pb::ImplementationHost::Stub;

template <class Request, class Reply>
using PrepareMethod = std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> (Stub::*)(grpc::ClientContext*,
                                                                                      const Request&,
                                                                                      grpc::CompletionQueue*);

// Sends `call` through `method` with a deadline `timeout` seconds away and
// waits for the answer (see CallQueue); a call that does not get through
// raises, naming `what` and the host's address.
template <class Request, class Reply>
Task<void> send(Connection& connection, std::shared_ptr<Call<Request, Reply>> call,
                PrepareMethod<Request, Reply> method, std::string what, double timeout) {
    set_timeout(call->context, timeout);
    Stub& stub = connection.stub();
    co_await connection.calls().run(call, [&](grpc::ClientContext* context, const Request& request,
                                              grpc::CompletionQueue* queue) { return (stub.*method)(context, request, queue); });
    if (call->cancelled) throw tarvik_core::Cancelled();
    if (!call->status.ok()) raise_transport_failure(call->status, what, connection.target().address, timeout);
}

// One operation on a call stream, started by `start(tag)`, waited for until
// `deadline` or the coroutine's cancellation (the stream is cancelled then:
// only this call has it, see Connection::take_stream).
Task<std::shared_ptr<Pending>> wait_for_op(Connection& connection, std::shared_ptr<Pending> op,
                                           std::chrono::system_clock::time_point deadline,
                                           std::function<void()> cancel) {
    co_await connection.calls().wait(op, deadline, std::move(cancel));
    co_return op;
}

template <class Start>
Task<std::shared_ptr<Pending>> stream_op(Connection& connection, const std::shared_ptr<CallStream>& stream,
                                         std::chrono::system_clock::time_point deadline, Start start) {
    auto op = std::make_shared<Pending>();
    start(Pending::tag(op));
    return wait_for_op(connection, std::move(op), deadline, [stream] { stream->context.TryCancel(); });
}

// The status a broken stream ended with.
Task<grpc::Status> finish_stream(Connection& connection, CallStream& stream) {
    auto finished = std::make_shared<Pending>();
    stream.stream->Finish(&finished->status, Pending::tag(finished));
    co_await connection.calls().wait(finished);
    co_return finished->status;
}

// Sends `call` on the connection's stream. False when nothing was sent (the
// stream is busy with another call, or would not start or take the
// request), so that the call goes on its own; true when it has its answer or
// its failing status in call->status.
Task<bool> send_on_stream(Connection& connection, std::shared_ptr<InvokeCall> call, double timeout) {
    bool fresh = false;
    std::shared_ptr<CallStream> stream = connection.take_stream(fresh);
    if (!stream) co_return false;
    bool healthy = false;
    struct GiveBack {
        Connection& connection;
        bool& healthy;
        ~GiveBack() { connection.give_back_stream(healthy); }
    } give_back{connection, healthy};

    const auto deadline = std::chrono::system_clock::now() +
                          std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              std::chrono::duration<double>(timeout));
    auto& queue = *connection.calls().queue();
    if (fresh) {
        stream->stream = connection.stub().PrepareAsyncCalls(&stream->context, &queue);
        auto started = co_await stream_op(connection, stream, deadline, [&](void* tag) { stream->stream->StartCall(tag); });
        if (started->cancelled) {
            co_await finish_stream(connection, *stream);
            throw tarvik_core::Cancelled();
        }
        if (!started->ok) {
            co_await finish_stream(connection, *stream);
            co_return false;
        }
    }
    auto written = co_await stream_op(connection, stream, deadline,
                                      [&](void* tag) { stream->stream->Write(call->request, tag); });
    if (!written->ok && !written->timed_out && !written->cancelled) {
        co_await finish_stream(connection, *stream);
        co_return false;  // the stream had ended: the host never saw the call
    }
    std::shared_ptr<Pending> read = written;
    if (written->ok)
        read = co_await stream_op(connection, stream, deadline,
                                  [&](void* tag) { stream->stream->Read(&call->reply, tag); });
    if (read->ok && !read->cancelled) {
        healthy = true;
        call->status = grpc::Status::OK;
        co_return true;
    }
    // A cancelled call's stream is cancelled too: the host's late answer
    // goes nowhere, and the next call starts a new stream.
    const grpc::Status ended = co_await finish_stream(connection, *stream);
    if (read->cancelled) throw tarvik_core::Cancelled();
    call->status = read->timed_out ? grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, "")
                   : ended.ok()    ? grpc::Status(grpc::StatusCode::UNAVAILABLE, "the call stream ended")
                                   : ended;
    co_return true;
}

// Encodes the arguments when the operation is called (they are references
// the caller may drop before awaiting), not when it runs.
std::shared_ptr<InvokeCall> prepare(const ProxyLink& link, pb::Operation operation,
                                    std::initializer_list<const Value*> args) {
    auto call = std::make_shared<InvokeCall>();
    call->request.set_session(link.session);
    call->request.set_client_id(link.client_id);
    call->request.set_operation(operation);
    for (const Value* arg : args) encode(*arg, *call->request.add_args());
    return call;
}

Task<Value> run(ProxyLinkPtr link, std::shared_ptr<InvokeCall> call) {
    const std::string_view operation = operation_info(call->request.operation())->name;
    // The same words as the in-process transport's stopped proxies.
    if (link->stopped) throw tarvik_core::RuntimeError(link->label() + " was stopped");
    const std::string what = link->describe() + "." + std::string(operation) + "()";
    const double timeout = link->connection->target().timeout;
    if (co_await send_on_stream(*link->connection, call, timeout)) {
        if (!call->status.ok()) raise_transport_failure(call->status, what, link->connection->target().address, timeout);
    } else {
        co_await send<pb::InvokeRequest, pb::InvokeReply>(*link->connection, call, &Stub::PrepareAsyncInvoke, what,
                                                           timeout);
    }
    if (call->reply.has_failure()) raise_failure(call->reply.failure());
    co_return decode(call->reply.result());
}

Task<void> run_void(ProxyLinkPtr link, std::shared_ptr<InvokeCall> call) {
    co_await run(std::move(link), std::move(call));
}

class GrpcTeacher final : public tarvik_core::Teacher {
public:
    explicit GrpcTeacher(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> filtered_sensor_space() override { return op(pb::FILTERED_SENSOR_SPACE, {}); }
    Task<void> reset() override { return run_void(link_, prepare(*link_, pb::RESET, {})); }
    Task<Value> transform_sensors(const Value& obs, const Value& extra) override {
        return op(pb::TRANSFORM_SENSORS, {&obs, &extra});
    }
    Task<Value> compute_action_mask(const Value& obs, const Value& previous_action) override {
        return op(pb::COMPUTE_ACTION_MASK, {&obs, &previous_action});
    }
    Task<Value> transform_action(const Value& obs, const Value& action) override {
        return op(pb::TRANSFORM_ACTION, {&obs, &action});
    }
    Task<Value> compute_reward(const Value& obs, const Value& action, const Value& sim_reward) override {
        return op(pb::COMPUTE_REWARD, {&obs, &action, &sim_reward});
    }
    Task<Value> compute_success_criteria(const Value& obs, const Value& action) override {
        return op(pb::COMPUTE_SUCCESS_CRITERIA, {&obs, &action});
    }
    Task<Value> compute_termination(const Value& obs, const Value& action) override {
        return op(pb::COMPUTE_TERMINATION, {&obs, &action});
    }
    std::string repr() const override { return link_->repr(); }

private:
    Task<Value> op(pb::Operation operation, std::initializer_list<const Value*> args) {
        return run(link_, prepare(*link_, operation, args));
    }
    ProxyLinkPtr link_;
};

class GrpcController final : public tarvik_core::Controller {
public:
    explicit GrpcController(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> compute_action(const Value& obs, const Value& previous_action) override {
        return run(link_, prepare(*link_, pb::COMPUTE_ACTION, {&obs, &previous_action}));
    }
    Task<Value> filtered_sensor_space() override { return run(link_, prepare(*link_, pb::FILTERED_SENSOR_SPACE, {})); }
    Task<void> reset() override { return run_void(link_, prepare(*link_, pb::RESET, {})); }
    std::string repr() const override { return link_->repr(); }

private:
    ProxyLinkPtr link_;
};

class GrpcPerceptor final : public tarvik_core::Perceptor {
public:
    explicit GrpcPerceptor(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> compute_sensors(const Value& sensors) override {
        return run(link_, prepare(*link_, pb::COMPUTE_SENSORS, {&sensors}));
    }
    Task<void> reset() override { return run_void(link_, prepare(*link_, pb::RESET, {})); }
    std::string repr() const override { return link_->repr(); }

private:
    ProxyLinkPtr link_;
};

tarvik_core::ObjectPtr make_proxy(tarvik_core::ImplKind kind, ProxyLinkPtr link) {
    switch (kind) {
        case tarvik_core::ImplKind::teacher: return std::make_shared<GrpcTeacher>(std::move(link));
        case tarvik_core::ImplKind::controller: return std::make_shared<GrpcController>(std::move(link));
        case tarvik_core::ImplKind::perceptor: return std::make_shared<GrpcPerceptor>(std::move(link));
        case tarvik_core::ImplKind::simulator: break;  // no manager serves simulators: refused when binding
    }
    return nullptr;
}

// A manager's state, shared with the operations it hands out.
struct ManagerState {
    ManagerState(RemoteManagerKind k, ConnectionPtr c)
        : kind(k), name(tarvik_core::remote_manager_name(k)), connection(std::move(c)) {}
    RemoteManagerKind kind;
    std::string name;
    ConnectionPtr connection;
    std::mutex mutex;
    std::vector<std::weak_ptr<ProxyLink>> links;
};

using ManagerStatePtr = std::shared_ptr<ManagerState>;
using CreateCall = Call<pb::CreateRequest, pb::CreateReply>;
using StopCall = Call<pb::StopAllRequest, pb::StopAllReply>;

Task<Value> create_with_client(ManagerStatePtr state, List args, Dict kwargs) {
    const tarvik_core::CreateWithClientArgs bound = tarvik_core::bind_create_with_client(state->kind, args, kwargs);
    const tarvik_core::ImplKind kind = bound.impl->kind();
    const std::string kind_name(tarvik_core::impl_kind_name(kind));
    const auto& target = state->connection->target();

    auto call = std::make_shared<CreateCall>();
    call->request.set_session(state->connection->session());
    call->request.set_manager(wire_manager(state->kind));
    call->request.set_implementation(bound.impl->name());
    call->request.set_version(bound.version);
    co_await send<pb::CreateRequest, pb::CreateReply>(
        *state->connection, call, &Stub::PrepareAsyncCreateWithClient,
        "create_with_client of " + kind_name + " '" + bound.impl->name() + "'", target.create_timeout);
    if (call->reply.has_failure()) raise_failure(call->reply.failure());

    auto link = std::make_shared<ProxyLink>();
    link->connection = state->connection;
    link->session = call->request.session();
    link->client_id = call->reply.client_id();
    link->kind = kind_name;
    link->name = bound.impl->name();
    state->connection->opened(link->session, call->reply.lease_ms());
    {
        std::lock_guard lock(state->mutex);
        std::erase_if(state->links, [](const auto& weak) { return weak.expired(); });
        state->links.push_back(link);
    }
    co_return Value(tarvik_core::Tuple{Value(link->client_id), Value(make_proxy(kind, link))});
}

Task<Value> stop_all_clients(ManagerStatePtr state, List args, Dict kwargs) {
    if (!args.empty() || !kwargs.empty())
        throw tarvik_core::TypeError("stop_all() takes no arguments (" + std::to_string(args.size() + kwargs.size()) +
                                     " given)");
    std::vector<std::weak_ptr<ProxyLink>> links;
    {
        std::lock_guard lock(state->mutex);
        links.swap(state->links);
    }
    for (const auto& weak : links)
        if (auto link = weak.lock()) link->stopped = true;
    // A manager that never made anything has nothing on the host to stop,
    // and a runtime must be able to close while its host is down.
    if (state->kind == RemoteManagerKind::sim || links.empty() || !state->connection->is_open()) co_return Value();

    auto call = std::make_shared<StopCall>();
    call->request.set_session(state->connection->session());
    call->request.set_manager(wire_manager(state->kind));
    co_await send<pb::StopAllRequest, pb::StopAllReply>(*state->connection, call, &Stub::PrepareAsyncStopAll,
                                                        "stop_all of the " + state->name + " remote manager",
                                                        state->connection->target().timeout);
    co_return Value();
}

class GrpcRemoteManager final : public tarvik_core::RemoteManager {
public:
    GrpcRemoteManager(RemoteManagerKind kind, ConnectionPtr connection)
        : RemoteManager(kind), state_(std::make_shared<ManagerState>(kind, std::move(connection))) {}

    MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) override {
        if (method == "stop_all") return stop_all_clients(state_, args, kwargs);
        if (method == "create_with_client" && kind() != RemoteManagerKind::sim)
            return create_with_client(state_, args, kwargs);
        throw tarvik_core::AttributeError("'" + state_->name + "' remote manager has no method '" + method + "'");
    }

    void stop_watchdogs() noexcept override { state_->connection->stop_watchdogs(); }

    std::string repr() const override {
        return "<gRPC " + state_->name + " remote manager at " + state_->connection->target().address + ">";
    }

private:
    ManagerStatePtr state_;
};

}  // namespace

std::array<std::shared_ptr<tarvik_core::RemoteManager>, 4> connect(const tarvik_core::RemoteTarget& target) {
    auto connection = std::make_shared<Connection>(target);
    std::array<std::shared_ptr<tarvik_core::RemoteManager>, 4> managers;
    for (auto kind : {RemoteManagerKind::sim, RemoteManagerKind::agent, RemoteManagerKind::perceptor,
                      RemoteManagerKind::controller})
        managers[static_cast<std::size_t>(kind)] = std::make_shared<GrpcRemoteManager>(kind, connection);
    return managers;
}

}  // namespace tarvik_remote

extern "C" void tarvik_remote_connect(const tarvik_core::RemoteTarget& target,
                                      std::array<std::shared_ptr<tarvik_core::RemoteManager>, 4>& managers) {
    managers = tarvik_remote::connect(target);
}
