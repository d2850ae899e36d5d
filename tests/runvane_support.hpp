// Shared set-up for the facade tests: a small orchestration of controller
// agents (no model needed), recording network managers, and a processor that
// records how it is executed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/expect_error.hpp"
#include "support/fakes.hpp"
#include "support/log_capture.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/runvane.hpp"

namespace tarvik_core {
// Values print as their text form in assertion failures.
inline void PrintTo(const Value& value, std::ostream* os) { *os << repr(value); }
}  // namespace tarvik_core

namespace runvane_test {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

inline constexpr const char* kLogger = "tarvik_inference.runvane";

// "dock" (top) and "hold" are controller agents; "fleet" is a kind the
// processor factory does not build.
inline const char* kOrchestration = R"({
  "id": "facade-test",
  "sensors": [
    {"name": "position", "space": {"type": "Box", "low": -10.0, "high": 10.0, "shape": [2]}},
    {"name": "battery", "space": {"type": "Discrete", "n": 5}}
  ],
  "agents": [
    {"name": "dock", "kind": "controller", "controller": "dock_ctrl",
     "action_space": {"type": "MultiDiscrete", "nvec": [3, 3]}},
    {"name": "hold", "kind": "controller", "controller": "hold_ctrl",
     "action_space": {"type": "Discrete", "n": 4}},
    {"name": "fleet", "kind": "coordinated_set", "children": ["hold"]}
  ],
  "top_agent": "dock"
})";

inline Value readings() {
    Dict d;
    d.set("position", List{0.5, -1.0});
    d.set("battery", 3);
    return d;
}

// The orchestration above with recording controllers registered (not yet
// initialised).
struct TestOrchestration {
    OrchestrationPtr orchestration = orchestration_from_json(kOrchestration);
    std::shared_ptr<Made<FakeController>> dock = register_fake_controller(
        orchestration->registry(), "dock_ctrl",
        [](FakeController& c) { c.on_compute_action = [](const Value&, const Value&) {
            return Value(NdArray::of<std::int64_t>({2, 0}));
        }; });
    std::shared_ptr<Made<FakeController>> hold = register_fake_controller(
        orchestration->registry(), "hold_ctrl",
        [](FakeController& c) { c.on_compute_action = [](const Value&, const Value&) { return Value(3); }; });
};

// A processor that records each _execute call and answers with `answer`.
class RecordingProcessor : public BaseAgentProcessor {
public:
    using BaseAgentProcessor::BaseAgentProcessor;
    struct Executed {
        Value sim_sensors;
        ExecuteArgs args;
    };
    std::vector<Executed> executed;
    Value answer = Value(Tuple{1, 2});

    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override {
        executed.push_back({sim_sensors, args});
        co_return answer;
    }
};

inline std::shared_ptr<RecordingProcessor> recording_processor(const TestOrchestration& test,
                                                               const std::string& agent = "hold") {
    return std::make_shared<RecordingProcessor>(AgentProcessorContext{
        .orchestration = test.orchestration,
        .agent = test.orchestration->get_node_by_name(agent),
        .network_mgr = std::make_shared<AwaitingNetworkMgr>()});
}

using tarvik_test::expect_error;

}  // namespace runvane_test
