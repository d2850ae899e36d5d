// Shared set-up for the single-agent processor tests: an orchestration whose
// agents cover every action-space kind and keep their checkpoints in a
// per-test folder, fakes registered under fixed names, model writing, and a
// comparison of decoded actions that also checks element types.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fakes.hpp"
#include "support/log_capture.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/actuon.hpp"

namespace actuon_test {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;
namespace fs = std::filesystem;
namespace sp = tarvik_core::spaces;

// Every agent keeps its models under @DIR@/ckpt; @DIR@ becomes the test's
// temporary folder. One Box sensor of two values, read as they come.
inline const char* kOrchestration = R"({
  "id": "actuon-test",
  "sensors": [{"name": "pos", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2]}}],
  "agents": [
    {"name": "skill", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}, "checkpoint": "@DIR@/ckpt"},
    {"name": "taught", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}, "teacher": "teacher",
     "checkpoint": "@DIR@/ckpt"},
    {"name": "pair", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}, "checkpoint": "@DIR@/ckpt"},
    {"name": "md", "kind": "skill", "action_space": {"type": "MultiDiscrete", "nvec": [2, 3]},
     "checkpoint": "@DIR@/ckpt"},
    {"name": "box", "kind": "skill", "action_space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [2]},
     "checkpoint": "@DIR@/ckpt"},
    {"name": "mb", "kind": "skill", "action_space": {"type": "MultiBinary", "n": 3}, "checkpoint": "@DIR@/ckpt"},
    {"name": "tup", "kind": "skill", "checkpoint": "@DIR@/ckpt",
     "action_space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2},
                                                 {"type": "Box", "low": 0.0, "high": 10.0, "shape": [1]}]}},
    {"name": "dict", "kind": "skill", "checkpoint": "@DIR@/ckpt",
     "action_space": {"type": "Dict", "spaces": {"b": {"type": "Discrete", "n": 2},
                                                 "a": {"type": "MultiBinary", "n": 2}}}},
    {"name": "ctrl", "kind": "controller", "controller": "controller", "checkpoint": "@DIR@/ckpt",
     "action_space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [1]}},
    {"name": "nockpt", "kind": "skill", "action_space": {"type": "Discrete", "n": 3}}
  ],
  "top_agent": "skill"
})";

inline constexpr std::int64_t kObsSize = 2;

// Raw readings of one step: the observation [0.5, 0.2].
inline Value readings(double x = 0.5, double y = 0.2) {
    Dict d;
    d.set("pos", List{x, y});
    return d;
}

// Decoded actions match only with the same kind, element type, shape and
// values, recursively through tuples and mappings (keys in order).
inline bool same(const Value& a, const Value& e) {
    if (a.storage().index() != e.storage().index()) return false;
    if (a.is_array()) return a.as_array().dtype() == e.as_array().dtype() && a.as_array().equals(e.as_array());
    if (a.is_tuple()) {
        const auto &x = a.as_tuple().items(), &y = e.as_tuple().items();
        return std::equal(x.begin(), x.end(), y.begin(), y.end(), same);
    }
    if (a.is_dict()) {
        if (a.as_dict().keys() != e.as_dict().keys()) return false;
        for (const auto& [key, value] : e.as_dict())
            if (!same(a.as_dict().at(key), value)) return false;
        return true;
    }
    return a == e;
}
inline ::testing::AssertionResult same_action(const Value& actual, const Value& expected) {
    if (same(actual, expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << repr(actual) << ", expected " << repr(expected);
}

// A fixed-logits policy over the orchestration's observation.
inline fs::path write_policy(const fs::path& path, std::vector<float> logits, PolicyIo io = {}) {
    return fixed_logits_policy({.obs_size = kObsSize, .logits = std::move(logits), .io = io}).write(path);
}

class ActuonTest : public ::testing::Test {
protected:
    void SetUp() override { orchestration = load(kOrchestration); }

    // The orchestration of `json` with @DIR@ replaced, fakes registered and
    // initialised.
    OrchestrationPtr load(std::string json) {
        const std::string dir_text = dir.path().string();
        for (std::size_t at = json.find("@DIR@"); at != std::string::npos; at = json.find("@DIR@", at))
            json.replace(at, 5, dir_text);
        auto o = orchestration_from_json(json);
        teachers = register_fake_teacher(o->registry(), "teacher");
        controllers = register_fake_controller(o->registry(), "controller");
        run_sync(o->init());
        return o;
    }

    fs::path ckpt() const { return dir.path() / "ckpt"; }

    AgentProcessorContext context_for(const std::string& agent) const {
        return AgentProcessorContext{.orchestration = orchestration, .agent = orchestration->get_node_by_name(agent)};
    }

    template <class Processor = Actuon>
    std::shared_ptr<Processor> make(const std::string& agent, bool initialise = true) {
        auto p = std::make_shared<Processor>(context_for(agent));
        if (initialise) run_sync(p->init());
        return p;
    }

    TempDir dir;
    OrchestrationPtr orchestration;
    std::shared_ptr<Made<FakeTeacher>> teachers;
    std::shared_ptr<Made<FakeController>> controllers;
};

}  // namespace actuon_test
