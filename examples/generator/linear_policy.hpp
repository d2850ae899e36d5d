// LinearPolicy: the small policy models of the example orchestrations, and
// their ONNX form.
//
// A linear policy computes logits = input . weight + bias, where the input is
// the observation itself or, with `abs_input`, its elementwise absolute value
// (what the cart-pole supervisor needs to react to distances in both
// directions). `logits()` computes this in float32 arithmetic, as the runtime's
// model session does, so the generator's simulation of an orchestration takes
// the decisions the written model will take.
//
// `onnx_bytes()` gives the model file: inputs "observation" [1, inputs]
// (float32) and "action_mask" [1, mask_size] (float64; present but unused, so
// the runtime never has to add one and rewrite the file), output
// "action_dist_inputs" [1, outputs] (float32), built from an optional Abs and
// one Gemm. The bytes depend only on the policy: the same policy always gives
// the same file.
//
// `from_onnx_bytes()` reads such a file back, so a committed model can be
// simulated as it is.
//
// Errors: sizes that do not fit together (weights, bias, an observation of
// the wrong length) are a tarvik_core::ValueError naming the agent; a file
// that cannot be written is a tarvik_core::RuntimeError naming the path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace tarvik_examples {

struct LinearPolicy {
    std::string agent;       // the agent the model belongs to; also the graph's name
    std::string summary;     // one line on what the model does, kept in the file
    bool abs_input = false;  // feed |observation| to the linear map
    std::int64_t inputs = 0;
    std::int64_t outputs = 0;
    std::int64_t mask_size = 0;
    std::vector<float> weight;  // inputs x outputs, row-major
    std::vector<float> bias;    // outputs

    // ValueError when the sizes do not fit together.
    void check() const;
    // The model's output for one observation; `out` takes `outputs` values.
    void logits(std::span<const float> observation, std::span<float> out) const;
    std::string onnx_bytes() const;
    // The policy back from a file that onnx_bytes() wrote (the summary
    // included). ValueError for anything else: another graph layout, other
    // names, shapes or types.
    static LinearPolicy from_onnx_bytes(const std::string& bytes);

    friend bool operator==(const LinearPolicy&, const LinearPolicy&) = default;
};

// Writes `bytes` to `path` through a temporary sibling file renamed into
// place, so a reader never sees a half-written model. Creates the folder.
void write_file_atomically(const std::filesystem::path& path, const std::string& bytes);

}  // namespace tarvik_examples
