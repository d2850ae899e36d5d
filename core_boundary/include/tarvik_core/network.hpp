// Trainer configuration, network manager and remote managers.
//
// TrainerConfig is built from a mapping of settings. "target" says where
// remote managers are reached; it holds exactly one entry:
//   {"target": {"local": {"address": "127.0.0.1:1337"}}}
//   {"target": {"remote": {"address": "127.0.0.1:50051", "timeout": 10}}}
// "local" (the default) means the in-process transport: remote
// implementations are hosted in this process behind proxies, which is what
// tests and single-process deployments use. "remote" sends every remote-manager
// call over gRPC to the implementation host at "address" (see docs/remote.md
// for its optional settings, RemoteTarget below for their defaults).
// "model_session" sets how models run (execution providers, threads,
// spinning; see model_session.hpp) and overrides the orchestration file's
// section of the same name:
//   {"model_session": {"intra_op_threads": 2}}
// An unknown setting is a TypeError naming it.
//
// NetworkMgr reaches four remote managers (simulator, agent, perceptor,
// controller). Each call_*_mgr(method, args, kwargs) routes through the one
// overridable hook `_call_method(attr, args, kwargs)`. The base hook runs an
// asynchronous remote operation to completion on a private loop and returns
// its value, which cannot work inside a running event loop (it refuses with
// RuntimeError); a subclass for asynchronous callers returns the awaitable.
//
// Remote managers answer "create_with_client" (kwargs env_init: the
// implementation's URL, version) with the pair (client id, proxy), and
// "stop_all", which stops every proxy they created; a stopped proxy refuses
// further calls with RuntimeError.
//
// The remote managers are created on first use: with the in-process transport
// for a "local" target, and for a "remote" target by the gRPC transport
// module (tarvik_remote.transport, opened with import_module so that this
// library never links gRPC; ImportError when it was not built).
// set_remote_manager replaces one (tests, other transports). A NetworkMgr is
// meant to be driven from one event loop at a time; creating and replacing
// managers is nevertheless thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tarvik_core/async.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/model_session.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

// The settings of a "remote" target, with their defaults.
struct RemoteTarget {
    std::string address;                           // "host:port" of the implementation host
    double timeout = 10.0;                         // seconds each call may take
    double create_timeout = 60.0;                  // seconds a create_with_client may take
    std::int64_t max_message_bytes = 16 << 20;     // largest message sent or accepted
};

class TrainerConfig {
public:
    // TypeError for settings it does not know and for wrongly typed ones,
    // ValueError for unsupported targets and malformed addresses. Without
    // "target" the default local target applies. The caller's Dict is copied.
    explicit TrainerConfig(const Dict& settings);
    const Dict& settings() const noexcept { return settings_; }
    const Value& target() const noexcept { return target_; }
    // "host:port" of target.local.address, or "" when not local.
    std::string local_address() const;
    // The "model_session" settings; every field unset without them.
    const ModelSessionSettings& model_session() const noexcept { return model_session_; }
    // The remote target's settings, or nothing when the target is local.
    const std::optional<RemoteTarget>& remote_target() const noexcept { return remote_; }

private:
    Dict settings_;
    Value target_;
    ModelSessionSettings model_session_;
    std::optional<RemoteTarget> remote_;
};

// The default settings: target -> local -> address on the loopback host, port 1337.
Dict default_trainer_settings();

enum class RemoteManagerKind { sim, agent, perceptor, controller };
std::string_view remote_manager_name(RemoteManagerKind kind) noexcept;  // "simulator", ...

class RemoteManager : public Object {
public:
    explicit RemoteManager(RemoteManagerKind kind) : kind_(kind) {}
    RemoteManagerKind kind() const noexcept { return kind_; }
    // Calls a remote method by name. AttributeError for unknown methods.
    virtual MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) = 0;
    // Stops whatever watches this manager's connection; called by
    // NetworkMgr::stop_watchdogs. Synchronous, idempotent, never throws.
    virtual void stop_watchdogs() noexcept {}

private:
    RemoteManagerKind kind_;
};

// A remote manager with the in-process transport. Its operations are tasks:
// "create_with_client"(env_init, version = "latest") hosts a new instance of
// the implementation served at env_init (see network_util) and gives
// (client id, proxy); the implementation's kind must be the one the manager
// serves (agent: teachers, controller: controllers, perceptor: perceptors;
// TypeError otherwise) and the version must match it or be "latest"
// (ValueError otherwise). "stop_all" stops every proxy made so far; their
// later calls raise RuntimeError "remote <kind> '<name>' was stopped". The
// simulator manager knows only "stop_all".
std::shared_ptr<RemoteManager> make_inproc_remote_manager(RemoteManagerKind kind);

// A create_with_client call's arguments, bound as a call of
// create_with_client(env_init, version="latest") would bind them, with the
// class served at env_init (see network_util), checked against the kind of
// implementation `manager` serves. Every transport binds them this way.
// TypeError for wrong arguments or the wrong kind, KeyError for a URL that
// serves nothing.
struct CreateWithClientArgs {
    ImplClassPtr impl;
    std::string env_init;
    std::string version;
};
CreateWithClientArgs bind_create_with_client(RemoteManagerKind manager, const List& args, const Dict& kwargs);

class NetworkMgr : public Object {
public:
    using RemoteMethod = std::function<MaybeTask<Value>(const List& args, const Dict& kwargs)>;

    explicit NetworkMgr(TrainerConfig config);

    const TrainerConfig& config() const noexcept { return config_; }

    MaybeTask<Value> call_sim_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_agent_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_perceptor_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_controller_mgr(const std::string& method, List args = {}, Dict kwargs = {});

    // Stops every remote manager: simulator, agent, perceptor, controller, one
    // after the other; the first failure ends it and propagates. The base runs
    // each stop to completion (so not inside a running loop) and returns None.
    virtual MaybeTask<Value> stop_all();
    // Stops the connection watchdogs of every manager made so far;
    // synchronous and idempotent.
    virtual void stop_watchdogs();
    bool watchdogs_running() const noexcept { return watchdogs_running_; }

    // The hook every remote call goes through. `attr` performs the remote
    // operation (TypeError when empty). The base calls it and, when the result
    // is awaitable, runs it to completion with run_sync and returns the plain
    // value; inside a running event loop that is a RuntimeError (blocking would
    // stall the loop), which is why asynchronous callers use a subclass that
    // returns the awaitable instead.
    virtual MaybeTask<Value> _call_method(const RemoteMethod& attr, const List& args, const Dict& kwargs);

    // Replaces one remote manager. ValueError for null or for a manager of
    // another kind.
    void set_remote_manager(RemoteManagerKind kind, std::shared_ptr<RemoteManager> manager);
    // The manager of that kind, created with the in-process transport on first use.
    const std::shared_ptr<RemoteManager>& remote_manager(RemoteManagerKind kind);

private:
    MaybeTask<Value> call(RemoteManagerKind kind, const std::string& method, List args, Dict kwargs);
    TrainerConfig config_;
    std::mutex managers_mutex_;
    std::shared_ptr<RemoteManager> managers_[4];
    bool watchdogs_running_ = true;
};

using NetworkMgrPtr = std::shared_ptr<NetworkMgr>;

// The entry point of a transport module: fills `managers` (in
// RemoteManagerKind order) with the four managers of one connection to the
// target. Errors (bad settings) propagate.
using ConnectTransportFn = void(const RemoteTarget& target, std::array<std::shared_ptr<RemoteManager>, 4>& managers);
inline constexpr const char* kRemoteTransportModule = "tarvik_remote.transport";
inline constexpr const char* kConnectTransportSymbol = "tarvik_remote_connect";

namespace network_util {
// The URL under which the in-process transport serves an implementation class
// ("inproc://<kind>/<name>#<number>"), publishing it on first use; the same
// class object always gets the same URL. ValueError for a null class.
std::string get_tarvik_url(const ImplClassPtr& impl_cls);
// The class served at a URL that get_tarvik_url gave; KeyError for any other.
ImplClassPtr get_impl_cls(const std::string& url);
}  // namespace network_util

namespace plugin_util {
// The version of an implementation, given its class or the URL it is served
// under. ValueError for a null class or an implementation registered without
// a version; KeyError for a URL that serves nothing.
Task<std::string> get_tarvik_version(ImplClassPtr impl_cls);
Task<std::string> get_tarvik_version(std::string url);
}  // namespace plugin_util

}  // namespace tarvik_core
