// The counting wrapper: forwarding to the wrapped processor, and counts at
// every level of a packaged tree.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fakes.hpp"
#include "tarvik_apps/counting_processor.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_inference/conductrix.hpp"
#include "tarvik_inference/runvane.hpp"

namespace {

using namespace tarvik_apps;
using tarvik_core::Dict;
using tarvik_core::run_sync;
using tarvik_inference::BaseAgentProcessor;
using tarvik_inference::ExecuteArgs;

tarvik_core::AgentProcessorContext solo_context() {
    tarvik_core::AgentDefinition definition;
    definition.name = "solo";
    definition.action_space = std::make_shared<tarvik_core::spaces::Discrete>(3);
    return tarvik_core::AgentProcessorContext{.agent = std::make_shared<tarvik_core::Agent>(definition)};
}

// Records what reaches it and answers with a fixed value (or fails).
class RecordingProcessor : public BaseAgentProcessor {
public:
    using BaseAgentProcessor::BaseAgentProcessor;
    std::vector<ExecuteArgs> calls;
    std::vector<Value> sensors;
    int resets = 0;
    int inits = 0;
    Value answer = 7;
    bool fail = false;

    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override {
        calls.push_back(args);
        sensors.push_back(sim_sensors);
        if (fail) throw tarvik_core::ValueError("step refused by solo");
        co_return answer;
    }
    Task<void> reset() override {
        ++resets;
        co_return;
    }
    Task<void> init() override {
        ++inits;
        co_return;
    }
    std::string get_agent_name() const override { return "solo (renamed)"; }
    tarvik_inference::SpacePtr get_action_space() const override {
        return std::make_shared<tarvik_core::spaces::Discrete>(9);
    }
};

class CountingProcessorTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingProcessor> inner = std::make_shared<RecordingProcessor>(solo_context());
    std::shared_ptr<CountingProcessor> wrapper = std::make_shared<CountingProcessor>(inner);
};

TEST_F(CountingProcessorTest, ForwardsEveryStepArgumentAndReturnsTheInnerResult) {
    ExecuteArgs args{.sim_action_mask = tarvik_core::List{1, 0, 1},
                     .explore = true,
                     .previous_action = 2,
                     .return_as_teacher_dict = true};
    const Value result = run_sync(wrapper->_execute(Value("readings"), args));
    EXPECT_EQ(result, Value(7));
    ASSERT_EQ(inner->calls.size(), 1u);
    EXPECT_EQ(inner->sensors[0], Value("readings"));
    EXPECT_EQ(inner->calls[0].sim_action_mask, Value(tarvik_core::List{1, 0, 1}));
    EXPECT_TRUE(inner->calls[0].explore);
    EXPECT_EQ(inner->calls[0].previous_action, Value(2));
    EXPECT_TRUE(inner->calls[0].return_as_teacher_dict);
    EXPECT_EQ(wrapper->executions(), 1);
}

TEST_F(CountingProcessorTest, ForwardsResetAndInitWithoutCountingThem) {
    run_sync(wrapper->reset());
    run_sync(wrapper->reset());
    run_sync(wrapper->init());
    EXPECT_EQ(inner->resets, 2);
    EXPECT_EQ(inner->inits, 1);
    EXPECT_EQ(wrapper->executions(), 0);
}

TEST_F(CountingProcessorTest, AnswersWithTheInnerNameAndActionSpace) {
    EXPECT_EQ(wrapper->get_agent_name(), "solo (renamed)");
    EXPECT_EQ(wrapper->get_action_space()->repr(), "Discrete(9)");
}

TEST_F(CountingProcessorTest, FailedStepsStillCountAndTheErrorPassesUnchanged) {
    inner->fail = true;
    try {
        run_sync(wrapper->_execute(Value(1)));
        FAIL() << "no error";
    } catch (const tarvik_core::ValueError& e) {
        EXPECT_STREQ(e.what(), "step refused by solo");
    }
    EXPECT_EQ(wrapper->executions(), 1);
}

TEST(CountingProcessor, RefusesANullProcessor) {
    try {
        CountingProcessor wrapper(nullptr);
        FAIL() << "no error";
    } catch (const tarvik_core::ValueError& e) {
        EXPECT_STREQ(e.what(), "CountingProcessor needs a processor to wrap, got None");
    }
}

TEST(ActingCounts, ALeafTopCountsEveryStep) {
    auto inner = std::make_shared<RecordingProcessor>(solo_context());
    ActingCounts counts = ActingCounts::instrument(inner);
    for (int i = 0; i < 4; ++i) run_sync(counts.top()->_execute(Value(i)));
    const auto acted = counts.per_agent();
    ASSERT_EQ(acted.size(), 1u);
    EXPECT_EQ(acted[0].agent, "solo (renamed)");
    EXPECT_EQ(acted[0].steps, 4);
}

// root chooses between the orchestrator "mid" and the controller "c"; mid
// chooses among a, b and c again, so c has two places in the tree.
constexpr const char* kTree = R"({
  "id": "tree",
  "sensors": [{"name": "v", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [1]}}],
  "agents": [
    {"name": "root", "kind": "orchestrator", "children": ["mid", "c"], "controller": "pick_root"},
    {"name": "mid", "kind": "orchestrator", "children": ["a", "b", "c"], "controller": "pick_mid"},
    {"name": "a", "kind": "controller", "controller": "act", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "b", "kind": "controller", "controller": "act", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "c", "kind": "controller", "controller": "act", "action_space": {"type": "Discrete", "n": 2}}
  ],
  "top_agent": "root"
})";

// A controller that answers with the next entry of a script shared by all its
// instances (the processors make new instances when they reset).
std::function<void(tarvik_test::FakeController&)> scripted(std::shared_ptr<std::vector<int>> script,
                                                           std::shared_ptr<std::size_t> next) {
    return [script, next](tarvik_test::FakeController& controller) {
        controller.on_compute_action = [script, next](const Value&, const Value&) {
            return Value((*script)[(*next)++ % script->size()]);
        };
    };
}

class ActingCountsTree : public ::testing::Test {
protected:
    void SetUp() override {
        tarvik_core::set_default_log_level(tarvik_core::LogLevel::warning);
        auto orchestration = tarvik_test::orchestration_from_json(kTree);
        root_made = tarvik_test::register_fake_controller(
            orchestration->registry(), "pick_root",
            scripted(std::make_shared<std::vector<int>>(std::vector<int>{0, 0, 1, 0, 1, 0}),
                     std::make_shared<std::size_t>(0)));
        mid_made = tarvik_test::register_fake_controller(
            orchestration->registry(), "pick_mid",
            scripted(std::make_shared<std::vector<int>>(std::vector<int>{0, 2, 1, 2}), std::make_shared<std::size_t>(0)));
        act_made = tarvik_test::register_fake_controller(orchestration->registry(), "act", [](auto& controller) {
            controller.on_compute_action = [](const Value&, const Value&) { return Value(1); };
        });
        run_sync(runvane.load_orchestration(orchestration));
        run_sync(runvane.package());
    }

    Value step() {
        Dict readings;
        readings.set("v", tarvik_core::List{0.0});
        return run_sync(runvane.execute(Value(readings)));
    }

    tarvik_inference::Runvane runvane;
    std::shared_ptr<tarvik_test::Made<tarvik_test::FakeController>> root_made, mid_made, act_made;
};

TEST_F(ActingCountsTree, CountsEveryLevelAndSumsAnAgentOverItsPlaces) {
    ActingCounts counts = ActingCounts::instrument(runvane.agent_processor);
    runvane.agent_processor = counts.top();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(step(), Value(1)) << "step " << i;

    const auto acted = counts.per_agent();
    std::vector<std::string> names;
    std::vector<std::int64_t> steps;
    for (const auto& entry : acted) {
        names.push_back(entry.agent);
        steps.push_back(entry.steps);
    }
    // root: every step; mid: the 4 steps root gave it; c: 2 from root + 2 from mid.
    EXPECT_EQ(names, (std::vector<std::string>{"root", "mid", "a", "b", "c"}));
    EXPECT_EQ(steps, (std::vector<std::int64_t>{6, 4, 1, 1, 4}));

    counts.clear();
    for (const auto& entry : counts.per_agent()) EXPECT_EQ(entry.steps, 0) << entry.agent;
}

TEST_F(ActingCountsTree, ResetReachesEveryProcessorThroughTheWrappers) {
    ActingCounts counts = ActingCounts::instrument(runvane.agent_processor);
    const auto roots = root_made->all.size();
    const auto mids = mid_made->all.size();
    const auto acts = act_made->all.size();
    run_sync(counts.top()->reset());
    // Resetting a local controller agent makes it a fresh controller instance.
    EXPECT_EQ(root_made->all.size(), roots + 1);
    EXPECT_EQ(mid_made->all.size(), mids + 1);
    EXPECT_EQ(act_made->all.size(), acts + 4);  // a, b, and c in both places
    for (const auto& entry : counts.per_agent()) EXPECT_EQ(entry.steps, 0) << entry.agent;
}

TEST_F(ActingCountsTree, InstrumentingTwiceWrapsNothingTwice) {
    ActingCounts first = ActingCounts::instrument(runvane.agent_processor);
    ActingCounts second = ActingCounts::instrument(first.top());
    EXPECT_EQ(first.top(), second.top());
    auto* root = dynamic_cast<tarvik_inference::Conductrix*>(first.top()->inner().get());
    ASSERT_NE(root, nullptr);
    for (const auto& child : root->get_child_agent_processors()) {
        auto wrapper = std::dynamic_pointer_cast<CountingProcessor>(child);
        ASSERT_NE(wrapper, nullptr);
        EXPECT_EQ(std::dynamic_pointer_cast<CountingProcessor>(wrapper->inner()), nullptr)
            << "wrapped twice: " << wrapper->get_agent_name();
    }
    runvane.agent_processor = second.top();
    step();
    EXPECT_EQ(first.per_agent()[0].steps, 1);
    EXPECT_EQ(second.per_agent()[0].steps, 1);
}

}  // namespace
