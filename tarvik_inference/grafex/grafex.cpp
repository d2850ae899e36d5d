#include "tarvik_inference/grafex.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <system_error>

#include <onnxruntime_cxx_api.h>
#include <onnxruntime_session_options_config_keys.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"

namespace tarvik_inference {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;
using tarvik_core::Value;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.grafex");

constexpr const char* kCpuProvider = "CPUExecutionProvider";  // always there, always last

// ---- the process's ONNX Runtime environment ----
//
// ONNX Runtime keeps one environment per process; every engine's session is
// created in it. It must exist before any session options are built or any
// provider is appended: a provider set up without it logs through a default
// logger that does not exist yet, so the first engine of a process failed
// where later ones failed differently.

// ONNX Runtime's own log lines (warnings and errors only) go to a logger of
// their own, named "onnxruntime", instead of straight to the terminal: hosts
// see, capture and silence them like every other line of the runtime, and
// they carry none of the colour codes of the runtime's console output.
tarvik_core::Logger& ort_logger = tarvik_core::get_logger("onnxruntime");

// The runtime's messages often end in a line break, which a log line must not.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

void forward_ort_log(void*, OrtLoggingLevel severity, const char*, const char*, const char*, const char* message) {
    const auto level = severity >= ORT_LOGGING_LEVEL_ERROR     ? tarvik_core::LogLevel::error
                       : severity == ORT_LOGGING_LEVEL_WARNING ? tarvik_core::LogLevel::warning
                       : severity == ORT_LOGGING_LEVEL_INFO    ? tarvik_core::LogLevel::info
                                                               : tarvik_core::LogLevel::debug;
    if (!ort_logger.enabled(level) || message == nullptr) return;
    ort_logger.log(level, trimmed(message));
}

// The variable through which ONNX Runtime's usage reporting is switched off.
// It is read once, when the environment is created, and that is also when
// the reporting would write a device id and an event database under the
// user's cache folder and files in the temporary folder; the later
// DisableTelemetryEvents call comes too late for those.
constexpr const char* kTelemetryVariable = "ORT_DISABLE_TELEMETRY";

Ort::Env* create_env() {
    // A value the user set is theirs to keep (0 opts back in). Ours is only
    // there while the environment is created, so child processes see the
    // environment the host gave them.
    const bool user_set = std::getenv(kTelemetryVariable) != nullptr;
    if (!user_set) ::setenv(kTelemetryVariable, "1", 1);
    Ort::Env* env = nullptr;
    try {
        env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tarvik", forward_ort_log, nullptr);
    } catch (...) {
        if (!user_set) ::unsetenv(kTelemetryVariable);
        throw;
    }
    if (!user_set) {
        ::unsetenv(kTelemetryVariable);
        env->DisableTelemetryEvents();
    }
    return env;
}

// Created on first use and never destroyed: sessions may outlive any static
// we could tie it to, and the runtime expects its environment to outlive
// every session.
Ort::Env& process_env() {
    static Ort::Env* env = create_env();
    return *env;
}

// ---- execution providers ----

// A provider's name as the generic append call knows it. Its short names
// are accepted by every runtime that has the provider; newer runtimes also
// accept the long names, which is what any provider not listed here gets.
std::string generic_provider_name(const std::string& provider) {
    static const std::array<std::pair<const char*, const char*>, 10> short_names{{
        {"QNNExecutionProvider", "QNN"},
        {"SNPEExecutionProvider", "SNPE"},
        {"XnnpackExecutionProvider", "XNNPACK"},
        {"WebNNExecutionProvider", "WEBNN"},
        {"WebGpuExecutionProvider", "WebGPU"},
        {"AzureExecutionProvider", "AZURE"},
        {"JsExecutionProvider", "JS"},
        {"CoreMLExecutionProvider", "CoreML"},
        {"DmlExecutionProvider", "DML"},
        {"NvTensorRTRTXExecutionProvider", "NvTensorRtRtx"},
    }};
    for (const auto& [long_name, short_name] : short_names)
        if (provider == long_name) return short_name;
    return provider;
}

// Provider options that the runtime allocates with its own defaults, handed
// to `append` and released afterwards.
template <class Options, class Create, class Release, class Append>
void with_runtime_options(Create create, Release release, Append append) {
    Options* raw = nullptr;
    Ort::ThrowOnError(create(&raw));
    std::unique_ptr<Options, Release> owned(raw, release);
    append(*raw);
}

// Appends one provider through the call that accepts it. Calls whose
// options the runtime allocates itself (the V2 calls) or takes as key-value
// pairs come first: a struct laid out by these headers could be read with
// another layout by a newer runtime. ROCm and MIGraphX have only their
// struct calls in these headers.
void append_provider(Ort::SessionOptions& options, const std::string& provider) {
    const OrtApi& api = Ort::GetApi();
    if (provider == "CUDAExecutionProvider") {
        with_runtime_options<OrtCUDAProviderOptionsV2>(api.CreateCUDAProviderOptions, api.ReleaseCUDAProviderOptions,
                                                       [&](auto& o) { options.AppendExecutionProvider_CUDA_V2(o); });
    } else if (provider == "TensorrtExecutionProvider") {
        with_runtime_options<OrtTensorRTProviderOptionsV2>(
            api.CreateTensorRTProviderOptions, api.ReleaseTensorRTProviderOptions,
            [&](auto& o) { options.AppendExecutionProvider_TensorRT_V2(o); });
    } else if (provider == "DnnlExecutionProvider") {
        with_runtime_options<OrtDnnlProviderOptions>(api.CreateDnnlProviderOptions, api.ReleaseDnnlProviderOptions,
                                                     [&](auto& o) { options.AppendExecutionProvider_Dnnl(o); });
    } else if (provider == "CANNExecutionProvider") {
        with_runtime_options<OrtCANNProviderOptions>(api.CreateCANNProviderOptions, api.ReleaseCANNProviderOptions,
                                                     [&](auto& o) { options.AppendExecutionProvider_CANN(o); });
    } else if (provider == "OpenVINOExecutionProvider") {
        options.AppendExecutionProvider_OpenVINO_V2({});
    } else if (provider == "VitisAIExecutionProvider") {
        options.AppendExecutionProvider_VitisAI({});
    } else if (provider == "ROCMExecutionProvider") {
        options.AppendExecutionProvider_ROCM(OrtROCMProviderOptions{});
    } else if (provider == "MIGraphXExecutionProvider") {
        options.AppendExecutionProvider_MIGraphX(OrtMIGraphXProviderOptions{});
    } else {
        options.AppendExecutionProvider(generic_provider_name(provider), {});
    }
}

// Adds the requested execution providers, in the order given. The CPU
// provider is always there and always last, so it needs no call. A provider
// this build of ONNX Runtime lacks, or cannot set up on this machine (its
// library or device missing), is skipped with a warning and the session
// falls back to the others: a deployment asking for a GPU still runs on a
// machine without one, the same way for every engine.
void append_providers(Ort::SessionOptions& options, const std::vector<std::string>& providers) {
    const std::vector<std::string> available = Ort::GetAvailableProviders();
    for (const auto& provider : providers) {
        if (provider == kCpuProvider) continue;
        if (std::find(available.begin(), available.end(), provider) == available.end()) {
            logger.warning("Execution provider '" + provider + "' is not available in this ONNX Runtime (available: " +
                           tarvik_core::repr_names(available) + "); skipping it");
            continue;
        }
        try {
            append_provider(options, provider);
        } catch (const Ort::Exception& e) {
            logger.warning("Execution provider '" + provider + "' cannot be set up: " + std::string(trimmed(e.what())) +
                           "; skipping it");
        }
    }
}

// Session options for one engine, from settings with every field set. The
// environment comes first, so whatever appending a provider logs has
// somewhere to go.
Ort::SessionOptions session_options(const tarvik_core::ModelSessionSettings& settings) {
    process_env();
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    // The environment's logger is the one its creator chose; a host that
    // created the process's environment before us still gets this session's
    // lines through our logger.
    Ort::ThrowOnError(Ort::GetApi().SetUserLoggingFunction(options, forward_ort_log, nullptr));
    options.SetIntraOpNumThreads(*settings.intra_op_threads);
    options.SetInterOpNumThreads(*settings.inter_op_threads);
    // Inter-op threads only run anything in parallel execution mode.
    options.SetExecutionMode(*settings.inter_op_threads == 1 ? ExecutionMode::ORT_SEQUENTIAL
                                                             : ExecutionMode::ORT_PARALLEL);
    const char* spin = *settings.allow_spinning ? "1" : "0";
    options.AddConfigEntry(kOrtSessionOptionsConfigAllowIntraOpSpinning, spin);
    options.AddConfigEntry(kOrtSessionOptionsConfigAllowInterOpSpinning, spin);
    append_providers(options, *settings.execution_providers);
    return options;
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

std::optional<ONNXTensorElementDataType> declared_element_of(const Ort::TypeInfo& info) {
    if (info.GetONNXType() != ONNX_TYPE_TENSOR) return std::nullopt;
    return info.GetTensorTypeAndShapeInfo().GetElementType();
}

// How an output's element type is held. The types arrays have are wrapped
// as they are, and so is uint64, as int64 with the same 64 bits (values from
// 2^63 on read as negative; adding 2^64 gives them back). The others are
// widened, on a copy, into the narrowest type that holds every value
// exactly: float16 and bfloat16 into float32, int16 and uint16 into int32,
// uint32 into int64. Strings are held apart (see string_output).
struct HeldElement {
    DType dtype;
    bool widened = false;
};

std::optional<HeldElement> held_element(ONNXTensorElementDataType type) {
    switch (type) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return HeldElement{DType::Float32};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return HeldElement{DType::Float64};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return HeldElement{DType::Int64};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return HeldElement{DType::Int64};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return HeldElement{DType::Int32};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return HeldElement{DType::Int8};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return HeldElement{DType::UInt8};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return HeldElement{DType::Bool};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return HeldElement{DType::Float32, true};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return HeldElement{DType::Int32, true};
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return HeldElement{DType::Int64, true};
        default: return std::nullopt;
    }
}

template <class Src, class Dst, class Convert>
NdArray widened_copy(const void* data, DType dtype, const Shape& shape, Convert convert) {
    NdArray out = NdArray::zeros(dtype, shape);
    const auto* src = static_cast<const Src*>(data);
    auto* dst = static_cast<Dst*>(out.mutable_raw_data());
    for (std::int64_t i = 0; i < out.size(); ++i) dst[i] = convert(src[i]);
    return out;
}

NdArray widen(ONNXTensorElementDataType type, const void* data, const Shape& shape) {
    auto same = [](auto v) { return v; };
    switch (type) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
            return widened_copy<std::uint16_t, float>(data, DType::Float32, shape,
                                                      [](std::uint16_t b) { return Ort::Float16_t::FromBits(b).ToFloat(); });
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
            return widened_copy<std::uint16_t, float>(
                data, DType::Float32, shape, [](std::uint16_t b) { return Ort::BFloat16_t::FromBits(b).ToFloat(); });
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
            return widened_copy<std::int16_t, std::int32_t>(data, DType::Int32, shape, same);
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
            return widened_copy<std::uint16_t, std::int32_t>(data, DType::Int32, shape, same);
        default:
            return widened_copy<std::uint32_t, std::int64_t>(data, DType::Int64, shape, same);
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

// Byte range of a buffer a run reads from.
struct FedRange {
    const unsigned char* begin = nullptr;
    std::size_t bytes = 0;
};

FedRange range_of(const NdArray& array) {
    return {static_cast<const unsigned char*>(array.raw_data()),
            static_cast<std::size_t>(array.size()) * tarvik_core::dtype_size(array.dtype())};
}

// A tensor over a buffer the engine owns, built once at load. Runs copy their
// input into the buffer and feed the same tensor every time.
struct StagedInput {
    NdArray buffer;
    Ort::Value tensor{nullptr};
};

// A tensor over the array's own buffer (float32 or float64); the array must
// outlive it.
Ort::Value tensor_over(const Ort::MemoryInfo& memory, NdArray& array) {
    const auto& shape = array.shape();
    return Ort::Value::CreateTensor(memory, array.mutable_raw_data(), range_of(array).bytes, shape.begin(),
                                    shape.size(), element_of(array.dtype()));
}

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

const tarvik_core::Value* OutputMap::find(std::string_view name) const noexcept {
    for (const auto& [key, value] : entries_)
        if (key == name) return &value;
    return nullptr;
}

const tarvik_core::Value& OutputMap::value(std::string_view name) const {
    if (const auto* value = find(name)) return *value;
    throw tarvik_core::KeyError("'" + std::string(name) + "'");
}

const NdArray& OutputMap::at(std::string_view name) const {
    const auto& held = value(name);
    if (!held.is_array())
        throw tarvik_core::TypeError("Model output '" + std::string(name) +
                                     "' holds strings, not numbers: read it with value()");
    return held.as_array();
}

tarvik_core::Dict OutputMap::to_dict() const {
    tarvik_core::Dict out;
    for (const auto& [key, value] : entries_) out.set(key, value);
    return out;
}

// Everything a run needs that does not change after loading, and the scratch
// space of one run (used only under the model lock).
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
    // after loading, so every run feeds the same buffers through the same
    // tensors.
    std::vector<std::optional<NdArray>> default_masks;
    std::vector<Ort::Value> default_mask_tensors;  // parallel; null where no default mask

    // Where an observation of exactly the observation input's declared shape
    // is copied (float32); absent when that shape is not fixed or the input
    // also takes masks.
    std::optional<StagedInput> obs_stage;
    // Where a given mask is copied (float64), for the first mask input when
    // its declared shape is fixed.
    std::optional<StagedInput> mask_stage;
    // Buffers every output is written into, with their tensors made once at
    // load, when every output is declared float32 or float64 with a fixed
    // shape: a run that reads one output then neither has the runtime
    // allocate the outputs nor wraps them. `outputs_bound` turns false for
    // good when the model gives an output another shape than it declares
    // (the run is then repeated the general way, which takes any shape).
    std::vector<StagedInput> output_stages;
    bool outputs_bound = false;
    // A run may leave the outputs nobody asked for unwrapped: whatever they
    // hold, they cannot stop the policy from acting.
    std::optional<std::size_t> logits_output;  // "action_dist_inputs", else the last output
    std::optional<std::size_t> vf_output;      // "vf_preds"

    // Per-run scratch, sized at load so that runs do not allocate for it.
    std::vector<const char*> feed_names;
    std::vector<const OrtValue*> feed_values;
    std::vector<std::size_t> feed_inputs;
    std::vector<FedRange> fed_ranges;
    std::vector<OrtValue*> outputs;
    std::vector<Ort::Value> owned_outputs;

    // Sets `input` in the feed, replacing what an earlier set gave it: the
    // feed is a mapping from input name to array.
    void feed(std::size_t input, const OrtValue* value, FedRange range) {
        for (std::size_t i = 0; i < feed_inputs.size(); ++i) {
            if (feed_inputs[i] == input) {
                feed_values[i] = value;
                fed_ranges[i] = range;
                return;
            }
        }
        feed_inputs.push_back(input);
        feed_names.push_back(input_name_ptrs[input]);
        feed_values.push_back(value);
        fed_ranges.push_back(range);
    }
    void clear_feed() {
        feed_inputs.clear();
        feed_names.clear();
        feed_values.clear();
        fed_ranges.clear();
    }
};

GrafexEngine::GrafexEngine(std::string path, std::optional<std::vector<std::string>> providers)
    : GrafexEngine(std::move(path), tarvik_core::ModelSessionSettings{.execution_providers = std::move(providers)}) {}

GrafexEngine::GrafexEngine(std::string path, const tarvik_core::ModelSessionSettings& settings)
    : model_path(std::move(path)), settings_(settings.or_else(tarvik_core::ModelSessionSettings::defaults())) {
    std::error_code ec;
    if (!std::filesystem::exists(model_path, ec))
        throw tarvik_core::FileNotFoundError("ONNX model not found at: " + model_path);
    _load_model(settings_);
}

GrafexEngine::~GrafexEngine() = default;

bool GrafexEngine::has_session() const noexcept { return session_ != nullptr; }

void GrafexEngine::_load_model(const tarvik_core::ModelSessionSettings& settings) {
    // Element types the model declares (nothing for non-tensor values).
    std::vector<std::optional<ONNXTensorElementDataType>> input_types, output_types;
    try {
        ort_call([&] {
            const Ort::SessionOptions options = session_options(settings);
            session_ = std::make_unique<Session>(Ort::Session(process_env(), model_path.c_str(), options));

            auto& s = *session_;
            Ort::AllocatorWithDefaultOptions allocator;
            const std::size_t n_in = s.session.GetInputCount();
            const std::size_t n_out = s.session.GetOutputCount();
            std::vector<std::string> inputs, outputs;
            std::vector<DeclaredShape> in_shapes, out_shapes;
            for (std::size_t i = 0; i < n_in; ++i) {
                inputs.emplace_back(s.session.GetInputNameAllocated(i, allocator).get());
                const auto info = s.session.GetInputTypeInfo(i);
                in_shapes.push_back(declared_shape_of(info));
                input_types.push_back(declared_element_of(info));
            }
            for (std::size_t i = 0; i < n_out; ++i) {
                outputs.emplace_back(s.session.GetOutputNameAllocated(i, allocator).get());
                const auto info = s.session.GetOutputTypeInfo(i);
                out_shapes.push_back(declared_shape_of(info));
                output_types.push_back(declared_element_of(info));
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

        // Inputs of the common shapes get buffers and tensors of their own now,
        // so that a run only copies its arrays in. Only inputs declared with
        // the element type the run feeds are staged; anything else goes the
        // general way and meets the runtime's own checks. Staging is an
        // optimisation: if the runtime refuses a tensor here, runs build
        // their tensors as they go.
        try {
            auto stage = [&](std::size_t input, DType type,
                             ONNXTensorElementDataType declared) -> std::optional<StagedInput> {
                const auto shape = fixed_shape(input_shapes_[input]);
                if (!shape || input_types[input] != declared) return std::nullopt;
                StagedInput staged{NdArray::zeros(type, *shape)};
                staged.tensor = tensor_over(s.memory_info, staged.buffer);
                return staged;
            };
            const bool obs_takes_masks =
                std::find(s.mask_inputs.begin(), s.mask_inputs.end(), s.obs_input) != s.mask_inputs.end();
            if (!input_names_.empty() && !obs_takes_masks)
                s.obs_stage = stage(s.obs_input, DType::Float32, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);
            if (!s.mask_inputs.empty())
                s.mask_stage = stage(s.mask_inputs.front(), DType::Float64, ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE);
            for (auto& mask : s.default_masks)
                s.default_mask_tensors.push_back(mask ? tensor_over(s.memory_info, *mask) : Ort::Value(nullptr));
        } catch (const Ort::Exception&) {
            s.obs_stage.reset();
            s.mask_stage.reset();
            s.default_mask_tensors.clear();
        }
        try {
            for (std::size_t i = 0; i < output_names_.size(); ++i) {
                const auto shape = fixed_shape(output_shapes_[i]);
                const auto type = output_types[i];
                const bool stageable = type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || type == ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
                if (!shape || !stageable) {
                    s.output_stages.clear();
                    break;
                }
                StagedInput staged{NdArray::zeros(*type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ? DType::Float32 : DType::Float64, *shape)};
                staged.tensor = tensor_over(s.memory_info, staged.buffer);
                s.output_stages.push_back(std::move(staged));
            }
        } catch (const Ort::Exception&) {
            s.output_stages.clear();
        }
        s.outputs_bound = !output_names_.empty() && s.output_stages.size() == output_names_.size();
        for (std::size_t i = 0; i < output_names_.size(); ++i) {
            if (output_names_[i] == "action_dist_inputs" && !s.logits_output) s.logits_output = i;
            if (output_names_[i] == "vf_preds" && !s.vf_output) s.vf_output = i;
        }
        if (!s.logits_output && !output_names_.empty()) s.logits_output = output_names_.size() - 1;
        const std::size_t n_in = input_names_.size();
        s.feed_names.reserve(n_in);
        s.feed_values.reserve(n_in);
        s.feed_inputs.reserve(n_in);
        s.fed_ranges.reserve(n_in);
        s.outputs.assign(output_names_.size(), nullptr);
        s.owned_outputs.reserve(output_names_.size());

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

bool points_into(const std::vector<FedRange>& ranges, const void* p) noexcept {
    const auto* q = static_cast<const unsigned char*>(p);
    for (const auto& r : ranges)
        if (r.begin != nullptr && q >= r.begin && q < r.begin + r.bytes) return true;
    return false;
}

// The shape of a run output. The dimensions are read into place.
Shape output_shape(const Ort::TensorTypeAndShapeInfo& info, const std::string& name) {
    const std::size_t ndim = info.GetDimensionsCount();
    if (ndim > Shape::kMaxDims)
        throw tarvik_core::ValueError("Model output '" + name + "' has " + std::to_string(ndim) +
                                      " dimensions; arrays hold at most " + std::to_string(Shape::kMaxDims));
    std::array<std::int64_t, Shape::kMaxDims> dims{};
    Ort::ThrowOnError(Ort::GetApi().GetDimensions(info, dims.data(), ndim));
    return Shape{std::span<const std::int64_t>(dims.data(), ndim)};
}

bool holds_strings(const Ort::TensorTypeAndShapeInfo& info) {
    return info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING;
}

Value strings_from(const Ort::Value& value, const Shape& shape, std::size_t dim, std::size_t& next) {
    if (dim == shape.size()) return Value(value.GetStringTensorElement(next++));
    tarvik_core::List items;
    for (std::int64_t k = 0; k < shape[dim]; ++k) items.push_back(strings_from(value, shape, dim + 1, next));
    return Value(std::move(items));
}

// A tensor of strings, as nested lists of str in its shape (a str when it has
// no dimensions): the lists an array library gives for such an array.
Value string_output(const Ort::Value& value, const Shape& shape) {
    std::size_t next = 0;
    return strings_from(value, shape, 0, next);
}

// A numeric run output as an array. Types arrays have are wrapped without
// copying: the array keeps the runtime's value alive. An output that shares
// memory with a fed buffer (an input passed straight through) is copied,
// since that buffer belongs to the caller or is reused by the engine's next
// run. Other types are widened into a copy (see held_element).
NdArray numeric_output(Ort::Value value, const Ort::TensorTypeAndShapeInfo& info, const std::string& name,
                       const std::vector<FedRange>& fed) {
    const auto type = info.GetElementType();
    const auto held = held_element(type);
    if (!held)
        throw tarvik_core::TypeError("Model output '" + name + "' has an element type arrays cannot hold (ONNX type " +
                                     std::to_string(static_cast<int>(type)) + ")");
    const Shape shape = output_shape(info, name);
    void* data = value.GetTensorMutableRawData();
    if (held->widened) return widen(type, data, shape);
    const bool aliases_feed = data != nullptr && points_into(fed, data);
    auto owner = std::make_shared<Ort::Value>(std::move(value));
    NdArray array = NdArray::wrap(held->dtype, shape, data, std::shared_ptr<const void>(owner, owner.get()));
    return aliases_feed ? array.copy() : array;
}

Ort::TensorTypeAndShapeInfo tensor_info(const Ort::Value& value, const std::string& name) {
    if (!value.IsTensor()) throw tarvik_core::TypeError("Model output '" + name + "' is not a tensor");
    return value.GetTensorTypeAndShapeInfo();
}

// Any tensor output: an array, or for strings nested lists of str.
Value output_value(Ort::Value value, const std::string& name, const std::vector<FedRange>& fed) {
    const auto info = tensor_info(value, name);
    if (holds_strings(info)) return string_output(value, output_shape(info, name));
    return numeric_output(std::move(value), info, name, fed);
}

// The output a reading operation returns, which must be numbers.
NdArray output_array(Ort::Value value, const std::string& name, const std::vector<FedRange>& fed) {
    const auto info = tensor_info(value, name);
    if (holds_strings(info)) throw tarvik_core::TypeError("Model output '" + name + "' holds strings, not numbers");
    return numeric_output(std::move(value), info, name, fed);
}

// Copies `array` into a staged buffer of the same shape and element type.
void copy_into(StagedInput& stage, const NdArray& array) {
    const auto bytes = range_of(array).bytes;
    if (bytes != 0) std::memcpy(stage.buffer.mutable_raw_data(), array.raw_data(), bytes);
}

}  // namespace

std::optional<NdArray> GrafexEngine::run(const NdArray& observation, const NdArray* action_mask,
                                         std::optional<std::size_t> wanted, OutputMap* all,
                                         const std::function<void(const NdArray&)>* read_in_place) {
    std::lock_guard lock(model_lock_);
    std::optional<NdArray> result = run_locked(observation, action_mask, wanted, all, read_in_place != nullptr);
    // Read after the run, outside its error logging: what the reader raises
    // is its own failure, not the model's.
    if (read_in_place && result) (*read_in_place)(*result);
    return result;
}

std::optional<NdArray> GrafexEngine::run_locked(const NdArray& observation, const NdArray* action_mask,
                                                std::optional<std::size_t> wanted, OutputMap* all, bool in_place) {
    if (!session_) throw tarvik_core::RuntimeError("Model not loaded");
    auto& s = *session_;
    s.clear_feed();
    // Arrays fed through tensors made for this run only, kept alive until
    // the run is over (the common shapes go through the staged tensors).
    std::vector<NdArray> kept;
    std::vector<Ort::Value> temporaries;
    auto feed_array = [&](std::size_t input, NdArray array) {
        temporaries.push_back(ort_call([&] { return tensor_over(s.memory_info, array); }));
        s.feed(input, temporaries.back(), range_of(array));
        kept.push_back(std::move(array));
    };
    // Outputs are owned from the moment the run returns; whatever happens
    // next, they are released when this call ends.
    struct ReleaseOutputs {
        std::vector<Ort::Value>& owned;
        ~ReleaseOutputs() { owned.clear(); }
    } release{s.owned_outputs};

    try {
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
        if (s.obs_stage && obs.shape() == s.obs_stage->buffer.shape()) {
            copy_into(*s.obs_stage, obs);
            s.feed(s.obs_input, s.obs_stage->tensor, range_of(s.obs_stage->buffer));
        } else {
            feed_array(s.obs_input, std::move(obs));
        }

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
                if (s.mask_stage && mask.shape() == s.mask_stage->buffer.shape()) {
                    copy_into(*s.mask_stage, mask);
                    s.feed(input, s.mask_stage->tensor, range_of(s.mask_stage->buffer));
                } else {
                    feed_array(input, std::move(mask));
                }
            }
        } else {
            for (std::size_t i = 0; i < s.mask_inputs.size(); ++i) {
                const auto input = s.mask_inputs[i];
                if (!s.default_masks[i])
                    free_dimension("build the default action mask", input_names_[input], input_shapes_[input]);
                if (i < s.default_mask_tensors.size() && s.default_mask_tensors[i])
                    s.feed(input, s.default_mask_tensors[i], range_of(*s.default_masks[i]));
                else
                    feed_array(input, *s.default_masks[i]);
            }
        }

        return ort_call([&]() -> std::optional<NdArray> {
            if (all == nullptr && s.outputs_bound) {
                for (std::size_t i = 0; i < s.outputs.size(); ++i) s.outputs[i] = s.output_stages[i].tensor;
                OrtStatus* status =
                    Ort::GetApi().Run(s.session, nullptr, s.feed_names.data(), s.feed_values.data(),
                                      s.feed_values.size(), s.output_name_ptrs.data(), s.output_name_ptrs.size(),
                                      s.outputs.data());
                if (status == nullptr) {
                    if (!wanted) return std::nullopt;
                    const NdArray& out = s.output_stages[*wanted].buffer;
                    // The buffer is the next run's too: readers in place see
                    // it under the lock, everyone else gets a copy.
                    return in_place ? out : out.copy();
                }
                // An output of another shape than declared (or any other
                // failure): this model is run the general way from now on,
                // starting with this run, whose failure, if it fails again,
                // is the one reported.
                Ort::GetApi().ReleaseStatus(status);
                s.outputs_bound = false;
            }
            std::fill(s.outputs.begin(), s.outputs.end(), nullptr);
            const OrtStatus* status =
                Ort::GetApi().Run(s.session, nullptr, s.feed_names.data(), s.feed_values.data(), s.feed_values.size(),
                                  s.output_name_ptrs.data(), s.output_name_ptrs.size(), s.outputs.data());
            for (OrtValue* output : s.outputs) s.owned_outputs.emplace_back(output);
            Ort::ThrowOnError(const_cast<OrtStatus*>(status));

            if (all != nullptr) {
                // Every output is held, in output order.
                OutputMap outputs;
                for (std::size_t i = 0; i < s.owned_outputs.size() && i < output_names_.size(); ++i)
                    outputs.push_back(output_names_[i],
                                      output_value(std::move(s.owned_outputs[i]), output_names_[i], s.fed_ranges));
                *all = std::move(outputs);
                return std::nullopt;
            }
            // Only the output asked for is read.
            if (!wanted) return std::nullopt;
            return output_array(std::move(s.owned_outputs[*wanted]), output_names_[*wanted], s.fed_ranges);
        });
    } catch (...) {
        const auto error = std::current_exception();
        if (tarvik_core::is_ordinary_error(error))
            logger.error("Error during inference: " + tarvik_core::error_text(error));
        throw;
    }
}

OutputMap GrafexEngine::infer(const NdArray& observation, const NdArray* action_mask) {
    OutputMap outputs;
    run(observation, action_mask, std::nullopt, &outputs);
    return outputs;
}

OutputMap GrafexEngine::infer(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return infer(observation, action_mask ? &*action_mask : nullptr);
}

NdArray GrafexEngine::get_action_dist_inputs(const NdArray& observation, const NdArray* action_mask) {
    // The output is chosen at load: "action_dist_inputs", else the last one.
    // The run computes every output either way.
    const std::optional<std::size_t> logits = session_ ? session_->logits_output : std::nullopt;
    auto chosen = run(observation, action_mask, logits, nullptr);
    if (!chosen) throw tarvik_core::IndexError("list index out of range");
    return std::move(*chosen);
}

NdArray GrafexEngine::get_action_dist_inputs(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return get_action_dist_inputs(observation, action_mask ? &*action_mask : nullptr);
}

void GrafexEngine::read_action_dist_inputs(const NdArray& observation, const NdArray* action_mask,
                                           const std::function<void(const NdArray&)>& read) {
    const std::optional<std::size_t> logits = session_ ? session_->logits_output : std::nullopt;
    if (!run(observation, action_mask, logits, nullptr, &read)) throw tarvik_core::IndexError("list index out of range");
}

std::optional<NdArray> GrafexEngine::get_vf_preds(const NdArray& observation, const NdArray* action_mask) {
    const std::optional<std::size_t> preds = session_ ? session_->vf_output : std::nullopt;
    return run(observation, action_mask, preds, nullptr);
}

std::optional<NdArray> GrafexEngine::get_vf_preds(const NdArray& observation, const std::optional<NdArray>& action_mask) {
    return get_vf_preds(observation, action_mask ? &*action_mask : nullptr);
}

std::string onnxruntime_version() { return Ort::GetVersionString(); }

std::vector<std::string> available_execution_providers() { return Ort::GetAvailableProviders(); }

}  // namespace tarvik_inference
