// An orchestrator's model runs with the merged model-session settings, and
// its children inherit the host's settings through their contexts.
#include "conductrix_support.hpp"

namespace conductrix_test {
namespace {

TEST_F(OrchestratorTest, TheHostsSettingsReachTheModelAndEveryChild) {
    write_logits_model(dir / "ckpt" / "modeled.onnx", {.logits = {1, 0}, .mask_size = 2});
    auto context = context_for("modeled");
    context.model_session = {.intra_op_threads = 2, .allow_spinning = true};
    auto p = std::make_shared<Conductrix>(context);
    run_sync(p->init());
    ASSERT_TRUE(p->onnx_engine);
    EXPECT_EQ(p->onnx_engine->settings(), context.model_session.or_else(ModelSessionSettings::defaults()));
    ASSERT_EQ(p->child_agent_processors.size(), 2u);
    for (const auto& child : p->child_agent_processors) EXPECT_EQ(child->context.model_session, context.model_session);
}

}  // namespace
}  // namespace conductrix_test
