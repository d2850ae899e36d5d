// A two-level orchestration from a file with real models: one factory call
// builds the whole processor tree, and steps walk it to the acting agent.
#include <gtest/gtest.h>

#include "support/fakes.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_inference/conductrix.hpp"
#include "tarvik_inference/grafex.hpp"

namespace conductrix_test {
namespace {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

// mission chooses nav when a > 0, else grab; nav chooses drive when b > 0,
// else halt. drive always acts 1, halt (a controller) 2, grab 3.
const char* kTwoLevels = R"({
  "id": "two-levels",
  "sensors": [
    {"name": "a", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [1]}},
    {"name": "b", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [1]}}
  ],
  "agents": [
    {"name": "mission", "kind": "orchestrator", "children": ["nav", "grab"], "checkpoint": "models"},
    {"name": "nav", "kind": "orchestrator", "children": ["drive", "halt"], "checkpoint": "models"},
    {"name": "drive", "kind": "skill", "checkpoint": "models", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "halt", "kind": "controller", "controller": "halt", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "grab", "kind": "skill", "checkpoint": "models", "action_space": {"type": "Discrete", "n": 4}}
  ],
  "top_agent": "mission"
})";

class TwoLevelTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto models = dir / "models";
        // Orchestrators: logits = +-a (mission) and +-b (nav).
        linear_policy({.obs_size = 2, .weights = {1, 0, -1, 0}, .bias = {0, 0}, .io = {.mask_size = 2}})
            .write(models / "mission.onnx");
        linear_policy({.obs_size = 2, .weights = {0, 1, 0, -1}, .bias = {0, 0}, .io = {.mask_size = 2}})
            .write(models / "nav" / "nav.onnx");
        fixed_logits_policy({.obs_size = 2, .logits = {0, 5, 1}, .io = {.mask_size = 3}}).write(models / "drive.onnx");
        fixed_logits_policy({.obs_size = 2, .logits = {0, 0, 0, 2}, .io = {.mask_size = 4}})
            .write(models / "grab" / "grab.onnx");

        orchestration = Orchestration::load(dir.write("orchestration.json", kTwoLevels).string());
        halts = register_fake_controller(orchestration->registry(), "halt",
                                         [](FakeController& c) { c.on_compute_action = [](const Value&, const Value&) {
                                             return Value(2);
                                         }; });
        run_sync(orchestration->init());
        // The factory, bound the way the orchestrators bind it for their children.
        auto* create_actuon = import_module(kMoldrixModule).function<CreateActuonFn>(kCreateActuonSymbol);
        top = run_sync(create_actuon(
            AgentProcessorContext{.orchestration = orchestration, .agent = orchestration->get_top_agent()}));
    }

    static Value readings(double a, double b) {
        Dict d;
        d.set("a", List{a});
        d.set("b", List{b});
        return d;
    }

    TempDir dir;
    OrchestrationPtr orchestration;
    std::shared_ptr<Made<FakeController>> halts;
    ProcessorPtr top;
};

TEST_F(TwoLevelTest, OneFactoryCallBuildsTheTree) {
    auto mission = std::dynamic_pointer_cast<Conductrix>(top);
    ASSERT_NE(mission, nullptr);
    ASSERT_NE(mission->onnx_engine, nullptr);
    auto nav = std::dynamic_pointer_cast<Conductrix>(mission->get_child_processor_by_name("nav"));
    ASSERT_NE(nav, nullptr);
    ASSERT_NE(nav->onnx_engine, nullptr) << "found in the agent's sub-folder";
    EXPECT_EQ(nav->onnx_engine->model_path, (dir / "models" / "nav" / "nav.onnx").string());
    EXPECT_EQ(mission->get_child_processor_by_index(std::int64_t{1}), mission->get_child_processor_by_name("grab"));
    std::vector<std::string> kinds;
    for (const char* name : {"drive", "halt"}) {
        auto child = nav->get_child_processor_by_name(name);
        ASSERT_NE(child, nullptr) << name;
        kinds.push_back(class_name_of(typeid(*child)));
        EXPECT_TRUE(child->_is_initialized);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"Actuon", "Actuon"}));
    EXPECT_EQ(class_name_of(typeid(*mission->get_child_processor_by_name("grab"))), "Actuon");
}

TEST_F(TwoLevelTest, StepsWalkToTheActingAgent) {
    struct Case {
        double a, b;
        std::int64_t action, top_choice;
    } cases[] = {{1, 1, 1, 0}, {1, -1, 2, 0}, {-1, 1, 3, 1}, {-1, -1, 3, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE("a=" + std::to_string(c.a) + " b=" + std::to_string(c.b));
        EXPECT_EQ(top->execute(readings(c.a, c.b)), Value(c.action));
        Value result = top->execute(readings(c.a, c.b), {.return_as_teacher_dict = true});
        const Dict& d = result.as_dict();
        EXPECT_EQ(d.keys(), (std::vector<std::string>{"action", "sensors_filtered", "tarvik_obs", "top_orchestrator_action"}));
        EXPECT_EQ(d.at("action"), Value(c.action));
        EXPECT_EQ(d.at("top_orchestrator_action"), Value(c.top_choice)) << "the outermost choice";
    }
}

TEST_F(TwoLevelTest, ResetReachesEveryLevel) {
    const auto before = halts->all.size();
    run_sync(top->reset());
    // The local controller of the grandchild is made afresh.
    EXPECT_EQ(halts->all.size(), before + 1);
    EXPECT_EQ(top->execute(readings(1, -1)), Value(2));
}

}  // namespace
}  // namespace conductrix_test
