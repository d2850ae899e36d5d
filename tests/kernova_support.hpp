// Shared set-up for the processor-base tests: an orchestration with Box,
// Discrete and normalised sensors, fakes registered under fixed names, and a
// minimal concrete processor whose _execute runs the base pipeline.
#pragma once

#include <gtest/gtest.h>

#include "support/fakes.hpp"
#include "support/log_capture.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/kernova.hpp"

namespace kernova_test {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

inline const char* kOrchestration = R"({
  "id": "kernova-test",
  "sensors": [
    {"name": "pos", "space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [2]},
     "normalization": {"type": "scale"}},
    {"name": "mode", "space": {"type": "Discrete", "n": 3}},
    {"name": "speed", "space": {"type": "Box", "low": 0.0, "high": 10.0, "shape": [1]},
     "normalization": {"type": "standard", "mean": 5.0, "std": 2.0}}
  ],
  "agents": [
    {"name": "skill", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}, "teacher": "teacher"},
    {"name": "plain", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "ctrl", "kind": "controller", "action_space": {"type": "Discrete", "n": 3}, "controller": "controller"},
    {"name": "remote_skill", "kind": "skill", "action_space": {"type": "Discrete", "n": 3},
     "teacher": "teacher", "remote": true},
    {"name": "remote_ctrl", "kind": "controller", "action_space": {"type": "Discrete", "n": 3},
     "controller": "controller", "remote": true},
    {"name": "unversioned", "kind": "skill", "action_space": {"type": "Discrete", "n": 3},
     "teacher": "unversioned_teacher", "remote": true},
    {"name": "boxy", "kind": "skill", "action_space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [1]},
     "teacher": "teacher"},
    {"name": "custom", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}, "teacher": "teacher",
     "custom_action_space": true},
    {"name": "nospace", "kind": "skill"}
  ],
  "top_agent": "skill"
})";

// Raw readings of one step and the observation they make:
// pos (scaled to [-1, 1]), mode (one-hot), speed (standardised).
inline Value readings() {
    Dict d;
    d.set("pos", List{0.5, -1.0});
    d.set("mode", 1);
    d.set("speed", List{7.0});
    return d;
}
inline const std::vector<double> kObservation = {0.25, -0.5, 0, 1, 0, 1.0};

// A concrete processor: sensors through the base pipeline, then a fixed
// decoded action through process_action.
class PipelineProcessor : public BaseAgentProcessor {
    static Value teacher_dict(const Value& action, const SensorsResult& sensors) {
        Dict d;
        d.set("action", action);
        d.set("sensors_filtered", sensors.first);
        d.set("tarvik_obs", sensors.second);
        return d;
    }

public:
    using BaseAgentProcessor::BaseAgentProcessor;
    Value decoded = 1;
    std::vector<ExecuteArgs> execute_calls;
    Value last_sensors_filtered;

    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override {
        execute_calls.push_back(args);
        SensorsResult sensors =
            co_await this->process_sim_sensors(sim_sensors, args.sim_action_mask, args.previous_action);
        last_sensors_filtered = sensors.first;
        ProcessActionArgs action_args{.sim_action_mask = args.sim_action_mask};
        Value action = co_await this->process_action(sim_sensors, sensors.second, decoded, std::move(action_args));
        if (args.return_as_teacher_dict) co_return teacher_dict(action, sensors);
        co_return action;
    }
};

class ProcessorTest : public ::testing::Test {
protected:
    // The orchestration every test of the fixture starts from.
    virtual std::string orchestration_text() const { return kOrchestration; }

    void SetUp() override {
        orchestration = orchestration_from_json(orchestration_text());
        journal = std::make_shared<Journal>();
        teachers = register_fake_teacher(orchestration->registry(), "teacher", {}, journal);
        controllers = register_fake_controller(orchestration->registry(), "controller", {}, journal);
        unversioned = register_fake_teacher(orchestration->registry(), "unversioned_teacher", {}, journal, "");
        run_sync(orchestration->init());
        network = std::make_shared<AwaitingNetworkMgr>();
    }

    AgentProcessorContext context_for(const std::string& agent) {
        return AgentProcessorContext{.orchestration = orchestration,
                                     .agent = orchestration->get_node_by_name(agent),
                                     .network_mgr = network};
    }

    std::shared_ptr<PipelineProcessor> make(const std::string& agent, bool initialise = true) {
        auto p = std::make_shared<PipelineProcessor>(context_for(agent));
        if (initialise) run_sync(p->init());
        return p;
    }

    static std::vector<double> values(const Value& v) {
        const NdArray& a = v.as_array();
        std::vector<double> out;
        for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.item(i));
        return out;
    }

    OrchestrationPtr orchestration;
    std::shared_ptr<Journal> journal;
    std::shared_ptr<Made<FakeTeacher>> teachers;
    std::shared_ptr<Made<FakeController>> controllers;
    std::shared_ptr<Made<FakeTeacher>> unversioned;
    std::shared_ptr<AwaitingNetworkMgr> network;
};

}  // namespace kernova_test
