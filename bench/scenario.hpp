// Scenario: everything the benchmarks of one orchestration shape run on.
//
// A scenario writes, into a private temporary folder, an MLP policy model per
// agent (tests/support/model_builder: seeded weights, an "action_mask" input
// so model preparation leaves the files alone) and an orchestration of
// `depth` model levels: depth - 1 orchestrators, each over the next level
// (the last one over `children` identical skills), and the skills. A depth of
// 1 is a lone skill. Whichever child an orchestrator picks, a step costs the
// same. Sensors are Box sensors read by name that share the skill model's
// inputs as evenly as their count allows; every other one is normalised
// (scale and standard alternating). The skills' teacher is chosen by the scenario_spec:
// none, one that passes sensors through and returns a fixed mask, or one that
// returns a rebuilt mapping of the sensors (which the runtime cannot tell
// from a changed one).
//
// On first use it builds each of: an Actuon for the first skill, the top
// processor tree, a Runvane facade packaged on the top agent, a GrafexEngine
// on the skill's model, and the bare sessions of the skill's and an
// orchestrator's model files. Pre-built inputs (readings, simulator mask,
// observation and mask arrays) are reused by every step.
//
// Scenarios are created on first use and live until the program ends; the
// folder is removed then.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bare_session.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/value.hpp"
#include "tarvik_inference/grafex.hpp"
#include "tarvik_inference/kernova.hpp"
#include "tarvik_inference/runvane.hpp"

namespace tarvik_bench {

enum class TeacherKind { none, masking, rebuilding };

struct ScenarioSpec {
    std::string label;                 // "tiny", "medium", "depth3", "sensors100_teacher"
    std::int64_t n_in = 0;             // the skill model's observation size
    std::vector<std::int64_t> hidden;  // hidden layer widths of every model
    std::int64_t n_out = 0;            // the skill's logits (its action count)
    std::int64_t children = 0;         // skills under the last orchestrator
    std::int64_t sensors = 0;          // Box sensors sharing n_in values
    int depth = 2;                     // model levels in one step
    TeacherKind teacher = TeacherKind::masking;
};

const ScenarioSpec& tiny_policy();
const ScenarioSpec& medium_policy();
// Cost growth: a chain of `depth` tiny levels, no teachers.
ScenarioSpec depth_spec(int depth);
// Cost growth: one skill over 1,000 values split into `sensors` sensors.
ScenarioSpec sensors_spec(std::int64_t sensors, bool rebuilding_teacher);

class Scenario {
public:
    // The scenario of `scenario_spec`, built on first use (keyed by its label).
    static Scenario& of(const ScenarioSpec& scenario_spec);
    ~Scenario();

    const ScenarioSpec scenario_spec;
    std::filesystem::path dir;
    tarvik_core::OrchestrationPtr orchestration;

    // Built on first use, so that a run of one row builds only what it needs.
    tarvik_inference::BaseAgentProcessor& skill();  // Actuon of the first skill
    tarvik_inference::BaseAgentProcessor& top();    // the top agent's processor tree
    tarvik_inference::Runvane& runvane();           // packaged on the top agent
    tarvik_inference::GrafexEngine& engine();       // on the first skill's model
    BareSession& bare_skill();
    BareSession& bare_orchestrator();  // the model of the last orchestrator level

    tarvik_core::Value readings;         // name -> float64 array, one per sensor
    tarvik_core::NdArray flat_readings;  // the same values, flat in sensor order
    tarvik_core::Value sim_action_mask;  // int8 ones over the actions
    tarvik_core::NdArray observation;    // float32 [n_in], for the engine row
    tarvik_core::NdArray model_mask;     // float64 [n_out], for the engine row

private:
    explicit Scenario(const ScenarioSpec& scenario_spec);
    std::filesystem::path model(const std::string& agent) const;

    tarvik_inference::ProcessorPtr skill_;
    tarvik_inference::ProcessorPtr top_;
    std::unique_ptr<tarvik_inference::Runvane> runvane_;
    std::unique_ptr<tarvik_inference::GrafexEngine> engine_;
    std::unique_ptr<BareSession> bare_skill_;
    std::unique_ptr<BareSession> bare_orchestrator_;
};

}  // namespace tarvik_bench
