#include "bare_session.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace tarvik_bench {

namespace {

Ort::Env& bench_env() {
    // Like the runtime's own environment: created once, never destroyed, so
    // it outlives every session.
    static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tarvik_bench");
    return *env;
}

Ort::SessionOptions runtime_session_options() {
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    // The runtime's default model-session settings: one thread, no spinning.
    options.SetIntraOpNumThreads(1);
    options.SetInterOpNumThreads(1);
    options.AddConfigEntry("session.intra_op.allow_spinning", "0");
    return options;
}

}  // namespace

struct BareSession::Impl {
    explicit Impl(const std::filesystem::path& model)
        : session(bench_env(), model.c_str(), runtime_session_options()) {}

    Ort::Session session;
    Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<std::string> input_names, output_names;
    std::vector<const char*> input_ptrs, output_ptrs;
    std::vector<float> obs;
    std::vector<double> mask;
    std::vector<Ort::Value> inputs;
    // Every output written into a buffer made here, when every output is
    // float32 with a fixed shape (as in the benchmark models): the cheapest
    // plain run, and the one the runtime's engine makes for such models.
    std::vector<std::vector<float>> output_buffers;
    std::vector<Ort::Value> outputs;
};

BareSession::BareSession(const std::filesystem::path& model) : impl_(std::make_unique<Impl>(model)) {
    auto& s = *impl_;
    Ort::AllocatorWithDefaultOptions allocator;
    const std::size_t n_in = s.session.GetInputCount();
    if (n_in == 0) throw std::runtime_error("bare session: " + model.string() + " has no inputs");
    for (std::size_t i = 0; i < n_in; ++i) s.input_names.emplace_back(s.session.GetInputNameAllocated(i, allocator).get());
    for (std::size_t i = 0; i < s.session.GetOutputCount(); ++i)
        s.output_names.emplace_back(s.session.GetOutputNameAllocated(i, allocator).get());
    for (const auto& name : s.input_names) s.input_ptrs.push_back(name.c_str());
    for (const auto& name : s.output_names) s.output_ptrs.push_back(name.c_str());

    std::vector<std::vector<std::int64_t>> shapes;
    for (std::size_t i = 0; i < n_in; ++i) {
        auto shape = s.session.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
        for (auto& d : shape)
            if (d < 0) throw std::runtime_error("bare session: input " + s.input_names[i] + " has a free dimension");
        shapes.push_back(std::move(shape));
    }
    auto count = [](const std::vector<std::int64_t>& shape) {
        std::size_t n = 1;
        for (auto d : shape) n *= static_cast<std::size_t>(d);
        return n;
    };
    // Input 0 is the observation; every other input is an action mask, the
    // layout of the benchmark models. Both buffers are sized before any
    // tensor points into them and never grow afterwards.
    s.obs.assign(count(shapes[0]), 0.25f);
    std::size_t mask_total = 0;
    for (std::size_t i = 1; i < n_in; ++i) mask_total += count(shapes[i]);
    s.mask.assign(mask_total, 1.0);
    s.inputs.push_back(Ort::Value::CreateTensor<float>(s.memory, s.obs.data(), s.obs.size(), shapes[0].data(),
                                                       shapes[0].size()));
    double* next_mask = s.mask.data();
    for (std::size_t i = 1; i < n_in; ++i) {
        const std::size_t n = count(shapes[i]);
        s.inputs.push_back(Ort::Value::CreateTensor<double>(s.memory, next_mask, n, shapes[i].data(), shapes[i].size()));
        next_mask += n;
    }
    for (std::size_t i = 0; i < s.output_names.size(); ++i) {
        const auto info = s.session.GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo();
        const auto shape = info.GetShape();
        bool fixed = info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
        for (auto d : shape) fixed = fixed && d >= 0;
        if (!fixed) {
            s.output_buffers.clear();
            break;
        }
        s.output_buffers.emplace_back(count(shape));
    }
    if (s.output_buffers.size() == s.output_names.size()) {
        for (std::size_t i = 0; i < s.output_names.size(); ++i) {
            const auto shape = s.session.GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
            s.outputs.push_back(Ort::Value::CreateTensor<float>(s.memory, s.output_buffers[i].data(),
                                                                s.output_buffers[i].size(), shape.data(), shape.size()));
        }
    }
}

BareSession::~BareSession() = default;

std::size_t BareSession::run() {
    auto& s = *impl_;
    if (!s.outputs.empty()) {
        s.session.Run(Ort::RunOptions{nullptr}, s.input_ptrs.data(), s.inputs.data(), s.inputs.size(), s.output_ptrs.data(),
                      s.outputs.data(), s.outputs.size());
        return s.outputs.size();
    }
    auto outputs = s.session.Run(Ort::RunOptions{nullptr}, s.input_ptrs.data(), s.inputs.data(), s.inputs.size(),
                                 s.output_ptrs.data(), s.output_ptrs.size());
    return outputs.size();
}

}  // namespace tarvik_bench
