// The model-session settings an Actuon's engine runs with: the host's (on
// the processor's context) over the orchestration file's over the defaults.
#include "actuon_support.hpp"

namespace actuon_test {
namespace {

TEST_F(ActuonTest, TheEngineRunsWithTheHostsSettingsOverTheFiles) {
    std::string json = kOrchestration;
    json.replace(json.rfind('}'), 1, R"(, "model_session": {"intra_op_threads": 2, "allow_spinning": true}})");
    orchestration = load(json);
    write_policy(ckpt() / "skill.onnx", {0, 1, 0}, {.mask_size = 3});
    auto context = context_for("skill");
    context.model_session = {.intra_op_threads = 1};
    auto p = std::make_shared<Actuon>(context);
    run_sync(p->init());
    ASSERT_TRUE(p->onnx_engine);
    EXPECT_EQ(p->onnx_engine->settings(), (ModelSessionSettings{.execution_providers = std::vector<std::string>{
                                                                    "CPUExecutionProvider"},
                                                                .intra_op_threads = 1,
                                                                .inter_op_threads = 1,
                                                                .allow_spinning = true}));
}

}  // namespace
}  // namespace actuon_test
