// The facade driven the way a host drives it: every operation awaited from
// one coroutine on the host's own event loop.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "runvane_support.hpp"

namespace runvane_test {
namespace {

Task<std::vector<Value>> host_session(Runvane& runvane, OrchestrationPtr orchestration, int steps) {
    co_await runvane.load_orchestration(orchestration);
    co_await runvane.package();
    std::vector<Value> actions;
    Value action;
    for (int i = 0; i < steps; ++i) {
        RunvaneExecuteArgs args{.explore = true, .previous_action = action};
        action = co_await runvane.execute(readings(), std::move(args));
        actions.push_back(action);
    }
    co_await runvane.close();
    co_return actions;
}

TEST(HostLoop, LoadPackageStepAndCloseFromOneCoroutine) {
    LogCapture logs(kLogger);
    TestOrchestration test;
    Runvane runvane;  // its own Relayon: remote calls must not block the running loop

    boost::asio::io_context io;
    std::exception_ptr failure;
    std::vector<Value> actions;
    boost::asio::co_spawn(io, host_session(runvane, test.orchestration, 3),
                          [&](std::exception_ptr e, std::vector<Value> result) {
                              failure = e;
                              actions = std::move(result);
                          });
    io.run();
    if (failure) std::rethrow_exception(failure);

    const Value expected = NdArray::of<std::int64_t>({2, 0});
    EXPECT_EQ(actions, (std::vector<Value>{expected, expected, expected}));
    // Each step's previous action is the one before it.
    const auto controller = test.dock->last();
    ASSERT_NE(controller, nullptr);
    std::vector<Value> previous_actions;
    for (const Call& call : controller->calls)
        if (call.op == "compute_action") previous_actions.push_back(call.args.at(1));
    EXPECT_EQ(previous_actions, (std::vector<Value>{Value(), expected, expected}));

    EXPECT_FALSE(runvane.network_mgr->watchdogs_running());
    EXPECT_EQ(logs.messages(LogLevel::info),
              (std::vector<std::string>{"Loaded orchestration: facade-test",
                                        "Packaged orchestration for inference with agent: dock (processor type: Actuon)",
                                        "Inference engine closed"}));
}

}  // namespace
}  // namespace runvane_test
