// Scenario: everything the benchmarks of one policy size run on.
//
// A scenario writes, into a private temporary folder, an MLP policy model per
// agent (tests/support/model_builder: seeded weights, an "action_mask" input
// so model preparation leaves the files alone) and an orchestration of one
// model-driven orchestrator over `children` identical skills. Every skill has
// a teacher that passes sensors through and returns a fixed mask, and a
// Discrete action space of the policy's output size; whichever child the
// orchestrator picks, a step costs the same. Sensors are Box sensors read by
// name, half of them normalised.
//
// On first use it builds each of: an Actuon for the first skill, the
// orchestrator's processor tree, a Runvane facade packaged on the
// orchestrator, a GrafexEngine on the skill's model, and the bare sessions of
// the skill's and the orchestrator's model files. Pre-built inputs (readings,
// simulator mask, observation and mask arrays) are reused by every step.
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

struct PolicySize {
    std::string label;                 // "tiny", "medium"
    std::int64_t n_in = 0;             // observation size
    std::vector<std::int64_t> hidden;  // hidden layer widths
    std::int64_t n_out = 0;            // logits: the action count and the child count
    std::int64_t sensor_width = 0;     // n_in is split into Box sensors of this size
};

const PolicySize& tiny_policy();
const PolicySize& medium_policy();

class Scenario {
public:
    // The scenario of `size`, built on first use.
    static Scenario& of(const PolicySize& size);
    ~Scenario();

    const PolicySize& size;
    std::filesystem::path dir;
    tarvik_core::OrchestrationPtr orchestration;

    // Built on first use, so that a run of one row builds only what it needs.
    tarvik_inference::BaseAgentProcessor& skill();         // Actuon of the first skill
    tarvik_inference::BaseAgentProcessor& orchestrator();  // Conductrix over the skills
    tarvik_inference::Runvane& runvane();                  // packaged on the orchestrator
    tarvik_inference::GrafexEngine& engine();              // on the first skill's model
    BareSession& bare_skill();
    BareSession& bare_orchestrator();

    tarvik_core::Value readings;         // name -> float64 array, one per sensor
    tarvik_core::Value sim_action_mask;  // int8 ones over the actions
    tarvik_core::NdArray observation;    // float32 [n_in], for the engine row
    tarvik_core::NdArray model_mask;     // float64 [n_out], for the engine row

private:
    explicit Scenario(const PolicySize& size);
    std::filesystem::path model(const std::string& agent) const;

    tarvik_inference::ProcessorPtr skill_;
    tarvik_inference::ProcessorPtr orchestrator_;
    std::unique_ptr<tarvik_inference::Runvane> runvane_;
    std::unique_ptr<tarvik_inference::GrafexEngine> engine_;
    std::unique_ptr<BareSession> bare_skill_;
    std::unique_ptr<BareSession> bare_orchestrator_;
};

}  // namespace tarvik_bench
