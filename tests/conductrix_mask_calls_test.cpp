// How often a step computes the orchestrator's mask: the base pipeline asks
// for it and the orchestrator asks again. Without a teacher the second answer
// can only repeat the first and is not computed again; a teacher's mask and a
// subclass's own compute_action_mask are still asked twice, and the second
// answer is the one the step keeps.
#include "conductrix_support.hpp"

namespace conductrix_test {
namespace {

// An orchestrator whose mask changes with every call, so that the kept mask
// shows which call made it.
class CountingConductrix : public Conductrix {
public:
    using Conductrix::Conductrix;
    int calls = 0;
    Task<Value> compute_action_mask(Value tarvik_obs, Value sim_action_mask = {}, Value previous_action = {}) override {
        ++calls;
        Value base = co_await Conductrix::compute_action_mask(tarvik_obs, sim_action_mask, previous_action);
        NdArray mask = base.as_array().copy();
        mask.mutable_data<double>()[0] = calls;
        co_return Value(mask);
    }
};

using MaskCalls = OrchestratorTest;

std::vector<double> mask_of(const SensorsResult& result) {
    const NdArray& mask = result.first.as_dict().at("action_mask").as_array();
    EXPECT_EQ(mask.dtype(), DType::Float64);
    const auto v = mask.values<double>();
    return {v.begin(), v.end()};
}

TEST_F(MaskCalls, WithoutATeacherTheStepKeepsTheMaskOverTheChildren) {
    make_children();
    auto p = ready("top", nullptr);
    const SensorsResult result = run_sync(p->process_sim_sensors(readings(), List{0, 0, 0}));
    EXPECT_EQ(mask_of(result), (std::vector<double>{1, 1, 1})) << "the simulator's mask plays no part";
}

TEST_F(MaskCalls, TheTeacherIsAskedByThePipelineAndByTheOrchestrator) {
    make_children();
    auto p = ready("taught", nullptr);
    auto teacher = teachers->last();
    teacher->mask = List{1, 0};
    const SensorsResult result = run_sync(p->process_sim_sensors(readings()));
    EXPECT_EQ(teacher->count("compute_action_mask"), 2u);
    EXPECT_EQ(mask_of(result), (std::vector<double>{1, 0, 1}));
}

TEST_F(MaskCalls, ASubclassMaskIsAskedTwiceAndTheSecondAnswerIsKept) {
    make_children();
    auto p = std::make_shared<CountingConductrix>(context_for("top"));
    run_sync(p->BaseAgentProcessor::init());
    p->child_agent_processors = {left, middle, right};
    const SensorsResult result = run_sync(p->process_sim_sensors(readings()));
    EXPECT_EQ(p->calls, 2);
    EXPECT_EQ(mask_of(result), (std::vector<double>{2, 1, 1}));
}

}  // namespace
}  // namespace conductrix_test
