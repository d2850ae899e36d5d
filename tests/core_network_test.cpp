// Trainer configuration, the network manager's routing through _call_method,
// stop_all, and remote creation through the in-process transport.
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/network.hpp"

using namespace tarvik_core;
using namespace std::chrono_literals;

namespace {

using tarvik_test::expect_error;

Dict remote_target(Dict settings) { return Dict{{"target", Dict{{"remote", std::move(settings)}}}}; }

Dict local_target(Value address) { return Dict{{"target", Dict{{"local", Dict{{"address", std::move(address)}}}}}}; }

NetworkMgr make_mgr() { return NetworkMgr(TrainerConfig(default_trainer_settings())); }

// ---------------------------------------------------------------------------
// TrainerConfig

TEST(TrainerConfigTest, DefaultSettingsAreTheLoopbackHostOnPort1337) {
    TrainerConfig config(default_trainer_settings());
    EXPECT_EQ(config.local_address(), "127.0.0.1:1337");
}

TEST(TrainerConfigTest, MissingTargetMeansTheDefaultWithoutTouchingTheCallersDict) {
    Dict settings;
    TrainerConfig config(settings);
    EXPECT_EQ(config.local_address(), "127.0.0.1:1337");
    EXPECT_TRUE(config.settings().contains("target"));
    EXPECT_TRUE(settings.empty()) << "the caller's mapping must not gain the default";
}

TEST(TrainerConfigTest, UnknownSettingIsATypeErrorNamingIt) {
    Dict settings = default_trainer_settings();
    settings.set("timeout", 3);
    expect_error([&] { TrainerConfig{settings}; }, "TypeError",
                 "TrainerConfig got an unexpected keyword argument 'timeout'");
}

TEST(TrainerConfigTest, AcceptsHostNamesAndBracketedIpv6) {
    for (const char* address : {"localhost:1", "sim-01.lab_net:8080", "[::1]:65535", "10.0.0.2:1337"}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(TrainerConfig(local_target(address)).local_address(), address);
    }
}

TEST(TrainerConfigTest, RemoteTargetTakesItsSettingsOrTheirDefaults) {
    TrainerConfig plain(remote_target(Dict{{"address", "[::1]:50051"}}));
    ASSERT_TRUE(plain.remote_target());
    EXPECT_EQ(plain.remote_target()->address, "[::1]:50051");
    EXPECT_EQ(plain.remote_target()->timeout, RemoteTarget{}.timeout);
    EXPECT_EQ(plain.local_address(), "");

    TrainerConfig tuned(remote_target(
        Dict{{"address", "h:1"}, {"timeout", 0.25}, {"create_timeout", 3}, {"max_message_bytes", 4096}}));
    EXPECT_EQ(tuned.remote_target()->timeout, 0.25);
    EXPECT_EQ(tuned.remote_target()->create_timeout, 3.0);
    EXPECT_EQ(tuned.remote_target()->max_message_bytes, 4096);
    EXPECT_FALSE(TrainerConfig(default_trainer_settings()).remote_target());
}

struct BadSettings {
    const char* label;
    Dict settings;
    const char* kind;
    std::string message;
};

TEST(TrainerConfigTest, RejectsMalformedTargets) {
    const std::string port_error = "target.local.address port must be a number from 1 to 65535, got ";
    const std::vector<BadSettings> cases = {
        {"target not a dict", Dict{{"target", 5}}, "TypeError", "target must be a dict with one entry, got int"},
        {"empty target", Dict{{"target", Dict{}}}, "ValueError", "target must have exactly one entry, got 0: []"},
        {"two targets",
         Dict{{"target", Dict{{"local", Dict{{"address", "a:1"}}}, {"cloud", Dict{}}}}},
         "ValueError",
         "target must have exactly one entry, got 2: ['local', 'cloud']"},
        {"other kind", Dict{{"target", Dict{{"cluster", Dict{}}}}}, "ValueError",
         "unsupported target 'cluster': only 'local' and 'remote' are available"},
        {"local not a dict", Dict{{"target", Dict{{"local", "127.0.0.1:1"}}}}, "TypeError",
         "target.local must be a dict, got str"},
        {"extra local setting", Dict{{"target", Dict{{"local", Dict{{"address", "a:1"}, {"port", 1}}}}}}, "TypeError",
         "target.local got an unexpected setting 'port'"},
        {"no address", Dict{{"target", Dict{{"local", Dict{}}}}}, "TypeError",
         "target.local is missing its setting 'address'"},
        {"address not a string", local_target(1337), "TypeError",
         "target.local.address must be a string 'host:port', got int"},
        {"no port", local_target("localhost"), "ValueError",
         "target.local.address must be 'host:port', got 'localhost'"},
        {"no host", local_target(":1337"), "ValueError", "target.local.address has no host: ':1337'"},
        {"space in host", local_target("my host:1"), "ValueError",
         "target.local.address has an invalid host: 'my host:1'"},
        {"bare ipv6", local_target("::1:1337"), "ValueError", "target.local.address has an invalid host: '::1:1337'"},
        {"port zero", local_target("h:0"), "ValueError", port_error + "'0'"},
        {"port too large", local_target("h:65536"), "ValueError", port_error + "'65536'"},
        {"signed port", local_target("h:+80"), "ValueError", port_error + "'+80'"},
        {"trailing junk", local_target("h:80x"), "ValueError", port_error + "'80x'"},
        {"empty port", local_target("h:"), "ValueError", port_error + "''"},
        {"remote without address", remote_target(Dict{{"timeout", 1}}), "TypeError",
         "target.remote is missing its setting 'address'"},
        {"remote bad address", remote_target(Dict{{"address", "h:0"}}), "ValueError",
         "target.remote.address port must be a number from 1 to 65535, got '0'"},
        {"remote unknown setting", remote_target(Dict{{"address", "h:1"}, {"retries", 3}}), "TypeError",
         "target.remote got an unexpected setting 'retries'"},
        {"timeout not a number", remote_target(Dict{{"address", "h:1"}, {"timeout", "5"}}), "TypeError",
         "target.remote.timeout must be a number of seconds, got str"},
        {"timeout zero", remote_target(Dict{{"address", "h:1"}, {"timeout", 0}}), "ValueError",
         "target.remote.timeout must be a number of seconds above 0, got 0"},
        {"create_timeout nan", remote_target(Dict{{"address", "h:1"}, {"create_timeout", std::nan("")}}),
         "ValueError", "target.remote.create_timeout must be a number of seconds above 0, got nan"},
        {"tiny message limit", remote_target(Dict{{"address", "h:1"}, {"max_message_bytes", 10}}), "ValueError",
         "target.remote.max_message_bytes must be from 1024 to 2147483647, got 10"},
        {"message limit not an int", remote_target(Dict{{"address", "h:1"}, {"max_message_bytes", 1e6}}),
         "TypeError", "target.remote.max_message_bytes must be an int, got float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expect_error([&] { TrainerConfig{c.settings}; }, c.kind, c.message);
    }
}

// ---------------------------------------------------------------------------
// NetworkMgr routing

// A remote manager that records which methods it was asked for and answers
// with a task (or a plain value) giving "<manager>.<method>".
class ScriptedManager : public RemoteManager {
public:
    ScriptedManager(RemoteManagerKind kind, std::shared_ptr<std::vector<std::string>> log)
        : RemoteManager(kind), log_(std::move(log)) {}

    bool asynchronous = true;
    std::string failing_method;  // its task raises RuntimeError "<manager> down"

    MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) override {
        const std::string label = std::string(remote_manager_name(kind())) + "." + method;
        log_->push_back("invoke " + label);
        if (!asynchronous) return Value(label);
        return respond(label, method == failing_method);
    }

private:
    // A member coroutine: it uses `this` when it runs, however late that is.
    Task<Value> respond(std::string label, bool fail) {
        log_->push_back("run " + label);
        if (fail) throw RuntimeError(std::string(remote_manager_name(kind())) + " down");
        co_return Value(label);
    }

    std::shared_ptr<std::vector<std::string>> log_;
};

// What an asynchronous subclass does: records every call and hands the
// result back untouched.
class SpyNetworkMgr : public NetworkMgr {
public:
    using NetworkMgr::NetworkMgr;
    std::vector<std::string> seen;

    MaybeTask<Value> _call_method(const RemoteMethod& attr, const List& args, const Dict& kwargs) override {
        seen.push_back(tarvik_core::repr(Value(args)) + " " + tarvik_core::repr(Value(kwargs)));
        return attr(args, kwargs);
    }
};

class NetworkMgrTest : public ::testing::Test {
protected:
    template <class Mgr>
    std::vector<std::shared_ptr<ScriptedManager>> install(Mgr& mgr) {
        std::vector<std::shared_ptr<ScriptedManager>> managers;
        for (auto kind : {RemoteManagerKind::sim, RemoteManagerKind::agent, RemoteManagerKind::perceptor,
                          RemoteManagerKind::controller}) {
            managers.push_back(std::make_shared<ScriptedManager>(kind, log));
            mgr.set_remote_manager(kind, managers.back());
        }
        return managers;
    }

    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
};

TEST_F(NetworkMgrTest, SubclassSeesEveryCallAndEachReachesItsOwnManager) {
    SpyNetworkMgr mgr{TrainerConfig(default_trainer_settings())};
    install(mgr);
    std::vector<MaybeTask<Value>> results;
    results.push_back(mgr.call_sim_mgr("reset_sim", List{1}));
    results.push_back(mgr.call_remote_agent_mgr("create_with_client", {}, Dict{{"env_init", "u"}}));
    results.push_back(mgr.call_remote_perceptor_mgr("ping", List{"a", 2.5}));
    results.push_back(mgr.call_remote_controller_mgr("stop_all"));

    EXPECT_EQ(mgr.seen, (std::vector<std::string>{"[1] {}", "[] {'env_init': 'u'}", "['a', 2.5] {}", "[] {}"}));
    EXPECT_EQ(*log, (std::vector<std::string>{"invoke simulator.reset_sim", "invoke agent.create_with_client",
                                              "invoke perceptor.ping", "invoke controller.stop_all"}))
        << "handing back the awaitable must not start the operation";

    std::vector<std::string> values;
    for (auto& result : results) {
        ASSERT_TRUE(result.is_awaitable());
        values.push_back(run_sync(std::move(result).task()).as_str());
    }
    EXPECT_EQ(values, (std::vector<std::string>{"simulator.reset_sim", "agent.create_with_client", "perceptor.ping",
                                                "controller.stop_all"}));
}

TEST_F(NetworkMgrTest, BaseRunsAnAwaitableResultToCompletionOutsideALoop) {
    NetworkMgr mgr = make_mgr();
    install(mgr);
    MaybeTask<Value> result = mgr.call_remote_agent_mgr("ping");
    ASSERT_FALSE(result.is_awaitable());
    EXPECT_EQ(std::move(result).value(), Value("agent.ping"));
    EXPECT_EQ(*log, (std::vector<std::string>{"invoke agent.ping", "run agent.ping"}));
}

TEST_F(NetworkMgrTest, BaseReturnsAPlainResultAsItIs) {
    NetworkMgr mgr = make_mgr();
    install(mgr)[3]->asynchronous = false;
    MaybeTask<Value> result = mgr.call_remote_controller_mgr("ping");
    ASSERT_FALSE(result.is_awaitable());
    EXPECT_EQ(std::move(result).value(), Value("controller.ping"));
}

TEST_F(NetworkMgrTest, BaseRefusesToBlockInsideARunningLoop) {
    NetworkMgr mgr = make_mgr();
    install(mgr);
    expect_error([&] { run_sync([&]() -> Task<void> { (void)mgr.call_remote_agent_mgr("ping"); co_return; }()); },
                 "RuntimeError",
                 "NetworkMgr._call_method() cannot be called from a running event loop: it would block the loop "
                 "it runs on; await the asynchronous operation instead");
    EXPECT_EQ(*log, (std::vector<std::string>{"invoke agent.ping"})) << "the refused operation never ran";
}

TEST_F(NetworkMgrTest, EmptyAttrIsATypeError) {
    NetworkMgr mgr = make_mgr();
    expect_error([&] { (void)mgr._call_method(NetworkMgr::RemoteMethod{}, {}, {}); }, "TypeError",
                 "_call_method() missing required argument 'attr'");
}

TEST_F(NetworkMgrTest, StopAllStopsTheFourManagersInOrderThroughTheHook) {
    SpyNetworkMgr mgr{TrainerConfig(default_trainer_settings())};
    install(mgr);
    MaybeTask<Value> result = mgr.stop_all();
    ASSERT_FALSE(result.is_awaitable()) << "the base stop_all is synchronous even when the hook hands back tasks";
    EXPECT_TRUE(std::move(result).value().is_none());
    EXPECT_EQ(mgr.seen.size(), 4u);
    EXPECT_EQ(*log, (std::vector<std::string>{"invoke simulator.stop_all", "run simulator.stop_all",
                                              "invoke agent.stop_all", "run agent.stop_all",
                                              "invoke perceptor.stop_all", "run perceptor.stop_all",
                                              "invoke controller.stop_all", "run controller.stop_all"}));
    mgr.stop_watchdogs();
    mgr.stop_watchdogs();
    EXPECT_FALSE(mgr.watchdogs_running());
}

TEST_F(NetworkMgrTest, StopAllEndsAtTheFirstFailure) {
    NetworkMgr mgr = make_mgr();
    install(mgr)[1]->failing_method = "stop_all";
    expect_error([&] { (void)mgr.stop_all(); }, "RuntimeError", "agent down");
    EXPECT_EQ(*log, (std::vector<std::string>{"invoke simulator.stop_all", "run simulator.stop_all",
                                              "invoke agent.stop_all", "run agent.stop_all"}));
}

TEST_F(NetworkMgrTest, PendingOperationKeepsItsManagerAliveAfterReplacement) {
    SpyNetworkMgr mgr{TrainerConfig(default_trainer_settings())};
    MaybeTask<Value> pending = [&] {
        auto original = std::make_shared<ScriptedManager>(RemoteManagerKind::agent, log);
        mgr.set_remote_manager(RemoteManagerKind::agent, original);
        return mgr.call_remote_agent_mgr("ping");
    }();
    mgr.set_remote_manager(RemoteManagerKind::agent, std::make_shared<ScriptedManager>(RemoteManagerKind::agent, log));
    EXPECT_EQ(run_sync(std::move(pending).task()), Value("agent.ping"));
}

TEST_F(NetworkMgrTest, SetRemoteManagerRejectsNullAndTheWrongKind) {
    NetworkMgr mgr = make_mgr();
    expect_error([&] { mgr.set_remote_manager(RemoteManagerKind::agent, nullptr); }, "ValueError",
                 "set_remote_manager(agent) needs a remote manager, got None");
    expect_error(
        [&] {
            mgr.set_remote_manager(RemoteManagerKind::agent,
                                   std::make_shared<ScriptedManager>(RemoteManagerKind::controller, log));
        },
        "ValueError", "set_remote_manager(agent) got a controller remote manager");
}

// ---------------------------------------------------------------------------
// In-process transport

// Implementations that record what reaches them, so a test can tell that a
// proxy forwarded the call with its arguments.
using CallLog = std::shared_ptr<std::vector<std::string>>;

class RecordingTeacher : public Teacher {
public:
    explicit RecordingTeacher(CallLog log) : log_(std::move(log)) {}
    Task<Value> filtered_sensor_space() override { co_return note("filtered_sensor_space", {}); }
    Task<void> reset() override { note("reset", {}); co_return; }
    Task<Value> transform_sensors(const Value& o, const Value& e) override { co_return note("transform_sensors", {o, e}); }
    Task<Value> compute_action_mask(const Value& o, const Value& p) override { co_return note("compute_action_mask", {o, p}); }
    Task<Value> transform_action(const Value& o, const Value& a) override { co_return note("transform_action", {o, a}); }
    Task<Value> compute_reward(const Value& o, const Value& a, const Value& r) override { co_return note("compute_reward", {o, a, r}); }
    Task<Value> compute_success_criteria(const Value& o, const Value& a) override { co_return note("compute_success_criteria", {o, a}); }
    Task<Value> compute_termination(const Value& o, const Value& a) override { co_return note("compute_termination", {o, a}); }

private:
    Value note(const std::string& op, List args) {
        log_->push_back(op + tarvik_core::repr(Value(Tuple(args.items()))));
        return Value(op);
    }
    CallLog log_;
};

class RecordingController : public Controller {
public:
    explicit RecordingController(CallLog log) : log_(std::move(log)) {}
    Task<Value> compute_action(const Value& obs, const Value& previous) override {
        log_->push_back("compute_action" + tarvik_core::repr(Value(Tuple{obs, previous})));
        co_return Value(2);
    }
    Task<Value> filtered_sensor_space() override { co_return Value(List{"x"}); }
    Task<void> reset() override { log_->push_back("reset"); co_return; }

private:
    CallLog log_;
};

class RecordingPerceptor : public Perceptor {
public:
    explicit RecordingPerceptor(CallLog log) : log_(std::move(log)) {}
    Task<Value> compute_sensors(const Value& sensors) override {
        log_->push_back("compute_sensors" + tarvik_core::repr(sensors));
        co_return Value(Dict{{"speed", 4}});
    }
    Task<void> reset() override { log_->push_back("reset"); co_return; }

private:
    CallLog log_;
};

// A teacher whose reward takes a while, to stop its manager meanwhile.
class SlowTeacher : public Teacher {
public:
    Task<Value> compute_reward(const Value&, const Value&, const Value& reward) override {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, 20ms);
        co_await timer.async_wait(boost::asio::use_awaitable);
        co_return Value(reward.as_double() * 2);
    }
};

class InprocTransportTest : public ::testing::Test {
protected:
    template <class T>
    ImplClassPtr impl(std::string name, ImplKind kind, std::string version = "1.2.0") {
        auto log = calls;
        auto instances = made;
        return std::make_shared<const ImplClass>(
            std::move(name), kind,
            [log, instances]() -> std::shared_ptr<Object> {
                auto instance = std::make_shared<T>(log);
                instances->push_back(instance);
                return instance;
            },
            std::move(version), "host");
    }

    // create_with_client through the network manager; the (client id, proxy) pair.
    Tuple create(RemoteManagerKind kind, Dict kwargs, List args = {}) {
        MaybeTask<Value> result = [&] {
            switch (kind) {
                case RemoteManagerKind::agent: return mgr.call_remote_agent_mgr("create_with_client", args, kwargs);
                case RemoteManagerKind::controller:
                    return mgr.call_remote_controller_mgr("create_with_client", args, kwargs);
                case RemoteManagerKind::perceptor:
                    return mgr.call_remote_perceptor_mgr("create_with_client", args, kwargs);
                default: return mgr.call_sim_mgr("create_with_client", args, kwargs);
            }
        }();
        return std::move(result).value().as_tuple();
    }

    CallLog calls = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::vector<std::weak_ptr<Object>>> made = std::make_shared<std::vector<std::weak_ptr<Object>>>();
    NetworkMgr mgr = make_mgr();
    ImplClassPtr coach = impl<RecordingTeacher>("coach", ImplKind::teacher);
    ImplClassPtr pilot = impl<RecordingController>("pilot", ImplKind::controller, "0.3");
    ImplClassPtr radar = impl<RecordingPerceptor>("radar", ImplKind::perceptor);
};

TEST_F(InprocTransportTest, CreateWithClientGivesAClientIdAndAProxyOfItsOwn) {
    const std::string url = network_util::get_tarvik_url(coach);
    Tuple first = create(RemoteManagerKind::agent, Dict{{"env_init", url}, {"version", "1.2.0"}});
    Tuple second = create(RemoteManagerKind::agent, Dict{{"env_init", url}, {"version", "1.2.0"}});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], Value("agent-client-1"));
    EXPECT_EQ(second[0], Value("agent-client-2"));
    auto proxy = first[1].as<Teacher>("a teacher proxy");
    EXPECT_EQ(proxy->repr(), "<remote teacher 'coach' at " + url + ">");
    EXPECT_NE(proxy, second[1].as<Teacher>("a teacher proxy"));
    EXPECT_EQ(made->size(), 2u) << "each client hosts its own instance";
}

TEST_F(InprocTransportTest, TeacherProxyForwardsEveryOperationWithItsArguments) {
    auto proxy = create(RemoteManagerKind::agent, Dict{{"env_init", network_util::get_tarvik_url(coach)}})[1]
                     .as<Teacher>("a teacher proxy");
    const Value obs = Dict{{"x", 1}};
    std::vector<Value> results;
    results.push_back(run_sync(proxy->filtered_sensor_space()));
    results.push_back(run_sync(proxy->transform_sensors(obs, Value())));
    results.push_back(run_sync(proxy->compute_action_mask(obs, 3)));
    results.push_back(run_sync(proxy->transform_action(obs, 1)));
    results.push_back(run_sync(proxy->compute_reward(obs, 1, 0.5)));
    results.push_back(run_sync(proxy->compute_success_criteria(obs, 1)));
    results.push_back(run_sync(proxy->compute_termination(obs, 1)));
    run_sync(proxy->reset());
    EXPECT_EQ(*calls, (std::vector<std::string>{
                          "filtered_sensor_space()", "transform_sensors({'x': 1}, None)",
                          "compute_action_mask({'x': 1}, 3)", "transform_action({'x': 1}, 1)",
                          "compute_reward({'x': 1}, 1, 0.5)", "compute_success_criteria({'x': 1}, 1)",
                          "compute_termination({'x': 1}, 1)", "reset()"}));
    EXPECT_EQ(results.back(), Value("compute_termination")) << "results come back from the hosted instance";
}

TEST_F(InprocTransportTest, ControllerAndPerceptorProxiesForward) {
    auto controller = create(RemoteManagerKind::controller, Dict{{"env_init", network_util::get_tarvik_url(pilot)}})[1]
                          .as<Controller>("a controller proxy");
    auto perceptor = create(RemoteManagerKind::perceptor, Dict{{"env_init", network_util::get_tarvik_url(radar)}})[1]
                         .as<Perceptor>("a perceptor proxy");
    EXPECT_EQ(run_sync(controller->compute_action(Value(7), Value())), Value(2));
    EXPECT_EQ(run_sync(controller->filtered_sensor_space()), Value(List{"x"}));
    run_sync(controller->reset());
    EXPECT_EQ(run_sync(perceptor->compute_sensors(Value(Dict{{"x", 1}}))), Value(Dict{{"speed", 4}}));
    run_sync(perceptor->reset());
    EXPECT_EQ(*calls, (std::vector<std::string>{"compute_action(7, None)", "reset", "compute_sensors{'x': 1}",
                                                "reset"}));
}

TEST_F(InprocTransportTest, LatestOrAnOmittedVersionMatchesAnyVersion) {
    const std::string url = network_util::get_tarvik_url(pilot);
    EXPECT_EQ(create(RemoteManagerKind::controller, Dict{{"env_init", url}, {"version", "latest"}})[0],
              Value("controller-client-1"));
    EXPECT_EQ(create(RemoteManagerKind::controller, {}, List{url})[0], Value("controller-client-2"));
    EXPECT_EQ(create(RemoteManagerKind::controller, {}, List{url, "0.3"})[0], Value("controller-client-3"));
}

TEST_F(InprocTransportTest, RefusesAVersionTheUrlDoesNotServe) {
    const std::string url = network_util::get_tarvik_url(coach);
    expect_error([&] { create(RemoteManagerKind::agent, Dict{{"env_init", url}, {"version", "1.2"}}); }, "ValueError",
                 "version '1.2' of teacher 'coach' is not served at " + url + " (it serves version '1.2.0')");
    EXPECT_TRUE(made->empty()) << "nothing is instantiated for a refused client";
}

TEST_F(InprocTransportTest, EachManagerServesOnlyItsOwnKind) {
    struct Case {
        RemoteManagerKind manager;
        ImplClassPtr impl;
        std::string message;
    };
    const std::string coach_url = network_util::get_tarvik_url(coach);
    const std::string pilot_url = network_util::get_tarvik_url(pilot);
    const std::string radar_url = network_util::get_tarvik_url(radar);
    const std::vector<Case> cases = {
        {RemoteManagerKind::agent, pilot,
         "the agent remote manager serves teachers, but " + pilot_url + " serves controller 'pilot'"},
        {RemoteManagerKind::controller, coach,
         "the controller remote manager serves controllers, but " + coach_url + " serves teacher 'coach'"},
        {RemoteManagerKind::perceptor, coach,
         "the perceptor remote manager serves perceptors, but " + coach_url + " serves teacher 'coach'"},
        {RemoteManagerKind::agent, radar,
         "the agent remote manager serves teachers, but " + radar_url + " serves perceptor 'radar'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        expect_error([&] { create(c.manager, Dict{{"env_init", network_util::get_tarvik_url(c.impl)}}); },
                     "TypeError", c.message);
    }
}

TEST_F(InprocTransportTest, CreateWithClientBindsItsArgumentsLikeACall) {
    const std::string url = network_util::get_tarvik_url(coach);
    struct Case {
        const char* label;
        List args;
        Dict kwargs;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no env_init", {}, Dict{{"version", "latest"}}, "create_with_client() missing required argument 'env_init'"},
        {"unknown keyword", {}, Dict{{"env_init", url}, {"timeout", 1}},
         "create_with_client() got an unexpected keyword argument 'timeout'"},
        {"twice", List{url}, Dict{{"env_init", url}}, "create_with_client() got multiple values for argument 'env_init'"},
        {"env_init not text", {}, Dict{{"env_init", 5}}, "create_with_client() argument 'env_init' must be a str, got int"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expect_error([&] { create(RemoteManagerKind::agent, c.kwargs, c.args); }, "TypeError", c.message);
    }
}

TEST_F(InprocTransportTest, UnknownMethodsAndUrlsAreReported) {
    expect_error([&] { (void)mgr.call_remote_agent_mgr("teleport"); }, "AttributeError",
                 "'agent' remote manager has no method 'teleport'");
    expect_error([&] { create(RemoteManagerKind::sim, Dict{{"env_init", network_util::get_tarvik_url(coach)}}); },
                 "AttributeError", "'simulator' remote manager has no method 'create_with_client'");
    expect_error([&] { create(RemoteManagerKind::agent, Dict{{"env_init", "inproc://teacher/ghost#0"}}); },
                 "KeyError", "no implementation is served at inproc://teacher/ghost#0");
}

TEST_F(InprocTransportTest, FactoryOfTheWrongKindIsATypeError) {
    auto liar = std::make_shared<const ImplClass>(
        "liar", ImplKind::teacher, [this] { return std::make_shared<RecordingController>(calls); }, "1", "host");
    expect_error([&] { create(RemoteManagerKind::agent, Dict{{"env_init", network_util::get_tarvik_url(liar)}}); },
                 "TypeError", "implementation 'liar' made RecordingController object, not a teacher");
}

TEST_F(InprocTransportTest, StopAllStopsEveryProxyAndReleasesItsInstance) {
    auto teacher = create(RemoteManagerKind::agent, Dict{{"env_init", network_util::get_tarvik_url(coach)}})[1]
                       .as<Teacher>("a teacher proxy");
    auto controller = create(RemoteManagerKind::controller, Dict{{"env_init", network_util::get_tarvik_url(pilot)}})[1]
                          .as<Controller>("a controller proxy");
    auto perceptor = create(RemoteManagerKind::perceptor, Dict{{"env_init", network_util::get_tarvik_url(radar)}})[1]
                         .as<Perceptor>("a perceptor proxy");
    EXPECT_TRUE(std::move(mgr.stop_all()).value().is_none());

    expect_error([&] { run_sync(teacher->compute_reward(1, 1, 1)); }, "RuntimeError",
                 "remote teacher 'coach' was stopped");
    expect_error([&] { run_sync(controller->compute_action(1, Value())); }, "RuntimeError",
                 "remote controller 'pilot' was stopped");
    expect_error([&] { run_sync(perceptor->reset()); }, "RuntimeError", "remote perceptor 'radar' was stopped");
    ASSERT_EQ(made->size(), 3u);
    for (const auto& instance : *made) EXPECT_TRUE(instance.expired()) << "a stopped proxy still holds its instance";
    EXPECT_TRUE(calls->empty());
}

TEST_F(InprocTransportTest, OperationInFlightFinishesWhenItsManagerStops) {
    auto slow = std::make_shared<const ImplClass>(
        "slow", ImplKind::teacher, [] { return std::make_shared<SlowTeacher>(); }, "1", "host");
    auto proxy = create(RemoteManagerKind::agent, Dict{{"env_init", network_util::get_tarvik_url(slow)}})[1]
                     .as<Teacher>("a teacher proxy");
    std::shared_ptr<RemoteManager> manager = mgr.remote_manager(RemoteManagerKind::agent);

    boost::asio::io_context loop;
    Value reward;
    boost::asio::co_spawn(loop, [&]() -> Task<void> { reward = co_await proxy->compute_reward(1, 1, 1.5); },
                          boost::asio::detached);
    boost::asio::co_spawn(loop, [&]() -> Task<void> { co_await manager->invoke("stop_all", {}, {}).task(); },
                          boost::asio::detached);
    loop.run();
    EXPECT_EQ(reward, Value(3.0));
    expect_error([&] { run_sync(proxy->compute_reward(1, 1, 1.5)); }, "RuntimeError",
                 "remote teacher 'slow' was stopped");
}

// ---------------------------------------------------------------------------
// URL and version lookups

TEST(PluginLookups, UrlIsStablePerClassAndUniqueAcrossClassesOfTheSameName) {
    auto factory = [] { return std::make_shared<Teacher>(); };
    auto a = std::make_shared<const ImplClass>("twin", ImplKind::teacher, factory, "1", "host");
    auto b = std::make_shared<const ImplClass>("twin", ImplKind::teacher, factory, "2", "host");
    const std::string url_a = network_util::get_tarvik_url(a);
    EXPECT_EQ(network_util::get_tarvik_url(a), url_a);
    EXPECT_NE(network_util::get_tarvik_url(b), url_a);
    EXPECT_EQ(url_a.rfind("inproc://teacher/twin#", 0), 0u) << url_a;
    EXPECT_EQ(run_sync(plugin_util::get_tarvik_version(url_a)), "1");
    EXPECT_EQ(run_sync(plugin_util::get_tarvik_version(network_util::get_tarvik_url(b))), "2");
    EXPECT_EQ(run_sync(plugin_util::get_tarvik_version(b)), "2");
}

TEST(PluginLookups, DestroyedClassIsNoLongerServed) {
    std::string url;
    {
        auto gone = std::make_shared<const ImplClass>(
            "gone", ImplKind::perceptor, [] { return std::make_shared<Perceptor>(); }, "1", "host");
        url = network_util::get_tarvik_url(gone);
    }
    // Publishing another class prunes the dead entry; either way it is gone.
    auto other = std::make_shared<const ImplClass>(
        "other", ImplKind::perceptor, [] { return std::make_shared<Perceptor>(); }, "1", "host");
    EXPECT_NE(network_util::get_tarvik_url(other), url);
    expect_error([&] { run_sync(plugin_util::get_tarvik_version(url)); }, "KeyError",
                 "no implementation is served at " + url);
}

TEST(PluginLookups, NullClassesAndUnknownUrlsAreErrors) {
    expect_error([] { network_util::get_tarvik_url(nullptr); }, "ValueError",
                 "get_tarvik_url() needs an implementation class, got None");
    expect_error([] { run_sync(plugin_util::get_tarvik_version(ImplClassPtr{})); }, "ValueError",
                 "get_tarvik_version() needs an implementation class, got None");
    expect_error([] { run_sync(plugin_util::get_tarvik_version(std::string("inproc://teacher/nobody#1"))); },
                 "KeyError", "no implementation is served at inproc://teacher/nobody#1");
}

}  // namespace
