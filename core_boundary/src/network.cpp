// Trainer configuration, the network manager, and the in-process transport
// that hosts "remote" implementations behind proxies in this process.
#include "tarvik_core/network.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <cstdint>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_core {

// ---------------------------------------------------------------------------
// TrainerConfig

namespace {

constexpr const char* kDefaultLocalAddress = "127.0.0.1:1337";

bool is_host_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// Accepts "host:port" with a host name, an IPv4 address or a bracketed IPv6
// address ("[::1]:1337"), and a decimal port from 1 to 65535. `setting` is
// the dotted name errors use ("target.local.address").
void check_address(const std::string& setting, const Value& address) {
    auto bad_address = [&](const std::string& problem) { throw ValueError(setting + " " + problem); };
    if (!address.is_str())
        throw TypeError(setting + " must be a string 'host:port', got " + address.type_name());
    const std::string& text = address.as_str();
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) bad_address("must be 'host:port', got " + repr(address));

    const std::string_view host(text.data(), colon);
    const std::string_view port(text.data() + colon + 1, text.size() - colon - 1);
    if (host.empty()) bad_address("has no host: " + repr(address));
    const bool bracketed = host.front() == '[';
    if (bracketed) {
        if (host.size() < 3 || host.back() != ']') bad_address("has an invalid host: " + repr(address));
    } else {
        for (char c : host)
            if (!is_host_char(c)) bad_address("has an invalid host: " + repr(address));
    }

    int number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535)
        bad_address("port must be a number from 1 to 65535, got " + repr(Value(port)));
}

// A number of seconds: an int or a float, finite and above zero.
double seconds_setting(const std::string& setting, const Value& value) {
    if (!value.is_int() && !value.is_float())
        throw TypeError(setting + " must be a number of seconds, got " + value.type_name());
    const double seconds = value.as_double();
    if (!(seconds > 0) || !std::isfinite(seconds))
        throw ValueError(setting + " must be a number of seconds above 0, got " + repr(value));
    return seconds;
}

// The settings one kind of target accepts; "address" is required by both.
void check_settings(const std::string& where, const Dict& definition, std::initializer_list<std::string_view> known) {
    for (const auto& [key, value] : definition)
        if (std::find(known.begin(), known.end(), key) == known.end())
            throw TypeError(where + " got an unexpected setting '" + key + "'");
    if (!definition.contains("address")) throw TypeError(where + " is missing its setting 'address'");
    check_address(where + ".address", definition.at("address"));
}

RemoteTarget remote_target_from(const Dict& definition) {
    check_settings("target.remote", definition, {"address", "timeout", "create_timeout", "max_message_bytes"});
    RemoteTarget target;
    target.address = definition.at("address").as_str();
    if (const Value* v = definition.find("timeout")) target.timeout = seconds_setting("target.remote.timeout", *v);
    if (const Value* v = definition.find("create_timeout"))
        target.create_timeout = seconds_setting("target.remote.create_timeout", *v);
    if (const Value* v = definition.find("max_message_bytes")) {
        // gRPC counts message sizes in an int.
        constexpr std::int64_t kLargest = std::numeric_limits<std::int32_t>::max();
        if (!v->is_int())
            throw TypeError("target.remote.max_message_bytes must be an int, got " + v->type_name());
        if (v->as_int() < 1024 || v->as_int() > kLargest)
            throw ValueError("target.remote.max_message_bytes must be from 1024 to " + std::to_string(kLargest) +
                             ", got " + std::to_string(v->as_int()));
        target.max_message_bytes = v->as_int();
    }
    return target;
}

// Checks the target and gives the remote settings when it is a remote one.
std::optional<RemoteTarget> check_target(const Value& target) {
    if (!target.is_dict()) throw TypeError("target must be a dict with one entry, got " + target.type_name());
    const Dict& kinds = target.as_dict();
    if (kinds.size() != 1)
        throw ValueError("target must have exactly one entry, got " + std::to_string(kinds.size()) + ": " +
                         repr_names(kinds.keys()));
    const auto& [kind, definition] = *kinds.begin();
    if (kind != "local" && kind != "remote")
        throw ValueError("unsupported target '" + kind + "': only 'local' and 'remote' are available");
    if (!definition.is_dict()) throw TypeError("target." + kind + " must be a dict, got " + definition.type_name());
    if (kind == "remote") return remote_target_from(definition.as_dict());
    check_settings("target.local", definition.as_dict(), {"address"});
    return std::nullopt;
}

}  // namespace

Dict default_trainer_settings() {
    return Dict{{"target", Dict{{"local", Dict{{"address", kDefaultLocalAddress}}}}}};
}

TrainerConfig::TrainerConfig(const Dict& settings) : settings_(settings) {
    for (const auto& [key, value] : settings)
        if (key != "target" && key != "model_session")
            throw TypeError("TrainerConfig got an unexpected keyword argument '" + key + "'");
    if (const Value* model_session = settings.find("model_session"))
        model_session_ = ModelSessionSettings::from_value(*model_session);
    // "target" behaves like a keyword argument with a default: leaving it out
    // means the local transport on the default address.
    if (const Value* target = settings.find("target")) {
        target_ = *target;
    } else {
        target_ = default_trainer_settings().at("target");
        settings_.set("target", target_);
    }
    remote_ = check_target(target_);
}

std::string TrainerConfig::local_address() const {
    if (!target_.is_dict()) return "";
    const Value* local = target_.as_dict().find("local");
    if (!local || !local->is_dict()) return "";
    const Value* address = local->as_dict().find("address");
    return address && address->is_str() ? address->as_str() : "";
}

// ---------------------------------------------------------------------------
// NetworkMgr

std::string_view remote_manager_name(RemoteManagerKind kind) noexcept {
    switch (kind) {
        case RemoteManagerKind::sim: return "simulator";
        case RemoteManagerKind::agent: return "agent";
        case RemoteManagerKind::perceptor: return "perceptor";
        case RemoteManagerKind::controller: return "controller";
    }
    return "unknown";
}

namespace {

std::size_t slot_of(RemoteManagerKind kind) { return static_cast<std::size_t>(kind); }

// Keeps the manager alive until its operation finishes: an awaitable handed
// back by _call_method may be awaited long after the call (and the RemoteMethod
// that made it) are gone, or after the manager was replaced.
Task<Value> keep_manager_alive(std::shared_ptr<RemoteManager> manager, Task<Value> operation) {
    co_return co_await std::move(operation);
}

// The plain value of a remote call's result, running it on a private loop if
// it is an awaitable. RuntimeError inside a running loop (see run_sync).
Value resolve(MaybeTask<Value> result, const char* operation) {
    if (!result.is_awaitable()) return std::move(result).value();
    return run_sync(std::move(result).task(), operation);
}

}  // namespace

NetworkMgr::NetworkMgr(TrainerConfig config) : config_(std::move(config)) {}

const std::shared_ptr<RemoteManager>& NetworkMgr::remote_manager(RemoteManagerKind kind) {
    std::lock_guard lock(managers_mutex_);
    auto& slot = managers_[slot_of(kind)];
    if (slot) return slot;
    if (const auto& remote = config_.remote_target()) {
        // One connection serves all four managers; slots a caller already
        // filled with set_remote_manager keep their manager.
        std::array<std::shared_ptr<RemoteManager>, 4> connected;
        try {
            import_module(kRemoteTransportModule).function<ConnectTransportFn>(kConnectTransportSymbol)(*remote, connected);
        } catch (const ImportError& e) {
            throw ImportError("target.remote needs the gRPC transport, which could not be loaded: " +
                              std::string(e.what()));
        }
        for (std::size_t i = 0; i < connected.size(); ++i)
            if (!managers_[i]) managers_[i] = std::move(connected[i]);
        if (!slot) throw RuntimeError("the gRPC transport made no " + std::string(remote_manager_name(kind)) +
                                      " remote manager");
    } else {
        slot = make_inproc_remote_manager(kind);
    }
    return slot;
}

void NetworkMgr::set_remote_manager(RemoteManagerKind kind, std::shared_ptr<RemoteManager> manager) {
    const std::string name(remote_manager_name(kind));
    if (!manager) throw ValueError("set_remote_manager(" + name + ") needs a remote manager, got None");
    if (manager->kind() != kind)
        throw ValueError("set_remote_manager(" + name + ") got a " + std::string(remote_manager_name(manager->kind())) +
                         " remote manager");
    std::lock_guard lock(managers_mutex_);
    managers_[slot_of(kind)] = std::move(manager);
}

MaybeTask<Value> NetworkMgr::call(RemoteManagerKind kind, const std::string& method, List args, Dict kwargs) {
    std::shared_ptr<RemoteManager> manager = remote_manager(kind);
    RemoteMethod attr = [manager, method](const List& a, const Dict& k) -> MaybeTask<Value> {
        MaybeTask<Value> result = manager->invoke(method, a, k);
        if (!result.is_awaitable()) return result;
        return keep_manager_alive(manager, std::move(result).task());
    };
    return _call_method(attr, args, kwargs);
}

MaybeTask<Value> NetworkMgr::call_sim_mgr(const std::string& method, List args, Dict kwargs) {
    return call(RemoteManagerKind::sim, method, std::move(args), std::move(kwargs));
}

MaybeTask<Value> NetworkMgr::call_remote_agent_mgr(const std::string& method, List args, Dict kwargs) {
    return call(RemoteManagerKind::agent, method, std::move(args), std::move(kwargs));
}

MaybeTask<Value> NetworkMgr::call_remote_perceptor_mgr(const std::string& method, List args, Dict kwargs) {
    return call(RemoteManagerKind::perceptor, method, std::move(args), std::move(kwargs));
}

MaybeTask<Value> NetworkMgr::call_remote_controller_mgr(const std::string& method, List args, Dict kwargs) {
    return call(RemoteManagerKind::controller, method, std::move(args), std::move(kwargs));
}

MaybeTask<Value> NetworkMgr::_call_method(const RemoteMethod& attr, const List& args, const Dict& kwargs) {
    if (!attr) throw TypeError("_call_method() missing required argument 'attr'");
    return resolve(attr(args, kwargs), "NetworkMgr._call_method");
}

MaybeTask<Value> NetworkMgr::stop_all() {
    // Through the public calls, so that a subclass's _call_method sees them.
    resolve(call_sim_mgr("stop_all"), "NetworkMgr.stop_all");
    resolve(call_remote_agent_mgr("stop_all"), "NetworkMgr.stop_all");
    resolve(call_remote_perceptor_mgr("stop_all"), "NetworkMgr.stop_all");
    resolve(call_remote_controller_mgr("stop_all"), "NetworkMgr.stop_all");
    return Value();
}

void NetworkMgr::stop_watchdogs() {
    std::array<std::shared_ptr<RemoteManager>, 4> managers;
    {
        std::lock_guard lock(managers_mutex_);
        std::copy(std::begin(managers_), std::end(managers_), managers.begin());
    }
    // Outside the lock: a transport may say goodbye to its host here.
    for (const auto& manager : managers)
        if (manager) manager->stop_watchdogs();
    watchdogs_running_ = false;
}

// ---------------------------------------------------------------------------
// In-process transport: the endpoint table

namespace {

// The "network" of the in-process transport: which implementation class is
// served at which URL. Each ImplClass object gets its own URL (a counter makes
// it unique), so separate orchestrations never see each other's entries and
// nothing needs resetting between tests. Entries of destroyed classes are
// dropped when a new class is published.
class EndpointTable {
public:
    static EndpointTable& instance() {
        static EndpointTable table;
        return table;
    }

    std::string publish(const ImplClassPtr& impl) {
        std::lock_guard lock(mutex_);
        if (auto it = urls_.find(impl); it != urls_.end()) return it->second;
        prune_expired();
        std::string url = "inproc://" + std::string(impl_kind_name(impl->kind())) + "/" + impl->name() + "#" +
                          std::to_string(next_id_++);
        urls_.emplace(impl, url);
        impls_.emplace(url, impl);
        return url;
    }

    // The class served at `url`, or null.
    ImplClassPtr resolve(const std::string& url) const {
        std::lock_guard lock(mutex_);
        auto it = impls_.find(url);
        return it == impls_.end() ? nullptr : it->second.lock();
    }

private:
    void prune_expired() {
        for (auto it = urls_.begin(); it != urls_.end();) {
            if (it->first.expired()) {
                impls_.erase(it->second);
                it = urls_.erase(it);
            } else {
                ++it;
            }
        }
    }

    mutable std::mutex mutex_;
    // Keyed by owner, which stays well defined after the class is destroyed
    // (a reused address never inherits an old URL).
    std::map<std::weak_ptr<const ImplClass>, std::string, std::owner_less<>> urls_;
    std::map<std::string, std::weak_ptr<const ImplClass>, std::less<>> impls_;
    std::uint64_t next_id_ = 1;
};

}  // namespace

namespace network_util {
std::string get_tarvik_url(const ImplClassPtr& impl_cls) {
    if (!impl_cls) throw ValueError("get_tarvik_url() needs an implementation class, got None");
    return EndpointTable::instance().publish(impl_cls);
}

ImplClassPtr get_impl_cls(const std::string& url) {
    ImplClassPtr impl = EndpointTable::instance().resolve(url);
    if (!impl) throw KeyError("no implementation is served at " + url);
    return impl;
}
}  // namespace network_util

namespace {
ImplClassPtr resolve_url(const std::string& url) { return network_util::get_impl_cls(url); }
}  // namespace

namespace plugin_util {
namespace {
// An implementation registered without a version has none to report; callers
// fall back to whatever the remote side serves as "latest".
const std::string& declared_version(const ImplClass& impl) {
    if (impl.version().empty())
        throw ValueError("implementation '" + impl.name() + "' does not declare a version");
    return impl.version();
}
}  // namespace

Task<std::string> get_tarvik_version(ImplClassPtr impl_cls) {
    if (!impl_cls) throw ValueError("get_tarvik_version() needs an implementation class, got None");
    co_return declared_version(*impl_cls);
}

Task<std::string> get_tarvik_version(std::string url) { co_return declared_version(*resolve_url(url)); }
}  // namespace plugin_util

// ---------------------------------------------------------------------------
// In-process transport: proxies and remote managers

namespace {

// What a proxy and the manager that made it share: the hosted instance, until
// the manager stops it.
class ProxyLink {
public:
    ProxyLink(std::shared_ptr<Object> instance, const ImplClass& impl, std::string url)
        : instance_(std::move(instance)), kind_(impl_kind_name(impl.kind())), name_(impl.name()), url_(std::move(url)) {}

    // The hosted instance as T (checked when the proxy was made);
    // RuntimeError once stopped.
    template <class T>
    std::shared_ptr<T> acquire() const {
        std::lock_guard lock(mutex_);
        if (!instance_) throw RuntimeError("remote " + kind_ + " '" + name_ + "' was stopped");
        return std::dynamic_pointer_cast<T>(instance_);
    }

    // Releases the hosted instance; an operation already running keeps its
    // own reference and finishes.
    void stop() {
        std::lock_guard lock(mutex_);
        instance_.reset();
    }

    std::string repr() const { return "<remote " + kind_ + " '" + name_ + "' at " + url_ + ">"; }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<Object> instance_;
    std::string kind_;
    std::string name_;
    std::string url_;
};

using ProxyLinkPtr = std::shared_ptr<ProxyLink>;

// Runs one operation of the hosted instance. Arguments are references: the
// proxy's caller awaits the operation at once, as with a local instance.
template <class Impl, class R, class... Params, class... Args>
Task<R> forward(ProxyLinkPtr link, Task<R> (Impl::*operation)(Params...), const Args&... args) {
    std::shared_ptr<Impl> target = link->acquire<Impl>();
    if constexpr (std::is_void_v<R>) {
        co_await ((*target).*operation)(args...);
    } else {
        co_return co_await ((*target).*operation)(args...);
    }
}

class RemoteTeacher final : public Teacher {
public:
    explicit RemoteTeacher(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> filtered_sensor_space() override { return forward(link_, &Teacher::filtered_sensor_space); }
    Task<void> reset() override { return forward(link_, &Teacher::reset); }
    Task<Value> transform_sensors(const Value& obs, const Value& extra) override {
        return forward(link_, &Teacher::transform_sensors, obs, extra);
    }
    Task<Value> compute_action_mask(const Value& obs, const Value& previous_action) override {
        return forward(link_, &Teacher::compute_action_mask, obs, previous_action);
    }
    Task<Value> transform_action(const Value& obs, const Value& action) override {
        return forward(link_, &Teacher::transform_action, obs, action);
    }
    Task<Value> compute_reward(const Value& obs, const Value& action, const Value& sim_reward) override {
        return forward(link_, &Teacher::compute_reward, obs, action, sim_reward);
    }
    Task<Value> compute_success_criteria(const Value& obs, const Value& action) override {
        return forward(link_, &Teacher::compute_success_criteria, obs, action);
    }
    Task<Value> compute_termination(const Value& obs, const Value& action) override {
        return forward(link_, &Teacher::compute_termination, obs, action);
    }
    std::string repr() const override { return link_->repr(); }

private:
    ProxyLinkPtr link_;
};

class RemoteController final : public Controller {
public:
    explicit RemoteController(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> compute_action(const Value& obs, const Value& previous_action) override {
        return forward(link_, &Controller::compute_action, obs, previous_action);
    }
    Task<Value> filtered_sensor_space() override { return forward(link_, &Controller::filtered_sensor_space); }
    Task<void> reset() override { return forward(link_, &Controller::reset); }
    std::string repr() const override { return link_->repr(); }

private:
    ProxyLinkPtr link_;
};

class RemotePerceptor final : public Perceptor {
public:
    explicit RemotePerceptor(ProxyLinkPtr link) : link_(std::move(link)) {}

    Task<Value> compute_sensors(const Value& sensors) override {
        return forward(link_, &Perceptor::compute_sensors, sensors);
    }
    Task<void> reset() override { return forward(link_, &Perceptor::reset); }
    std::string repr() const override { return link_->repr(); }

private:
    ProxyLinkPtr link_;
};

// The implementation kind a manager hosts.
ImplKind served_kind(RemoteManagerKind kind) {
    switch (kind) {
        case RemoteManagerKind::controller: return ImplKind::controller;
        case RemoteManagerKind::perceptor: return ImplKind::perceptor;
        default: return ImplKind::teacher;
    }
}

// A proxy around `instance`; TypeError when the factory made the wrong kind.
ObjectPtr make_proxy(ImplKind kind, const std::shared_ptr<Object>& instance, const ProxyLinkPtr& link,
                     const ImplClass& impl) {
    const bool fits = (kind == ImplKind::teacher && std::dynamic_pointer_cast<Teacher>(instance)) ||
                      (kind == ImplKind::controller && std::dynamic_pointer_cast<Controller>(instance)) ||
                      (kind == ImplKind::perceptor && std::dynamic_pointer_cast<Perceptor>(instance));
    if (!fits) {
        const std::string made = instance ? instance->class_name() + " object" : "None";
        throw TypeError("implementation '" + impl.name() + "' made " + made + ", not a " +
                        std::string(impl_kind_name(kind)));
    }
    switch (kind) {
        case ImplKind::teacher: return std::make_shared<RemoteTeacher>(link);
        case ImplKind::controller: return std::make_shared<RemoteController>(link);
        case ImplKind::perceptor: return std::make_shared<RemotePerceptor>(link);
        case ImplKind::simulator: break;  // never served: `fits` refused it above
    }
    return nullptr;
}

// A manager's state, shared with the operations it hands out so that they
// stay valid whoever holds the manager.
struct ManagerState {
    explicit ManagerState(RemoteManagerKind k) : kind(k), name(remote_manager_name(k)) {}
    RemoteManagerKind kind;
    std::string name;
    std::mutex mutex;
    std::vector<std::weak_ptr<ProxyLink>> links;  // proxies that nobody holds any more drop out
    std::uint64_t next_client = 1;
};

using ManagerStatePtr = std::shared_ptr<ManagerState>;

Task<Value> create_with_client(ManagerStatePtr state, List args, Dict kwargs) {
    const CreateWithClientArgs call = bind_create_with_client(state->kind, args, kwargs);
    const ImplClassPtr& impl = call.impl;
    const ImplKind kind = impl->kind();
    if (call.version != "latest" && call.version != impl->version())
        throw ValueError("version '" + call.version + "' of " + std::string(impl_kind_name(kind)) + " '" +
                         impl->name() + "' is not served at " + call.env_init + " (it serves version '" +
                         impl->version() + "')");

    std::shared_ptr<Object> instance = impl->instantiate();
    auto link = std::make_shared<ProxyLink>(instance, *impl, call.env_init);
    ObjectPtr proxy = make_proxy(kind, instance, link, *impl);

    std::string client_id;
    {
        std::lock_guard lock(state->mutex);
        std::erase_if(state->links, [](const auto& weak) { return weak.expired(); });
        state->links.push_back(link);
        client_id = state->name + "-client-" + std::to_string(state->next_client++);
    }
    co_return Value(Tuple{Value(std::move(client_id)), Value(std::move(proxy))});
}

Task<Value> stop_all_clients(ManagerStatePtr state, List args, Dict kwargs) {
    if (!args.empty() || !kwargs.empty())
        throw TypeError("stop_all() takes no arguments (" + std::to_string(args.size() + kwargs.size()) + " given)");
    std::vector<std::weak_ptr<ProxyLink>> links;
    {
        std::lock_guard lock(state->mutex);
        links.swap(state->links);
    }
    for (const auto& weak : links)
        if (auto link = weak.lock()) link->stop();
    co_return Value();
}

class InprocRemoteManager final : public RemoteManager {
public:
    explicit InprocRemoteManager(RemoteManagerKind kind)
        : RemoteManager(kind), state_(std::make_shared<ManagerState>(kind)) {}

    MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) override {
        if (method == "stop_all") return stop_all_clients(state_, args, kwargs);
        // The simulator manager hosts no implementations.
        if (method == "create_with_client" && kind() != RemoteManagerKind::sim)
            return create_with_client(state_, args, kwargs);
        throw AttributeError("'" + state_->name + "' remote manager has no method '" + method + "'");
    }

    std::string repr() const override { return "<in-process " + state_->name + " remote manager>"; }

private:
    ManagerStatePtr state_;
};

}  // namespace

CreateWithClientArgs bind_create_with_client(RemoteManagerKind manager, const List& args, const Dict& kwargs) {
    constexpr std::array<std::string_view, 2> names{"env_init", "version"};
    if (args.size() > names.size())
        throw TypeError("create_with_client() takes 2 arguments but " + std::to_string(args.size()) + " were given");
    std::array<const Value*, 2> bound{nullptr, nullptr};
    for (std::size_t i = 0; i < args.size(); ++i) bound[i] = &args[i];
    for (const auto& [key, value] : kwargs) {
        std::size_t i = 0;
        while (i < names.size() && names[i] != key) ++i;
        if (i == names.size())
            throw TypeError("create_with_client() got an unexpected keyword argument '" + key + "'");
        if (bound[i]) throw TypeError("create_with_client() got multiple values for argument '" + key + "'");
        bound[i] = &value;
    }
    if (!bound[0]) throw TypeError("create_with_client() missing required argument 'env_init'");
    for (std::size_t i = 0; i < names.size(); ++i)
        if (bound[i] && !bound[i]->is_str())
            throw TypeError("create_with_client() argument '" + std::string(names[i]) + "' must be a str, got " +
                            bound[i]->type_name());
    CreateWithClientArgs call{resolve_url(bound[0]->as_str()), bound[0]->as_str(),
                              bound[1] ? bound[1]->as_str() : "latest"};
    const ImplKind kind = served_kind(manager);
    if (call.impl->kind() != kind)
        throw TypeError("the " + std::string(remote_manager_name(manager)) + " remote manager serves " +
                        std::string(impl_kind_name(kind)) + "s, but " + call.env_init + " serves " +
                        std::string(impl_kind_name(call.impl->kind())) + " '" + call.impl->name() + "'");
    return call;
}

std::shared_ptr<RemoteManager> make_inproc_remote_manager(RemoteManagerKind kind) {
    return std::make_shared<InprocRemoteManager>(kind);
}

}  // namespace tarvik_core
