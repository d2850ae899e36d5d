// Implementations served by an implementation host: the same actions as in
// process, calls and errors kind for kind, versions, stopping, and the
// faults a remote call meets (host down, silent, restarted; client gone;
// messages too large or malformed). Every server listens on loopback and is
// started and stopped here.
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "remote_support.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/host.hpp"
#include "tarvik_remote/transport.hpp"

namespace {

using namespace remote_test;
using tarvik_remote::Catalog;
using tarvik_remote::HostOptions;
using tarvik_remote::HostServer;
using tarvik_test::expect_error;
namespace pb = tarvik::remote::v1;

// ---------------------------------------------------------------------------
// The cart-pole example, every implementation remote

TEST(RemoteImplementations, CartpoleGivesTheActionsOfTheLocalRuntime) {
    Catalog catalog;
    catalog.load_plugin(TARVIK_CARTPOLE_PLUGIN);
    HostServer host(catalog, HostOptions{.listen = "127.0.0.1:0"});
    // The top agent walks the orchestrator, the skills' teacher and the
    // perceptor; the rescue agent is the controller on its own.
    for (const std::string agent : {"", "rescue"}) {
        SCOPED_TRACE(agent.empty() ? "top agent" : agent);
        Runtime local(cartpole(false), Value(), agent);
        Runtime remote(cartpole(true), remote_config(host.address()), agent);
        const auto readings = cartpole_readings(40, 7);
        EXPECT_EQ(actions_for(remote, readings), actions_for(local, readings));
        EXPECT_GT(host.object_count(), 0u);
        remote.close();
        EXPECT_EQ(host.object_count(), 0u) << "close stops every remote object";
        EXPECT_EQ(host.session_count(), 0u) << "and ends the session";
    }
}

// ---------------------------------------------------------------------------
// Calls through the transport's managers

class EchoPerceptor : public Perceptor {
public:
    Task<Value> compute_sensors(const Value& sensors) override { co_return Value(Dict{{"echo", sensors}}); }
};

// Answers only once the test opens the gate (at most 10 s later), leaving
// the host's loop free meanwhile.
struct Gate {
    std::atomic<bool> open{false};
};

class GatedPerceptor : public Perceptor {
public:
    explicit GatedPerceptor(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    Task<Value> compute_sensors(const Value& sensors) override {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
        for (int slice = 0; slice < 1000 && !gate_->open; ++slice) {
            timer.expires_after(10ms);
            co_await timer.async_wait(boost::asio::use_awaitable);
        }
        co_return sensors;
    }

private:
    std::shared_ptr<Gate> gate_;
};

// transform_action answers with the version that made it.
class VersionedCoach : public Teacher {
public:
    explicit VersionedCoach(std::string version) : version_(std::move(version)) {}
    Task<Value> transform_action(const Value&, const Value&) override { co_return Value(version_); }
    Task<Value> compute_action_mask(const Value&, const Value&) override { throw KeyError("'speed'"); }

private:
    std::string version_;
};

class HostTest : public ::testing::Test {
protected:
    HostTest() {
        Registry first;
        first.add_perceptor("echo", [] { return std::make_shared<EchoPerceptor>(); });
        first.add_teacher("coach", [] { return std::make_shared<VersionedCoach>("1.0.0"); }, "1.0.0");
        catalog.add(first);
        Registry second;
        second.set_origin("coach v2");
        second.add_teacher("coach", [] { return std::make_shared<VersionedCoach>("2.0.0"); }, "2.0.0");
        catalog.add(second);
        // The classes the runtime names: their URLs lead the managers to them.
        echo = first.get("echo");
        coach = first.get("coach");
    }
    ~HostTest() override { gate->open = true; }

    void start(HostOptions options = {}) {
        options.listen = "127.0.0.1:" + std::to_string(port);
        host = std::make_unique<HostServer>(catalog, options);
        port = host->port();
    }

    void connect(double timeout = 5.0) {
        managers = tarvik_remote::connect(RemoteTarget{.address = "127.0.0.1:" + std::to_string(port),
                                                       .timeout = timeout,
                                                       .create_timeout = timeout});
    }

    // create_with_client through the manager of `kind`: (client id, proxy).
    Tuple create(RemoteManagerKind kind, const ImplClassPtr& cls, std::string version = "latest") {
        auto& manager = managers[static_cast<std::size_t>(kind)];
        return run_sync(std::move(manager->invoke("create_with_client", {},
                                                  Dict{{"env_init", network_util::get_tarvik_url(cls)},
                                                       {"version", std::move(version)}}))
                            .task())
            .as_tuple();
    }

    std::shared_ptr<Perceptor> echo_proxy() {
        return create(RemoteManagerKind::perceptor, echo)[1].as<Perceptor>("a perceptor proxy");
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    Catalog catalog;
    ImplClassPtr echo, coach, gated;
    int port = 0;
    std::unique_ptr<HostServer> host;
    std::array<std::shared_ptr<RemoteManager>, 4> managers;
};

TEST_F(HostTest, CallsCarryArgumentsResultsAndErrorKinds) {
    start();
    connect();
    Tuple made = create(RemoteManagerKind::perceptor, echo);
    EXPECT_EQ(made[0], Value("perceptor-client-1"));
    auto perceptor = made[1].as<Perceptor>("a perceptor proxy");
    EXPECT_EQ(perceptor->repr(), "<remote perceptor 'echo' (perceptor-client-1) at " + address() + ">");
    const Value sensors = Dict{{"x", NdArray::of<float>({1.5f, -2.f})}, {"mode", Tuple{1, "a"}}};
    EXPECT_EQ(run_sync(perceptor->compute_sensors(sensors)), Value(Dict{{"echo", sensors}}));
    run_sync(perceptor->reset());

    auto teacher = create(RemoteManagerKind::agent, coach)[1].as<Teacher>("a teacher proxy");
    expect_error([&] { run_sync(teacher->compute_action_mask(Value(), Value())); }, "KeyError", "'speed'");
    expect_error([&] { run_sync(teacher->transform_action(Value(perceptor), 1)); }, "TypeError",
                 "cannot send value: a GrpcPerceptor object does not cross process boundaries");
    // The in-process transport's checks come first, before anything is sent.
    expect_error([&] { create(RemoteManagerKind::controller, coach); }, "TypeError",
                 "the controller remote manager serves controllers, but " + network_util::get_tarvik_url(coach) +
                     " serves teacher 'coach'");
}

TEST_F(HostTest, VersionsAreLatestOrExactlyTheOneAskedFor) {
    start();
    connect();
    auto made_by = [&](std::string version) {
        auto teacher = create(RemoteManagerKind::agent, coach, std::move(version))[1].as<Teacher>("a teacher");
        return run_sync(teacher->transform_action(Value(), Value()));
    };
    EXPECT_EQ(made_by("latest"), Value("2.0.0"));
    EXPECT_EQ(made_by("1.0.0"), Value("1.0.0"));
    expect_error([&] { made_by("1.5"); }, "ValueError",
                 "version '1.5' of teacher 'coach' is not served at " + address() +
                     " (it serves versions '1.0.0', '2.0.0')");

    auto ghost = std::make_shared<const ImplClass>("ghost", ImplKind::perceptor, [] { return nullptr; }, "", "test");
    expect_error([&] { create(RemoteManagerKind::perceptor, ghost); }, "KeyError",
                 "no perceptor named 'ghost' is served at " + address() + " (it serves: ['echo'])");
    // Two plugins serving one version of a name is refused when loading.
    Registry again;
    again.set_origin("late plugin");
    again.add_teacher("coach", [] { return std::make_shared<Teacher>(); }, "2.0.0");
    expect_error([&] { catalog.add(again); }, "ValueError",
                 "version '2.0.0' of 'coach' is served twice: by coach v2 and by late plugin");
}

TEST_F(HostTest, StopAllStopsAManagersObjectsAndStopWatchdogsEndsTheSession) {
    start();
    connect();
    auto perceptor = echo_proxy();
    auto teacher = create(RemoteManagerKind::agent, coach)[1].as<Teacher>("a teacher proxy");
    EXPECT_EQ(host->object_count(), 2u);

    run_sync(std::move(managers[2]->invoke("stop_all", {}, {})).task());
    expect_error([&] { run_sync(perceptor->reset()); }, "RuntimeError", "remote perceptor 'echo' was stopped");
    EXPECT_EQ(host->object_count(), 1u);
    EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value())), Value("2.0.0"));

    for (auto& manager : managers) manager->stop_watchdogs();
    EXPECT_EQ(host->session_count(), 0u);
    EXPECT_EQ(host->object_count(), 0u);
    // A later create opens a new session.
    EXPECT_EQ(run_sync(echo_proxy()->compute_sensors(1)), Value(Dict{{"echo", 1}}));
}

TEST(Versions, LatestComparesNumberedPartsAsNumbers) {
    const std::vector<std::pair<std::string, std::string>> older_newer = {
        {"1.9", "1.10"}, {"1.0", "1.0.1"}, {"0.9.9", "1"}, {"", "0"}, {"1.0-alpha", "1.0-beta"}, {"2.a", "10.a"}};
    for (const auto& [older, newer] : older_newer) {
        SCOPED_TRACE(older + " < " + newer);
        EXPECT_TRUE(tarvik_remote::version_less(older, newer));
        EXPECT_FALSE(tarvik_remote::version_less(newer, older));
    }
    EXPECT_FALSE(tarvik_remote::version_less("1.2", "1.2"));
}

// ---------------------------------------------------------------------------
// Faults

// How long `call` took; it must raise RuntimeError with a message that
// starts with `start`.
template <class F>
std::chrono::milliseconds expect_failure_starting(F&& call, const std::string& start) {
    const auto began = std::chrono::steady_clock::now();
    try {
        call();
        ADD_FAILURE() << "no error; expected one starting with: " << start;
    } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, start.size()), start) << e.what();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

TEST_F(HostTest, HostThatIsDownFailsAtOnceNamingTheAddressAndTheCall) {
    port = free_port();
    connect();
    const auto took = expect_failure_starting([&] { echo_proxy(); }, "create_with_client of perceptor 'echo' at " +
                                                                          address() +
                                                                          " failed: the host cannot be reached (UNAVAILABLE");
    EXPECT_LT(took, 4s);
}

TEST_F(HostTest, HostThatNeverAnswersHitsTheDeadline) {
    // Accepts connections (the kernel's backlog does) but never speaks.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    listen(silent, 8);
    getsockname(silent, reinterpret_cast<sockaddr*>(&where), &length);
    port = ntohs(where.sin_port);
    connect(0.3);
    const auto took = expect_failure_starting(
        [&] { echo_proxy(); },
        "create_with_client of perceptor 'echo' at " + address() + " got no answer within 0.3 s (DEADLINE_EXCEEDED");
    EXPECT_LT(took, 3s);
    close(silent);
}

TEST_F(HostTest, CancellingACallWaitingForTheHostEndsItAtOnceAndLaterCallsGoThrough) {
    Registry gates;
    gates.add_perceptor("gated", [gate = gate] { return std::make_shared<GatedPerceptor>(gate); });
    catalog.add(gates);
    gated = gates.get("gated");
    start();
    connect(10.0);
    auto stalled = create(RemoteManagerKind::perceptor, gated)[1].as<Perceptor>("a perceptor proxy");
    auto perceptor = echo_proxy();
    boost::asio::io_context io;
    boost::asio::cancellation_signal signal;
    std::optional<std::exception_ptr> outcome;
    boost::asio::co_spawn(io, stalled->compute_sensors(Value(1)),
                          boost::asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr error, Value) {
                              outcome = error;
                          }));
    io.run_for(100ms);
    ASSERT_FALSE(outcome) << "the call waits for the host";
    const auto began = std::chrono::steady_clock::now();
    signal.emit(boost::asio::cancellation_type::terminal);
    while (!outcome && std::chrono::steady_clock::now() - began < 5s) io.run_one_for(10ms);
    ASSERT_TRUE(outcome);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "the host still holds the call";
    // The runtime's Cancelled, or Asio's abort of a later co_await in the frame.
    try {
        std::rethrow_exception(*outcome);
    } catch (const Cancelled&) {
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::operation_aborted);
    } catch (...) {
        ADD_FAILURE() << "the call did not end cancelled";
    }
    // The call's stream was cancelled with it; later calls start another.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(run_sync(perceptor->compute_sensors(Value(i))), Value(Dict{{"echo", i}}));
}

TEST_F(HostTest, RestartedHostReportsTheObjectsGone) {
    start();
    connect(1.0);
    auto perceptor = echo_proxy();
    host->shutdown();
    host.reset();
    const std::string call = "remote perceptor 'echo' (perceptor-client-1).compute_sensors() at " + address();
    expect_failure_starting([&] { run_sync(perceptor->compute_sensors(1)); },
                            call + " failed: the host cannot be reached (UNAVAILABLE");

    start();  // the same port, a fresh host that knows no session
    std::string message;
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
        try {
            run_sync(perceptor->compute_sensors(1));
        } catch (const RuntimeError& e) {
            message = e.what();
        }
        if (message.find("UNAVAILABLE") == std::string::npos) break;  // reconnecting takes a moment
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(message, call + " is gone (NOT_FOUND: the host does not know this runtime's session: it restarted, or "
                              "dropped the session after 10000 ms without a call or heartbeat)");
}

TEST_F(HostTest, ObjectsOfAVanishedClientAreDroppedAfterTheLease) {
    start(HostOptions{.lease = 600ms});
    connect();
    auto perceptor = echo_proxy();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(host->object_count(), 1u) << "heartbeats keep an idle client's objects";

    // Gone without a word: no stop_all, no stop_watchdogs.
    perceptor.reset();
    managers = {};
    EXPECT_TRUE(eventually([&] { return host->session_count() == 0; }));
    EXPECT_EQ(host->object_count(), 0u);
}

TEST_F(HostTest, OversizedAndMalformedRequestsAreRefusedAndTheHostGoesOn) {
    start(HostOptions{.max_message_bytes = 64 * 1024});
    connect();
    auto perceptor = echo_proxy();
    expect_failure_starting(
        [&] { run_sync(perceptor->compute_sensors(NdArray::zeros(DType::Float64, Shape{100000}))); },
        "remote perceptor 'echo' (perceptor-client-1).compute_sensors() at " + address() +
            " was refused (RESOURCE_EXHAUSTED");

    auto stub = pb::ImplementationHost::NewStub(grpc::CreateChannel(address(), grpc::InsecureChannelCredentials()));
    pb::CreateRequest create;
    create.set_session("raw");
    create.set_manager(pb::MANAGER_PERCEPTOR);
    create.set_implementation("echo");
    pb::CreateReply created;
    grpc::ClientContext create_context;
    ASSERT_TRUE(stub->CreateWithClient(&create_context, create, &created).ok());

    auto invoke = [&](pb::InvokeRequest request) {
        request.set_session("raw");
        request.set_client_id(created.client_id());
        grpc::ClientContext context;
        pb::InvokeReply reply;
        const grpc::Status status = stub->Invoke(&context, request, &reply);
        return std::pair(status.error_code(), status.error_message());
    };
    pb::InvokeRequest bad_array;
    bad_array.set_operation(pb::COMPUTE_SENSORS);
    auto* array = bad_array.add_args()->mutable_array();
    array->set_dtype(pb::DTYPE_FLOAT32);
    array->add_shape(3);
    array->set_data("12345");
    EXPECT_EQ(invoke(bad_array), std::pair(grpc::StatusCode::INVALID_ARGUMENT,
                                           std::string("compute_sensors: malformed message: value is an array of "
                                                       "shape (3,) and type float32 with 5 bytes of data")));
    pb::InvokeRequest wrong_arity;
    wrong_arity.set_operation(pb::COMPUTE_SENSORS);
    EXPECT_EQ(invoke(wrong_arity), std::pair(grpc::StatusCode::INVALID_ARGUMENT,
                                             std::string("compute_sensors takes 1 arguments, got 0")));
    pb::InvokeRequest teacher_call;
    teacher_call.set_operation(pb::COMPUTE_REWARD);
    EXPECT_EQ(invoke(teacher_call), std::pair(grpc::StatusCode::INVALID_ARGUMENT,
                                              std::string("perceptor 'echo' has no operation compute_reward")));

    // Bytes that are no message at all.
    EXPECT_FALSE(raw_call(address(), "/tarvik.remote.v1.ImplementationHost/Invoke", "\xff\xff\xff\xff not protobuf").ok());

    EXPECT_EQ(run_sync(perceptor->compute_sensors(2)), Value(Dict{{"echo", 2}})) << "the host still serves";
}

}  // namespace
