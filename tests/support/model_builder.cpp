#include "support/model_builder.hpp"

#include <cmath>
#include <fstream>
#include <stdexcept>

namespace tarvik_test {

using tarvik_core::DType;

namespace {

std::int64_t product(const std::vector<std::int64_t>& shape) {
    std::int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
}

void check_fill(const std::string& name, std::size_t count, const std::vector<std::int64_t>& shape) {
    if (static_cast<std::int64_t>(count) != product(shape))
        throw std::invalid_argument("tensor '" + name + "': " + std::to_string(count) +
                                    " values do not fill its shape");
}

void set_value_info(onnx::ValueInfoProto& info, const std::string& name, DType type, const Dims& dims) {
    info.set_name(name);
    auto* tensor = info.mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(onnx_elem_type(type));
    auto* shape = tensor->mutable_shape();
    for (const auto& dim : dims) {
        auto* d = shape->add_dim();
        if (dim.size()) d->set_dim_value(*dim.size());
        else if (!dim.symbol().empty()) d->set_dim_param(dim.symbol());
        // Neither set: a dimension without any value.
    }
}

onnx::TensorProto& start_tensor(onnx::TensorProto& t, const std::string& name, DType type,
                                const std::vector<std::int64_t>& shape) {
    t.set_name(name);
    t.set_data_type(onnx_elem_type(type));
    for (auto d : shape) t.add_dims(d);
    return t;
}

onnx::NodeProto& add_node(onnx::GraphProto& graph, const std::string& op_type,
                          const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    auto* node = graph.add_node();
    node->set_op_type(op_type);
    node->set_name(outputs.empty() ? op_type : op_type + "_" + outputs.front());
    for (const auto& in : inputs) node->add_input(in);
    for (const auto& out : outputs) node->add_output(out);
    return *node;
}

// splitmix64: a tiny generator with a fixed, documented sequence, so seeded
// weights are identical on every platform and standard library.
class SplitMix {
public:
    explicit SplitMix(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [-limit, limit).
    float uniform(float limit) {
        const double unit = static_cast<double>(next() >> 11) / 9007199254740992.0;  // [0, 1)
        return static_cast<float>((2.0 * unit - 1.0) * limit);
    }

private:
    std::uint64_t state_;
};

struct Layer {
    std::vector<float> weights;  // row-major [out, in]
    std::vector<float> bias;
};

std::vector<Layer> mlp_layers(const MlpPolicy& definition) {
    SplitMix rng(definition.seed);
    std::vector<Layer> layers;
    std::int64_t fan_in = definition.n_in;
    auto widths = definition.hidden;
    widths.push_back(definition.n_out);
    for (auto width : widths) {
        if (width <= 0 || fan_in <= 0) throw std::invalid_argument("MLP layer sizes must be positive");
        Layer layer;
        const float limit = 1.0f / std::sqrt(static_cast<float>(fan_in));
        layer.weights.resize(static_cast<std::size_t>(width * fan_in));
        for (auto& w : layer.weights) w = rng.uniform(limit);
        layer.bias.resize(static_cast<std::size_t>(width));
        for (auto& b : layer.bias) b = rng.uniform(0.1f);
        layers.push_back(std::move(layer));
        fan_in = width;
    }
    return layers;
}

// Declares the observation, mask and vf_preds parts every policy shares.
ModelBuilder policy_skeleton(const PolicyIo& io, std::int64_t obs_size) {
    ModelBuilder b;
    b.input(io.obs_name, DType::Float32, {1, obs_size});
    if (io.mask_size > 0) b.input("action_mask", DType::Float64, {1, io.mask_size});
    return b;
}

void finish_policy(ModelBuilder& b, const PolicyIo& io, const std::string& logits, std::int64_t n_logits) {
    b.identity(logits, "action_dist_inputs");
    b.output("action_dist_inputs", DType::Float32, {1, n_logits});
    if (io.vf_pred) {
        const auto value = b.fresh_name("vf_const");
        b.constant(value, {*io.vf_pred}, {1});
        b.identity(value, "vf_preds");
        b.output("vf_preds", DType::Float32, {1});
    }
}

}  // namespace

int onnx_elem_type(DType type) {
    switch (type) {
        case DType::Bool: return onnx::TensorProto::BOOL;
        case DType::Int8: return onnx::TensorProto::INT8;
        case DType::UInt8: return onnx::TensorProto::UINT8;
        case DType::Int32: return onnx::TensorProto::INT32;
        case DType::Int64: return onnx::TensorProto::INT64;
        case DType::Float32: return onnx::TensorProto::FLOAT;
        case DType::Float64: return onnx::TensorProto::DOUBLE;
    }
    throw std::invalid_argument("unknown element type");
}

ModelBuilder::ModelBuilder() {
    model_.set_ir_version(kIrVersion);
    model_.set_producer_name("tarvik_test");
    auto* opset = model_.add_opset_import();
    opset->set_domain("");
    opset->set_version(kOpset);
    model_.mutable_graph()->set_name("test_graph");
}

ModelBuilder& ModelBuilder::input(const std::string& name, DType type, const Dims& dims) {
    set_value_info(*graph().add_input(), name, type, dims);
    return *this;
}

ModelBuilder& ModelBuilder::output(const std::string& name, DType type, const Dims& dims) {
    set_value_info(*graph().add_output(), name, type, dims);
    return *this;
}

ModelBuilder& ModelBuilder::initializer(const std::string& name, const std::vector<float>& values,
                                        const std::vector<std::int64_t>& shape) {
    check_fill(name, values.size(), shape);
    auto& t = start_tensor(*graph().add_initializer(), name, DType::Float32, shape);
    for (auto v : values) t.add_float_data(v);
    return *this;
}

ModelBuilder& ModelBuilder::initializer(const std::string& name, const std::vector<double>& values,
                                        const std::vector<std::int64_t>& shape) {
    check_fill(name, values.size(), shape);
    auto& t = start_tensor(*graph().add_initializer(), name, DType::Float64, shape);
    for (auto v : values) t.add_double_data(v);
    return *this;
}

ModelBuilder& ModelBuilder::initializer(const std::string& name, const std::vector<std::int64_t>& values,
                                        const std::vector<std::int64_t>& shape) {
    check_fill(name, values.size(), shape);
    auto& t = start_tensor(*graph().add_initializer(), name, DType::Int64, shape);
    for (auto v : values) t.add_int64_data(v);
    return *this;
}

ModelBuilder& ModelBuilder::node(const std::string& op_type, const std::vector<std::string>& inputs,
                                 const std::vector<std::string>& outputs) {
    add_node(graph(), op_type, inputs, outputs);
    return *this;
}

ModelBuilder& ModelBuilder::identity(const std::string& in, const std::string& out) {
    return node("Identity", {in}, {out});
}

ModelBuilder& ModelBuilder::relu(const std::string& in, const std::string& out) {
    return node("Relu", {in}, {out});
}

ModelBuilder& ModelBuilder::add(const std::string& a, const std::string& b, const std::string& out) {
    return node("Add", {a, b}, {out});
}

ModelBuilder& ModelBuilder::mul(const std::string& a, const std::string& b, const std::string& out) {
    return node("Mul", {a, b}, {out});
}

ModelBuilder& ModelBuilder::cast(const std::string& in, const std::string& out, DType to) {
    auto* attr = add_node(graph(), "Cast", {in}, {out}).add_attribute();
    attr->set_name("to");
    attr->set_type(onnx::AttributeProto::INT);
    attr->set_i(onnx_elem_type(to));
    return *this;
}

ModelBuilder& ModelBuilder::reduce_sum(const std::string& in, const std::string& out, bool keepdims) {
    auto* attr = add_node(graph(), "ReduceSum", {in}, {out}).add_attribute();
    attr->set_name("keepdims");
    attr->set_type(onnx::AttributeProto::INT);
    attr->set_i(keepdims ? 1 : 0);
    return *this;
}

ModelBuilder& ModelBuilder::constant(const std::string& out, const std::vector<float>& values,
                                     const std::vector<std::int64_t>& shape) {
    check_fill(out, values.size(), shape);
    auto* attr = add_node(graph(), "Constant", {}, {out}).add_attribute();
    attr->set_name("value");
    attr->set_type(onnx::AttributeProto::TENSOR);
    auto& t = start_tensor(*attr->mutable_t(), out + "_value", DType::Float32, shape);
    for (auto v : values) t.add_float_data(v);
    return *this;
}

ModelBuilder& ModelBuilder::gemm(const std::string& in, const std::string& out, const std::vector<float>& weights,
                                 const std::vector<float>& bias) {
    const auto n_out = static_cast<std::int64_t>(bias.size());
    if (n_out == 0 || weights.size() % bias.size() != 0 || weights.empty())
        throw std::invalid_argument("Gemm '" + out + "': " + std::to_string(weights.size()) +
                                    " weights do not form rows of " + std::to_string(bias.size()) + " outputs");
    const auto n_in = static_cast<std::int64_t>(weights.size()) / n_out;
    const auto w = fresh_name(out + "_W");
    const auto b = fresh_name(out + "_B");
    initializer(w, weights, {n_out, n_in});
    initializer(b, bias, {n_out});
    auto* attr = add_node(graph(), "Gemm", {in, w, b}, {out}).add_attribute();
    attr->set_name("transB");
    attr->set_type(onnx::AttributeProto::INT);
    attr->set_i(1);
    return *this;
}

std::string ModelBuilder::serialize() const {
    std::string bytes;
    if (!model_.SerializeToString(&bytes)) throw std::runtime_error("could not serialise the ONNX model");
    return bytes;
}

std::filesystem::path ModelBuilder::write(const std::filesystem::path& path) const {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    const auto bytes = serialize();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("could not write the ONNX model to " + path.string());
    return path;
}

std::string ModelBuilder::fresh_name(const std::string& prefix) {
    return prefix + "__" + std::to_string(counter_++);
}

ModelBuilder fixed_logits_policy(const FixedLogitsPolicy& definition) {
    if (definition.logits.empty()) throw std::invalid_argument("fixed_logits_policy needs at least one logit");
    const auto k = static_cast<std::int64_t>(definition.logits.size());
    auto b = policy_skeleton(definition.io, definition.obs_size);
    const auto logits = b.fresh_name("logits_const");
    b.constant(logits, definition.logits, {1, k});
    finish_policy(b, definition.io, logits, k);
    return b;
}

ModelBuilder linear_policy(const LinearPolicy& definition) {
    if (static_cast<std::int64_t>(definition.weights.size()) != definition.obs_size * static_cast<std::int64_t>(definition.bias.size()))
        throw std::invalid_argument("linear_policy: weights must be [bias.size(), obs_size]");
    auto b = policy_skeleton(definition.io, definition.obs_size);
    const auto logits = b.fresh_name("logits");
    b.gemm(definition.io.obs_name, logits, definition.weights, definition.bias);
    finish_policy(b, definition.io, logits, static_cast<std::int64_t>(definition.bias.size()));
    return b;
}

ModelBuilder mlp_policy(const MlpPolicy& definition) {
    auto b = policy_skeleton(definition.io, definition.n_in);
    std::string x = definition.io.obs_name;
    const auto layers = mlp_layers(definition);
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const auto y = b.fresh_name("dense");
        b.gemm(x, y, layers[i].weights, layers[i].bias);
        x = y;
        if (i + 1 < layers.size()) {
            const auto r = b.fresh_name("relu");
            b.relu(x, r);
            x = r;
        }
    }
    finish_policy(b, definition.io, x, definition.n_out);
    return b;
}

std::vector<float> mlp_forward(const MlpPolicy& definition, std::span<const float> obs) {
    if (static_cast<std::int64_t>(obs.size()) != definition.n_in)
        throw std::invalid_argument("mlp_forward: observation has the wrong size");
    std::vector<float> x(obs.begin(), obs.end());
    const auto layers = mlp_layers(definition);
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const auto& layer = layers[i];
        std::vector<float> y(layer.bias);
        for (std::size_t o = 0; o < y.size(); ++o)
            for (std::size_t j = 0; j < x.size(); ++j) y[o] += layer.weights[o * x.size() + j] * x[j];
        if (i + 1 < layers.size())
            for (auto& v : y) v = v > 0.0f ? v : 0.0f;
        x = std::move(y);
    }
    return x;
}

}  // namespace tarvik_test
