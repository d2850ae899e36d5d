// The serving endpoint: concurrent clients get the actions a local runtime
// gives, step failures keep their kind, idle and surplus sessions are
// handled, and the health service answers. Servers listen on loopback and
// are started and stopped here.
#include "remote_support.hpp"
#include "tarvik_remote.grpc.pb.h"
#include "tarvik_remote/value_codec.hpp"
#include "tarvik_remote/serve.hpp"
#include "tarvik_remote/serve_client.hpp"

namespace {

using namespace remote_test;
using tarvik_remote::ServeClient;
using tarvik_remote::ServeOptions;
using tarvik_remote::ServeServer;
using tarvik_test::expect_error;
namespace pb = tarvik::remote::v1;

ServeOptions cartpole_serving() {
    return ServeOptions{.orchestration = (cartpole_dir() / "orchestration.json").string(), .listen = "127.0.0.1:0"};
}

TEST(Serving, ConcurrentClientsGetTheActionsOfALocalRuntime) {
    ServeServer server(cartpole_serving());
    constexpr int kClients = 4;
    std::vector<std::vector<Value>> readings, served(kClients), expected;
    for (int c = 0; c < kClients; ++c) {
        readings.push_back(cartpole_readings(25, 100 + c));
        Runtime local(cartpole(false), Value());
        expected.push_back(actions_for(local, readings.back()));
    }
    std::vector<std::thread> clients;
    std::vector<std::string> failures(kClients);
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            try {
                // Half the clients step on a stream, half with one call per step.
                ServeClient client(server.address(), {.streaming = c % 2 == 0});
                client.open();
                Value previous;
                for (const auto& step : readings[c]) served[c].push_back(previous = client.execute(step, Value(), previous));
                client.reset();
                client.close();
            } catch (const std::exception& e) {
                failures[c] = e.what();
            }
        });
    for (auto& client : clients) client.join();
    for (int c = 0; c < kClients; ++c) {
        SCOPED_TRACE("client " + std::to_string(c));
        EXPECT_EQ(failures[c], "");
        EXPECT_EQ(served[c], expected[c]);
    }
    EXPECT_TRUE(eventually([&] { return server.session_count() == 0; })) << "every session is closed";
}

TEST(Serving, StepFailuresKeepTheirKindAndMessage) {
    ServeServer server(cartpole_serving());
    ServeClient client(server.address());
    client.open();
    const Value missing_theta = Dict{{"x", 0.1}, {"x_dot", 0.0}, {"theta_dot", 0.0}};
    Runtime local(cartpole(false), Value());
    std::string kind, message;
    try {
        local.step(missing_theta, Value());
    } catch (const Error& e) {
        kind = e.kind();
        message = e.what();
    }
    ASSERT_FALSE(kind.empty());
    expect_error([&] { client.execute(missing_theta); }, kind, message);
    const Value good = cartpole_readings(1, 3)[0];
    EXPECT_EQ(client.execute(good), local.step(good, Value())) << "the session goes on after a failed step";
}

TEST(Serving, IdleSessionsAreFreedAndSurplusOnesRefused) {
    ServeOptions options = cartpole_serving();
    options.idle_timeout = 500ms;
    options.max_sessions = 2;
    ServeServer server(options);
    // Each client steps as soon as it opens, then goes quiet mid-episode.
    const Value readings = cartpole_readings(1, 5)[0];
    ServeClient streaming(server.address());
    streaming.open();
    streaming.execute(readings);
    ServeClient unary(server.address(), {.streaming = false});
    unary.open();
    unary.execute(readings);
    ServeClient surplus(server.address());
    expect_error([&] { surplus.open(); }, "RuntimeError",
                 "OpenSession at " + server.address() +
                     " was refused (RESOURCE_EXHAUSTED: this server already holds its limit of 2 sessions)");

    EXPECT_TRUE(eventually([&] { return server.session_count() == 0; }));
    const std::string at = "Execute at " + server.address();
    expect_error([&] { streaming.execute(readings); }, "RuntimeError",
                 at + " is gone (NOT_FOUND: session '" + streaming.session() +
                     "' was idle for more than 500 ms and is closed; open a new one)");
    expect_error([&] { unary.execute(readings); }, "RuntimeError",
                 at + " is gone (NOT_FOUND: no session '" + unary.session() +
                     "' here: it was closed, it was idle for more than 500 ms, or it was opened on another server; "
                     "open a new one)");
    surplus.open();  // the freed places are there again
}

TEST(Serving, AStreamThatBreaksClosesItsSessionAtOnce) {
    ServeServer server(cartpole_serving());  // idle timeout: a minute
    auto stub = pb::Serving::NewStub(grpc::CreateChannel(server.address(), grpc::InsecureChannelCredentials()));
    pb::OpenSessionReply opened;
    {
        grpc::ClientContext context;
        ASSERT_TRUE(stub->OpenSession(&context, pb::OpenSessionRequest(), &opened).ok());
    }
    {
        grpc::ClientContext context;
        context.AddMetadata("tarvik-session", opened.session());
        auto stream = stub->Steps(&context);
        pb::StreamRequest request;
        tarvik_remote::encode(cartpole_readings(1, 9)[0], *request.mutable_execute()->mutable_readings());
        pb::StreamReply reply;
        ASSERT_TRUE(stream->Write(request) && stream->Read(&reply));
        EXPECT_TRUE(reply.execute().has_action());
        context.TryCancel();  // the client is gone mid-episode
    }
    EXPECT_TRUE(eventually([&] { return server.session_count() == 0; }));
}

TEST(Serving, HealthServiceReportsServing) {
    ServeServer server(cartpole_serving());
    // grpc.health.v1.HealthCheckRequest{service}: field 1, length-delimited.
    const std::string service = tarvik_remote::kServingService;
    std::string reply;
    const grpc::Status status = raw_call(server.address(), "/grpc.health.v1.Health/Check",
                                         std::string("\x0a", 1) + static_cast<char>(service.size()) + service, &reply);
    ASSERT_TRUE(status.ok()) << status.error_message();
    EXPECT_EQ(reply, std::string("\x08\x01", 2)) << "HealthCheckResponse{status: SERVING}";
}

TEST(Serving, BrokenOrchestrationFailsBeforeListening) {
    ServeOptions options = cartpole_serving();
    options.agent = "nobody";
    expect_error([&] { ServeServer{options}; }, "KeyError",
                 "no node named 'nobody' in orchestration 'cartpole' (" + options.orchestration + ")");
}

}  // namespace
