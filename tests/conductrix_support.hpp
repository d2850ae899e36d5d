// Shared set-up for the orchestrator-processor tests: a small orchestration
// with plain, taught and controller-type orchestrators over three skills, a
// recording child processor, and models with fixed logits of any shape and
// element type.
//
// Walk tests build an orchestrator "by hand" (base set-up, a model, recording
// children) so each step is observed at the child boundary; the set-up tests
// go through init() and the processor factory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "support/expect_error.hpp"
#include "support/fakes.hpp"
#include "support/log_capture.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/conductrix.hpp"
#include "tarvik_inference/grafex.hpp"

namespace conductrix_test {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

inline const char* kOrchestration = R"({
  "id": "conductrix-test",
  "sensors": [
    {"name": "x", "space": {"type": "Box", "low": -10.0, "high": 10.0, "shape": [1]}},
    {"name": "y", "space": {"type": "Box", "low": -10.0, "high": 10.0, "shape": [1]}}
  ],
  "perceptors": [{"name": "marker", "implementation": "marker"}],
  "agents": [
    {"name": "top", "kind": "orchestrator", "children": ["left", "middle", "right"]},
    {"name": "taught", "kind": "orchestrator", "children": ["left", "middle", "right"], "teacher": "top_teacher"},
    {"name": "boss", "kind": "orchestrator", "children": ["left", "middle", "right"], "controller": "boss_controller",
     "checkpoint": "ckpt"},
    {"name": "modeled", "kind": "orchestrator", "children": ["left", "right"], "checkpoint": "ckpt"},
    {"name": "outer", "kind": "orchestrator", "children": ["inner", "middle"]},
    {"name": "inner", "kind": "orchestrator", "children": ["left", "right"]},
    {"name": "left", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "middle", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "right", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "bare", "kind": "skill"},
    {"name": "fleet", "kind": "coordinated_set", "children": ["left"], "action_space": {"type": "Discrete", "n": 2}}
  ],
  "top_agent": "top"
})";

// The readings of one step; the orchestrators' observation is [1, 2].
inline Value readings() {
    Dict d;
    d.set("x", List{1.0});
    d.set("y", List{2.0});
    return d;
}

inline std::vector<double> values_of(const NdArray& a) {
    std::vector<double> out;
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.item(i));
    return out;
}
inline std::vector<double> values_of(const Value& v) { return values_of(v.as_array()); }

// A child processor that records what it is asked and answers with `result`.
class RecordingChild : public BaseAgentProcessor {
public:
    RecordingChild(AgentProcessorContext context, Value result, std::shared_ptr<Journal> journal)
        : BaseAgentProcessor(std::move(context)), result(std::move(result)), journal(std::move(journal)) {}

    struct Seen {
        Value sim_sensors;
        ExecuteArgs args;
    };
    std::vector<Seen> calls;
    Value result;
    std::shared_ptr<Journal> journal;
    // Reported by get_agent_name() instead of the node's name when set.
    std::string reported_name;
    std::chrono::milliseconds reset_delay{0};

    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override {
        calls.push_back({sim_sensors, args});
        journal->add(get_agent_name() + "._execute");
        co_return result;
    }

    Task<void> reset() override {
        if (reset_delay.count() > 0) {
            boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, reset_delay);
            co_await timer.async_wait(boost::asio::use_awaitable);
        }
        journal->add(get_agent_name() + ".reset");
    }

    std::string get_agent_name() const override {
        return reported_name.empty() ? BaseAgentProcessor::get_agent_name() : reported_name;
    }
};

// A model whose "action_dist_inputs" are `logits` in `shape` and `dtype`,
// whatever the observation ("obs", [1, obs_size] float32). With mask_size > 0
// it also declares an "action_mask" input [1, mask_size] that it ignores.
struct LogitsModel {
    std::vector<float> logits;
    std::vector<std::int64_t> shape;  // default: [1, logits.size()]
    DType dtype = DType::Float32;
    std::int64_t mask_size = 0;
    std::int64_t obs_size = 2;
};

inline std::filesystem::path write_logits_model(const std::filesystem::path& path, const LogitsModel& definition) {
    std::vector<std::int64_t> shape = definition.shape;
    if (shape.empty()) shape = {1, static_cast<std::int64_t>(definition.logits.size())};
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, definition.obs_size});
    if (definition.mask_size > 0) b.input("action_mask", DType::Float64, {1, definition.mask_size});
    b.constant("logits", definition.logits, shape);
    if (definition.dtype == DType::Float32) b.identity("logits", "action_dist_inputs");
    else b.cast("logits", "action_dist_inputs", definition.dtype);
    Dims dims;
    for (auto d : shape) dims.emplace_back(d);
    b.output("action_dist_inputs", definition.dtype, dims);
    return b.write(path);
}

class OrchestratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        orchestration = orchestration_from_json(kOrchestration, dir.path().string());
        journal = std::make_shared<Journal>();
        teachers = register_fake_teacher(orchestration->registry(), "top_teacher", {}, journal);
        controllers = register_fake_controller(orchestration->registry(), "boss_controller", {}, journal);
        register_fake_perceptor(orchestration->registry(), "marker", {}, journal);
        run_sync(orchestration->init());
    }

    AgentProcessorContext context_for(const std::string& agent) {
        return AgentProcessorContext{.orchestration = orchestration, .agent = orchestration->get_node_by_name(agent)};
    }

    std::shared_ptr<RecordingChild> child(const std::string& name, Value result) {
        return std::make_shared<RecordingChild>(context_for(name), std::move(result), journal);
    }

    // left, middle and right answering "L", "M" and "R".
    void make_children() {
        left = child("left", "L");
        middle = child("middle", "M");
        right = child("right", "R");
    }

    std::shared_ptr<GrafexEngine> engine(const std::string& file, const LogitsModel& definition) {
        return std::make_shared<GrafexEngine>(write_logits_model(dir / file, definition).string());
    }

    // An orchestrator after the base set-up, with the given model and
    // children, ready to step.
    std::shared_ptr<Conductrix> ready(AgentProcessorContext context, std::shared_ptr<GrafexEngine> model,
                                      std::vector<ProcessorPtr> children) {
        auto p = std::make_shared<Conductrix>(std::move(context));
        run_sync(p->BaseAgentProcessor::init());
        p->onnx_engine = std::move(model);
        p->child_agent_processors = std::move(children);
        return p;
    }
    std::shared_ptr<Conductrix> ready(const std::string& name, std::shared_ptr<GrafexEngine> model) {
        if (!left) make_children();
        return ready(context_for(name), std::move(model), {left, middle, right});
    }

    Value step(const std::shared_ptr<Conductrix>& p, ExecuteArgs args = {}) {
        return run_sync(p->_execute(readings(), std::move(args)));
    }

    std::size_t runs() const { return left->calls.size() + middle->calls.size() + right->calls.size(); }

    TempDir dir;
    OrchestrationPtr orchestration;
    std::shared_ptr<Journal> journal;
    std::shared_ptr<Made<FakeTeacher>> teachers;
    std::shared_ptr<Made<FakeController>> controllers;
    std::shared_ptr<RecordingChild> left, middle, right;
};

using tarvik_test::expect_error;

}  // namespace conductrix_test
