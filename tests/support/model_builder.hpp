// ModelBuilder: writes small ONNX models for tests and benchmarks.
//
// A fluent wrapper over onnx::ModelProto (opset 13, IR version 8): declare
// inputs and outputs with an element type and a shape whose entries are a
// number, a symbolic name or unknown, add nodes and initializers, then
// write() the model to a file. proto() exposes the message itself for models
// the helpers do not cover. Only the ONNX protobuf library is used, so a model
// is built the same way whatever later loads it.
//
// The policy makers at the bottom build the models most tests need: fixed
// logits, logits linear in the observation, and a seeded MLP. Each returns
// the builder, so a test can add to it before writing.
//
//   auto path = tarvik_test::fixed_logits_policy({.obs_size = 4, .logits = {1, 2}})
//                   .write(dir / "policy.onnx");
//
// Errors: inconsistent sizes (weights that do not fit, values that do not fill
// a shape) and failed writes throw std::invalid_argument / std::runtime_error;
// this is test code, the messages say what is wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <onnx/onnx_pb.h>

#include "tarvik_core/ndarray.hpp"

namespace tarvik_test {

// One entry of a declared shape: a fixed size, a symbolic name, or nothing.
class Dim {
public:
    Dim(int size) : size_(size) {}
    Dim(std::int64_t size) : size_(size) {}
    Dim(const char* symbol) : symbol_(symbol) {}
    Dim(std::string symbol) : symbol_(std::move(symbol)) {}
    static Dim unknown() { return Dim(); }

    const std::optional<std::int64_t>& size() const noexcept { return size_; }
    const std::string& symbol() const noexcept { return symbol_; }

private:
    Dim() = default;
    std::optional<std::int64_t> size_;
    std::string symbol_;
};
using Dims = std::vector<Dim>;

class ModelBuilder {
public:
    static constexpr std::int64_t kOpset = 13;
    static constexpr std::int64_t kIrVersion = 8;

    ModelBuilder();

    // Graph inputs and outputs, in the order they are declared.
    ModelBuilder& input(const std::string& name, tarvik_core::DType type, const Dims& dims);
    ModelBuilder& output(const std::string& name, tarvik_core::DType type, const Dims& dims);

    // Constant tensors stored in the graph (row-major `values` filling `shape`).
    ModelBuilder& initializer(const std::string& name, const std::vector<float>& values,
                              const std::vector<std::int64_t>& shape);
    ModelBuilder& initializer(const std::string& name, const std::vector<double>& values,
                              const std::vector<std::int64_t>& shape);
    ModelBuilder& initializer(const std::string& name, const std::vector<std::int64_t>& values,
                              const std::vector<std::int64_t>& shape);

    // A node without attributes, for any operator.
    ModelBuilder& node(const std::string& op_type, const std::vector<std::string>& inputs,
                       const std::vector<std::string>& outputs);
    ModelBuilder& identity(const std::string& in, const std::string& out);
    ModelBuilder& relu(const std::string& in, const std::string& out);
    ModelBuilder& add(const std::string& a, const std::string& b, const std::string& out);
    ModelBuilder& mul(const std::string& a, const std::string& b, const std::string& out);
    ModelBuilder& cast(const std::string& in, const std::string& out, tarvik_core::DType to);
    // Sum over every axis.
    ModelBuilder& reduce_sum(const std::string& in, const std::string& out, bool keepdims = true);
    // A float tensor produced by a Constant node.
    ModelBuilder& constant(const std::string& out, const std::vector<float>& values,
                           const std::vector<std::int64_t>& shape);
    // out = in x weights^T + bias, with `weights` row-major [bias.size(), n_in];
    // the weights and bias become initializers.
    ModelBuilder& gemm(const std::string& in, const std::string& out, const std::vector<float>& weights,
                       const std::vector<float>& bias);

    onnx::ModelProto& proto() noexcept { return model_; }
    const onnx::ModelProto& proto() const noexcept { return model_; }
    onnx::GraphProto& graph() noexcept { return *model_.mutable_graph(); }

    std::string serialize() const;
    // Writes the model (creating parent folders) and returns `path`.
    std::filesystem::path write(const std::filesystem::path& path) const;

    // A name not used yet in this model, for intermediate values.
    std::string fresh_name(const std::string& prefix);

private:
    onnx::ModelProto model_;
    int counter_ = 0;
};

// The ONNX element type code of a DType.
int onnx_elem_type(tarvik_core::DType type);

// Shared by the policy makers: observation input `obs_name` [1, obs_size]
// float, an optional "action_mask" input [1, mask_size] double that the graph
// does not read, output "action_dist_inputs" [1, K] float and optionally
// "vf_preds" [1] float.
struct PolicyIo {
    std::string obs_name = "obs";
    std::int64_t mask_size = 0;    // 0: no "action_mask" input
    std::optional<float> vf_pred;  // a constant "vf_preds" output when set
};

// Logits fixed by the test, whatever the observation.
struct FixedLogitsPolicy {
    std::int64_t obs_size = 1;
    std::vector<float> logits;
    PolicyIo io;
};
ModelBuilder fixed_logits_policy(const FixedLogitsPolicy& definition);

// logits = weights x obs + bias, weights row-major [bias.size(), obs_size].
struct LinearPolicy {
    std::int64_t obs_size = 1;
    std::vector<float> weights;
    std::vector<float> bias;
    PolicyIo io;
};
ModelBuilder linear_policy(const LinearPolicy& definition);

// Dense layers with Relu between them, weights drawn deterministically from
// `seed` (uniform in +-1/sqrt(fan_in), biases small), the same on every
// machine.
struct MlpPolicy {
    std::int64_t n_in = 1;
    std::vector<std::int64_t> hidden = {64, 64};
    std::int64_t n_out = 1;
    std::uint64_t seed = 0;
    PolicyIo io;
};
ModelBuilder mlp_policy(const MlpPolicy& definition);

// The MLP's logits for one observation, computed in plain C++ with the same
// weights, for checking what the model session returns.
std::vector<float> mlp_forward(const MlpPolicy& definition, std::span<const float> obs);

}  // namespace tarvik_test
