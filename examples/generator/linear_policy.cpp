#include "linear_policy.hpp"

#include <cmath>
#include <fstream>
#include <system_error>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <onnx/onnx_pb.h>

#include "tarvik_core/errors.hpp"

namespace tarvik_examples {

namespace {

// Opset and IR version that every ONNX Runtime of the last years reads.
constexpr std::int64_t kOpset = 13;
constexpr std::int64_t kIrVersion = 8;

void add_value_info(onnx::ValueInfoProto* info, const std::string& name, onnx::TensorProto::DataType type,
                    std::initializer_list<std::int64_t> dims) {
    info->set_name(name);
    auto* tensor = info->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(type);
    for (std::int64_t dim : dims) tensor->mutable_shape()->add_dim()->set_dim_value(dim);
}

void add_initializer(onnx::GraphProto* graph, const std::string& name, std::initializer_list<std::int64_t> dims,
                     const std::vector<float>& values) {
    auto* tensor = graph->add_initializer();
    tensor->set_name(name);
    tensor->set_data_type(onnx::TensorProto::FLOAT);
    for (std::int64_t dim : dims) tensor->add_dims(dim);
    for (float value : values) tensor->add_float_data(value);
}

void add_node(onnx::GraphProto* graph, const std::string& op, std::initializer_list<std::string> inputs,
              const std::string& output) {
    auto* node = graph->add_node();
    node->set_op_type(op);
    node->set_name(op + "_" + output);
    for (const auto& input : inputs) node->add_input(input);
    node->add_output(output);
}

}  // namespace

void LinearPolicy::check() const {
    const std::string who = "policy of agent '" + agent + "'";
    if (inputs <= 0 || outputs <= 0 || mask_size <= 0)
        throw tarvik_core::ValueError(who + " needs positive sizes, got inputs " + std::to_string(inputs) +
                                      ", outputs " + std::to_string(outputs) + ", mask_size " +
                                      std::to_string(mask_size));
    if (static_cast<std::int64_t>(weight.size()) != inputs * outputs)
        throw tarvik_core::ValueError(who + " has " + std::to_string(weight.size()) + " weights for " +
                                      std::to_string(inputs) + " inputs and " + std::to_string(outputs) +
                                      " outputs");
    if (static_cast<std::int64_t>(bias.size()) != outputs)
        throw tarvik_core::ValueError(who + " has " + std::to_string(bias.size()) + " biases for " +
                                      std::to_string(outputs) + " outputs");
}

void LinearPolicy::logits(std::span<const float> observation, std::span<float> out) const {
    if (static_cast<std::int64_t>(observation.size()) != inputs || static_cast<std::int64_t>(out.size()) != outputs)
        throw tarvik_core::ValueError("policy of agent '" + agent + "' maps " + std::to_string(inputs) + " inputs to " +
                                      std::to_string(outputs) + " outputs, got " +
                                      std::to_string(observation.size()) + " and " + std::to_string(out.size()));
    for (std::int64_t j = 0; j < outputs; ++j) {
        float sum = 0.0f;
        for (std::int64_t i = 0; i < inputs; ++i) {
            const float in = abs_input ? std::fabs(observation[i]) : observation[i];
            sum += in * weight[i * outputs + j];
        }
        out[j] = sum + bias[j];
    }
}

std::string LinearPolicy::onnx_bytes() const {
    check();
    onnx::ModelProto model;
    model.set_ir_version(kIrVersion);
    model.set_producer_name("tarvik-make-example-models");
    model.set_doc_string(summary);
    auto* opset = model.add_opset_import();
    opset->set_domain("");
    opset->set_version(kOpset);

    auto* graph = model.mutable_graph();
    graph->set_name(agent);
    add_value_info(graph->add_input(), "observation", onnx::TensorProto::FLOAT, {1, inputs});
    add_value_info(graph->add_input(), "action_mask", onnx::TensorProto::DOUBLE, {1, mask_size});
    add_value_info(graph->add_output(), "action_dist_inputs", onnx::TensorProto::FLOAT, {1, outputs});
    add_initializer(graph, "weight", {inputs, outputs}, weight);
    add_initializer(graph, "bias", {outputs}, bias);
    std::string linear_input = "observation";
    if (abs_input) {
        add_node(graph, "Abs", {"observation"}, "observation_abs");
        linear_input = "observation_abs";
    }
    add_node(graph, "Gemm", {linear_input, "weight", "bias"}, "action_dist_inputs");

    std::string bytes;
    {
        google::protobuf::io::StringOutputStream stream(&bytes);
        google::protobuf::io::CodedOutputStream coded(&stream);
        coded.SetSerializationDeterministic(true);
        if (!model.SerializeToCodedStream(&coded))
            throw tarvik_core::RuntimeError("cannot serialise the model of agent '" + agent + "'");
    }
    return bytes;
}

namespace {

[[noreturn]] void not_ours(const std::string& what) {
    throw tarvik_core::ValueError("not a linear policy model written by the example generator: " + what);
}

// The fixed dimensions of a declared input or output of the given type.
std::vector<std::int64_t> declared_dims(const onnx::ValueInfoProto& info, onnx::TensorProto::DataType type) {
    const auto& tensor = info.type().tensor_type();
    if (tensor.elem_type() != type) not_ours("'" + info.name() + "' has element type " + std::to_string(tensor.elem_type()));
    std::vector<std::int64_t> dims;
    for (const auto& dim : tensor.shape().dim()) {
        if (!dim.has_dim_value()) not_ours("'" + info.name() + "' has a free dimension");
        dims.push_back(dim.dim_value());
    }
    if (dims.size() != 2 || dims[0] != 1) not_ours("'" + info.name() + "' is not shaped [1, n]");
    return dims;
}

const onnx::TensorProto& initializer(const onnx::GraphProto& graph, const std::string& name) {
    for (const auto& tensor : graph.initializer())
        if (tensor.name() == name) {
            if (tensor.data_type() != onnx::TensorProto::FLOAT || !tensor.raw_data().empty())
                not_ours("initializer '" + name + "' is not stored as float values");
            return tensor;
        }
    not_ours("no initializer '" + name + "'");
}

}  // namespace

LinearPolicy LinearPolicy::from_onnx_bytes(const std::string& bytes) {
    onnx::ModelProto model;
    if (!model.ParseFromString(bytes)) not_ours("the bytes are not an ONNX model");
    const auto& graph = model.graph();
    if (graph.input_size() != 2 || graph.input(0).name() != "observation" || graph.input(1).name() != "action_mask")
        not_ours("the inputs are not 'observation' and 'action_mask'");
    if (graph.output_size() != 1 || graph.output(0).name() != "action_dist_inputs")
        not_ours("the output is not 'action_dist_inputs'");

    LinearPolicy policy;
    policy.agent = graph.name();
    policy.summary = model.doc_string();
    policy.inputs = declared_dims(graph.input(0), onnx::TensorProto::FLOAT)[1];
    policy.mask_size = declared_dims(graph.input(1), onnx::TensorProto::DOUBLE)[1];
    policy.outputs = declared_dims(graph.output(0), onnx::TensorProto::FLOAT)[1];
    const int nodes = graph.node_size();
    if (nodes < 1 || nodes > 2 || graph.node(nodes - 1).op_type() != "Gemm" ||
        (nodes == 2 && graph.node(0).op_type() != "Abs"))
        not_ours("the graph is not an optional Abs followed by one Gemm");
    policy.abs_input = nodes == 2;
    const auto& weight = initializer(graph, "weight");
    const auto& bias = initializer(graph, "bias");
    policy.weight.assign(weight.float_data().begin(), weight.float_data().end());
    policy.bias.assign(bias.float_data().begin(), bias.float_data().end());
    policy.check();
    return policy;
}

void write_file_atomically(const std::filesystem::path& path, const std::string& bytes) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) throw tarvik_core::RuntimeError("cannot create the folder " + path.parent_path().string() + ": " + ec.message());
    }
    fs::path temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            throw tarvik_core::RuntimeError("cannot write " + temporary.string());
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw tarvik_core::RuntimeError("cannot move " + temporary.string() + " to " + path.string() + ": " + ec.message());
    }
}

}  // namespace tarvik_examples
