#include "tarvik_inference/grafex.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <span>
#include <system_error>

#include <onnxruntime_cxx_api.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"

namespace tarvik_inference {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.grafex");

constexpr const char* kCpuProvider = "CPUExecutionProvider";

// One ONNX Runtime environment for the whole process, created on first use.
// It is never destroyed: sessions may outlive any static we could tie it to,
// and the runtime expects its environment to outlive every session.
Ort::Env& process_env() {
    static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tarvik_inference.grafex");
    return *env;
}

// Runs `fn`, turning ONNX Runtime's own exception type into our RuntimeError
// with the runtime's message unchanged, so callers see one family of errors.
template <class Fn>
decltype(auto) ort_call(Fn&& fn) {
    try {
        return fn();
    } catch (const Ort::Exception& e) {
        throw tarvik_core::RuntimeError(e.what());
    }
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The declared shape of a session input or output. Inputs that are not
// tensors (sequences, maps) declare no shape.
DeclaredShape declared_shape_of(const Ort::TypeInfo& info) {
    DeclaredShape out;
    if (info.GetONNXType() != ONNX_TYPE_TENSOR) return out;
    auto tensor = info.GetTensorTypeAndShapeInfo();
    const auto dims = tensor.GetShape();
    std::vector<const char*> symbols(dims.size(), nullptr);
    if (!dims.empty()) tensor.GetSymbolicDimensions(symbols.data(), symbols.size());
    out.reserve(dims.size());
    for (std::size_t i = 0; i < dims.size(); ++i) {
        DeclaredDim dim;
        if (dims[i] >= 0) dim.size = dims[i];
        else if (symbols[i] != nullptr) dim.symbol = symbols[i];
        out.push_back(std::move(dim));
    }
    return out;
}

std::optional<DType> dtype_of_element(ONNXTensorElementDataType type) {
    switch (type) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return DType::Float32;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return DType::Float64;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return DType::Int64;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return DType::Int32;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return DType::Int8;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return DType::UInt8;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return DType::Bool;
        default: return std::nullopt;
    }
}

ONNXTensorElementDataType element_of(DType type) {
    return type == DType::Float32 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT : ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
}

// The declared shape as an array shape, or nothing when an entry is free.
std::optional<Shape> fixed_shape(const DeclaredShape& declared) {
    if (declared.size() > Shape::kMaxDims) return std::nullopt;
    Shape shape;
    for (const auto& dim : declared) {
        if (!dim.is_fixed()) return std::nullopt;
        shape.push_back(*dim.size);
    }
    return shape;
}

// The inputs of one run, keyed by input name with mapping semantics: setting
// a name again replaces its array in place. The arrays are kept so that the
// tensors wrapping their buffers stay valid until the run has finished.
class Feed {
public:
    void set(std::size_t input, NdArray array) {
        for (auto& entry : entries_) {
            if (entry.input == input) {
                entry.array = std::move(array);
                return;
            }
        }
        entries_.push_back({input, std::move(array)});
    }
    std::size_t size() const noexcept { return entries_.size(); }
    std::size_t input(std::size_t i) const noexcept { return entries_[i].input; }
    NdArray& array(std::size_t i) noexcept { return entries_[i].array; }
    // True when `p` points into the buffer of a fed array.
    bool holds(const void* p) const noexcept {
        const auto* q = static_cast<const unsigned char*>(p);
        for (const auto& entry : entries_) {
            const auto* begin = static_cast<const unsigned char*>(entry.array.raw_data());
            const auto bytes = static_cast<std::size_t>(entry.array.size()) * tarvik_core::dtype_size(entry.array.dtype());
            if (begin != nullptr && q >= begin && q < begin + bytes) return true;
        }
        return false;
    }

private:
    struct Entry {
        std::size_t input;
        NdArray array;
    };
    std::vector<Entry> entries_;  // a run feeds at most a few inputs
};

}  // namespace

std::string declared_shape_repr(const DeclaredShape& shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) out += ", ";
        const auto& dim = shape[i];
        if (dim.size) out += std::to_string(*dim.size);
        else if (!dim.symbol.empty()) out += "'" + dim.symbol + "'";
        else out += "None";
    }
    return out + "]";
}

bool shape_matches(const Shape& shape, const DeclaredShape& declared) noexcept {
    if (shape.size() != declared.size()) return false;
    for (std::size_t i = 0; i < declared.size(); ++i)
        if (!declared[i].size || *declared[i].size != shape[i]) return false;
    return true;
}

const NdArray* OutputMap::find(std::string_view name) const noexcept {
    for (const auto& [key, array] : entries_)
        if (key == name) return &array;
    return nullptr;
}

const NdArray& OutputMap::at(std::string_view name) const {
    if (const auto* array = find(name)) return *array;
    throw tarvik_core::KeyError("'" + std::string(name) + "'");
}

tarvik_core::Dict OutputMap::to_dict() const {
    tarvik_core::Dict out;
    for (const auto& [key, array] : entries_) out.set(key, array);
    return out;
}

// Everything a run needs that does not change after loading.
struct GrafexEngine::Session {
    Session(Ort::Session s) : session(std::move(s)) {}

    Ort::Session session;
    Ort::MemoryInfo memory_info = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<const char*> input_name_ptrs;   // into GrafexEngine::input_names_
    std::vector<const char*> output_name_ptrs;  // into GrafexEngine::output_names_
    std::size_t obs_input = 0;                  // meaningful when there are inputs
    std::vector<std::size_t> mask_inputs;       // every input whose name contains "action_mask"
    // All-ones float64 masks for the mask inputs, parallel to mask_inputs;
    // empty where the declared shape has a free dimension. Never written
    // after loading, so every run can feed the same buffers.
    std::vector<std::optional<NdArray>> default_masks;
};

GrafexEngine::GrafexEngine(std::string path, std::optional<std::vector<std::string>> providers)
    : model_path(std::move(path)) {
    const auto provider_list = providers ? std::move(*providers) : std::vector<std::string>{kCpuProvider};
    std::error_code ec;
    if (!std::filesystem::exists(model_path, ec))
        throw tarvik_core::FileNotFoundError("ONNX model not found at: " + model_path);
    _load_model(provider_list);
}

GrafexEngine::~GrafexEngine() = default;

bool GrafexEngine::has_session() const noexcept { return session_ != nullptr; }

void GrafexEngine::_load_model(const std::vector<std::string>& providers) {
    try {
        ort_call([&] {
            Ort::SessionOptions options;
            options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
            for (const auto& provider : providers)
                if (provider != kCpuProvider) options.AppendExecutionProvider(provider, {});
            session_ = std::make_unique<Session>(Ort::Session(process_env(), model_path.c_str(), options));

            auto& s = *session_;
            Ort::AllocatorWithDefaultOptions allocator;
            const std::size_t n_in = s.session.GetInputCount();
            const std::size_t n_out = s.session.GetOutputCount();
            std::vector<std::string> inputs, outputs;
            std::vector<DeclaredShape> in_shapes, out_shapes;
            for (std::size_t i = 0; i < n_in; ++i) {
                inputs.emplace_back(s.session.GetInputNameAllocated(i, allocator).get());
                in_shapes.push_back(declared_shape_of(s.session.GetInputTypeInfo(i)));
            }
            for (std::size_t i = 0; i < n_out; ++i) {
                outputs.emplace_back(s.session.GetOutputNameAllocated(i, allocator).get());
                out_shapes.push_back(declared_shape_of(s.session.GetOutputTypeInfo(i)));
            }
            input_names_ = std::move(inputs);
            output_names_ = std::move(outputs);
            input_shapes_ = std::move(in_shapes);
            output_shapes_ = std::move(out_shapes);
        });

        // The name lists never change from here on, so every run reuses these
        // look-ups instead of scanning the names again.
        auto& s = *session_;
        for (const auto& name : input_names_) s.input_name_ptrs.push_back(name.c_str());
        for (const auto& name : output_names_) s.output_name_ptrs.push_back(name.c_str());
        bool found_obs = false;
        for (std::size_t i = 0; i < input_names_.size(); ++i) {
            const auto name = lower(input_names_[i]);
            if (!found_obs && name.find("observation") != std::string::npos) {
                s.obs_input = i;
                found_obs = true;
            }
            if (name.find("action_mask") != std::string::npos) {
                s.mask_inputs.push_back(i);
                const auto shape = fixed_shape(input_shapes_[i]);
                s.default_masks.push_back(shape ? std::optional(NdArray::ones(DType::Float64, *shape)) : std::nullopt);
            }
        }

        logger.info("Successfully loaded ONNX model from: " + model_path);
        if (logger.enabled(tarvik_core::LogLevel::debug))
            logger.debug("Input names: " + tarvik_core::repr_names(input_names_) +
                         ", Output names: " + tarvik_core::repr_names(output_names_));
    } catch (...) {
        const auto error = std::current_exception();
        if (tarvik_core::is_ordinary_error(error))
            logger.error("Error loading ONNX model from " + model_path + ": " + tarvik_core::error_text(error));
        throw;
    }
}

namespace {

[[noreturn]] void free_dimension(const std::string& what, const std::string& input, const DeclaredShape& declared) {
    throw tarvik_core::ValueError("Cannot " + what + " for input '" + input + "': its declared shape " +
                                  declared_shape_repr(declared) + " has a free dimension");
}

// Wraps one run output without copying: the array keeps the runtime's value
// alive. An output that shares memory with a fed array (an input passed
// straight through) is copied, since the fed buffer belongs to the caller.
NdArray wrap_output(Ort::Value value, const std::string& name, const Feed& feed) {
    if (!value.IsTensor()) throw tarvik_core::TypeError("Model output '" + name + "' is not a tensor");
    auto info = value.GetTensorTypeAndShapeInfo();
    const auto dtype = dtype_of_element(info.GetElementType());
    if (!dtype)
        throw tarvik_core::TypeError("Model output '" + name + "' has an unsupported element type (ONNX type " +
                                     std::to_string(static_cast<int>(info.GetElementType())) + ")");
    const auto dims = info.GetShape();
    const Shape shape{std::span<const std::int64_t>(dims)};
    void* data = value.GetTensorMutableRawData();
    const bool aliases_feed = data != nullptr && feed.holds(data);
    auto owner = std::make_shared<Ort::Value>(std::move(value));
    NdArray array = NdArray::wrap(*dtype, shape, data, std::shared_ptr<const void>(owner, owner.get()));
    return aliases_feed ? array.copy() : array;
}

}  // namespace

OutputMap GrafexEngine::infer(const NdArray& observation, const NdArray* action_mask) {
    std::lock_guard lock(model_lock_);
    if (!session_) throw tarvik_core::RuntimeError("Model not loaded");
    try {
        auto& s = *session_;
        Feed feed;

        // astype() keeps an array that is already float32 as it is; the run
        // only reads its inputs, so feeding the caller's buffer is safe.
        NdArray obs = observation.ndim() == 1 ? observation.reshape(Shape{1, observation.size()}) : observation;
        obs = obs.astype(DType::Float32);
        if (input_shapes_.empty()) throw tarvik_core::IndexError("list index out of range");
        const auto& expected = input_shapes_.front();
        if (!shape_matches(obs.shape(), expected))
            throw tarvik_core::ValueError("Observation has too many dimensions: " + tarvik_core::shape_repr(obs.shape()) +
                                          ", expected: " + declared_shape_repr(expected) +
                                          ". Batch inference is not supported.");
        feed.set(s.obs_input, std::move(obs));

        if (action_mask != nullptr) {
            if (!s.mask_inputs.empty()) {
                const auto input = s.mask_inputs.front();
                const auto& declared = input_shapes_[input];
                NdArray mask = *action_mask;
                if (mask.ndim() == 1) {
                    const auto target = fixed_shape(declared);
                    if (!target) free_dimension("reshape the action mask", input_names_[input], declared);
                    mask = mask.reshape(*target);
                }
                mask = mask.astype(DType::Float64);
                if (!shape_matches(mask.shape(), declared))
                    throw tarvik_core::ValueError("Action mask has incorrect shape: " +
                                                  tarvik_core::shape_repr(mask.shape()) +
                                                  ", expected: " + declared_shape_repr(declared));
                feed.set(input, std::move(mask));
            }
        } else {
            for (std::size_t i = 0; i < s.mask_inputs.size(); ++i) {
                const auto input = s.mask_inputs[i];
                if (!s.default_masks[i])
                    free_dimension("build the default action mask", input_names_[input], input_shapes_[input]);
                feed.set(input, *s.default_masks[i]);
            }
        }

        return ort_call([&] {
            std::vector<const char*> names;
            std::vector<Ort::Value> tensors;
            names.reserve(feed.size());
            tensors.reserve(feed.size());
            for (std::size_t i = 0; i < feed.size(); ++i) {
                auto& array = feed.array(i);
                const std::size_t bytes = static_cast<std::size_t>(array.size()) * tarvik_core::dtype_size(array.dtype());
                const auto& shape = array.shape();
                names.push_back(s.input_name_ptrs[feed.input(i)]);
                tensors.push_back(Ort::Value::CreateTensor(s.memory_info, array.mutable_raw_data(), bytes,
                                                           shape.begin(), shape.size(), element_of(array.dtype())));
            }
            auto results = s.session.Run(Ort::RunOptions{nullptr}, names.data(), tensors.data(), tensors.size(),
                                         s.output_name_ptrs.data(), s.output_name_ptrs.size());
            OutputMap outputs;
            for (std::size_t i = 0; i < results.size() && i < output_names_.size(); ++i)
                outputs.push_back(output_names_[i], wrap_output(std::move(results[i]), output_names_[i], feed));
            return outputs;
        });
    } catch (...) {
        const auto error = std::current_exception();
        if (tarvik_core::is_ordinary_error(error))
            logger.error("Error during inference: " + tarvik_core::error_text(error));
        throw;
    }
}

OutputMap GrafexEngine::infer(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return infer(observation, action_mask ? &*action_mask : nullptr);
}

NdArray GrafexEngine::get_action_dist_inputs(const NdArray& observation, const NdArray* action_mask) {
    auto outputs = infer(observation, action_mask);
    if (const auto* logits = outputs.find("action_dist_inputs")) return *logits;
    if (output_names_.empty()) throw tarvik_core::IndexError("list index out of range");
    return outputs.at(output_names_.back());
}

NdArray GrafexEngine::get_action_dist_inputs(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return get_action_dist_inputs(observation, action_mask ? &*action_mask : nullptr);
}

std::optional<NdArray> GrafexEngine::get_vf_preds(const NdArray& observation, const NdArray* action_mask) {
    auto outputs = infer(observation, action_mask);
    if (const auto* preds = outputs.find("vf_preds")) return *preds;
    return std::nullopt;
}

std::optional<NdArray> GrafexEngine::get_vf_preds(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return get_vf_preds(observation, action_mask ? &*action_mask : nullptr);
}

}  // namespace tarvik_inference
