// The host's "model_session" configuration travels with the packaged
// processor's context, where processors take it from.
#include "runvane_support.hpp"

namespace runvane_test {
namespace {

TEST(RunvaneModelSession, TheConfigurationsSettingsReachThePackagedProcessor) {
    TestOrchestration loaded;
    Runvane runvane(Dict{{"model_session", Dict{{"intra_op_threads", 2}}}});
    run_sync(runvane.load_orchestration(loaded.orchestration));
    run_sync(runvane.package());
    ASSERT_NE(runvane.agent_processor, nullptr);
    EXPECT_EQ(runvane.agent_processor->context.model_session, ModelSessionSettings{.intra_op_threads = 2});
}

}  // namespace
}  // namespace runvane_test
