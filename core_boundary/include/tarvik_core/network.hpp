// Trainer configuration, network manager and remote managers.
//
// TrainerConfig is built from a mapping of settings. The one setting today is
// "target", where remote managers are reached:
//   {"target": {"local": {"address": "127.0.0.1:1337"}}}
// "local" means the in-process transport: remote implementations are hosted
// in this process behind proxies, which is what tests and single-process
// deployments use. An unknown setting is a TypeError naming it.
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
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tarvik_core/async.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

class TrainerConfig {
public:
    // TypeError for settings it does not know and for wrongly typed ones.
    explicit TrainerConfig(const Dict& settings);
    const Dict& settings() const noexcept { return settings_; }
    const Value& target() const noexcept { return target_; }
    // "host:port" of target.local.address, or "" when not local.
    std::string local_address() const;

private:
    Dict settings_;
    Value target_;
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

private:
    RemoteManagerKind kind_;
};

// A remote manager with the in-process transport.
std::shared_ptr<RemoteManager> make_inproc_remote_manager(RemoteManagerKind kind);

class NetworkMgr : public Object {
public:
    using RemoteMethod = std::function<MaybeTask<Value>(const List& args, const Dict& kwargs)>;

    explicit NetworkMgr(TrainerConfig config);

    const TrainerConfig& config() const noexcept { return config_; }

    MaybeTask<Value> call_sim_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_agent_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_perceptor_mgr(const std::string& method, List args = {}, Dict kwargs = {});
    MaybeTask<Value> call_remote_controller_mgr(const std::string& method, List args = {}, Dict kwargs = {});

    // Stops every remote manager (base: one after the other, synchronously).
    virtual MaybeTask<Value> stop_all();
    // Stops the connection watchdogs; synchronous.
    virtual void stop_watchdogs();

    // The hook every remote call goes through. `attr` performs the remote
    // operation (TypeError when empty).
    virtual MaybeTask<Value> _call_method(const RemoteMethod& attr, const List& args, const Dict& kwargs);

    // Replaces one remote manager (tests, other transports).
    void set_remote_manager(RemoteManagerKind kind, std::shared_ptr<RemoteManager> manager);
    const std::shared_ptr<RemoteManager>& remote_manager(RemoteManagerKind kind);

private:
    MaybeTask<Value> call(RemoteManagerKind kind, const std::string& method, List args, Dict kwargs);
    TrainerConfig config_;
    std::shared_ptr<RemoteManager> managers_[4];
    bool watchdogs_running_ = true;
};

using NetworkMgrPtr = std::shared_ptr<NetworkMgr>;

namespace network_util {
// The URL under which the in-process transport serves an implementation class.
std::string get_tarvik_url(const ImplClassPtr& impl_cls);
}  // namespace network_util

namespace plugin_util {
// The version of an implementation, given its class or the URL it is served
// under. ValueError for a null class; KeyError for a URL that serves nothing.
Task<std::string> get_tarvik_version(ImplClassPtr impl_cls);
Task<std::string> get_tarvik_version(std::string url);
}  // namespace plugin_util

}  // namespace tarvik_core
