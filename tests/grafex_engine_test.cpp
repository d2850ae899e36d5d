#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <thread>

#include "support/expect_error.hpp"
#include "support/log_capture.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/grafex.hpp"


namespace {

using tarvik_core::DType;
using tarvik_core::LogLevel;
using tarvik_core::NdArray;
using tarvik_core::Shape;
using tarvik_core::Value;
using tarvik_inference::GrafexEngine;
using tarvik_test::Dim;
using tarvik_test::Dims;
using tarvik_test::ModelBuilder;

struct InputDecl {
    std::string name;
    DType type;
    Dims dims;
};

// Every input is copied to the output "<name>_echo", so a test sees exactly
// which array reached which input, with its type and shape.
ModelBuilder echo_model(const std::vector<InputDecl>& inputs) {
    ModelBuilder b;
    for (const auto& in : inputs) {
        b.input(in.name, in.type, in.dims);
        b.identity(in.name, in.name + "_echo");
        b.output(in.name + "_echo", in.type, in.dims);
    }
    return b;
}

template <class T>
std::vector<T> values_of(const NdArray& a) {
    auto v = a.values<T>();
    return {v.begin(), v.end()};
}

using tarvik_test::expect_error;

class GrafexEngineTest : public ::testing::Test {
protected:
    std::string write(const ModelBuilder& b, const std::string& name = "model.onnx") {
        return b.write(dir / name).string();
    }
    // The model most cases use: an observation input whose name contains
    // "observation" in another case, and a mask input.
    std::string obs_and_mask_model() {
        return write(echo_model({{"obs_Observation", DType::Float32, {1, 6}},
                                 {"action_mask", DType::Float64, {1, 3}}}));
    }
    void expect_inference_error_logged(const std::string& message) {
        EXPECT_EQ(logs.messages(LogLevel::error), std::vector<std::string>{"Error during inference: " + message});
    }

    tarvik_test::TempDir dir;
    tarvik_test::LogCapture logs{"tarvik_inference.grafex"};
};

// ---- loading ----

TEST_F(GrafexEngineTest, LoadLogsSuccessAndNames) {
    const auto path = obs_and_mask_model();
    GrafexEngine engine(path);
    EXPECT_EQ(engine.input_names(), (std::vector<std::string>{"obs_Observation", "action_mask"}));
    EXPECT_EQ(engine.output_names(), (std::vector<std::string>{"obs_Observation_echo", "action_mask_echo"}));
    ASSERT_EQ(logs.lines().size(), 2u);
    EXPECT_EQ(logs.messages(LogLevel::info), std::vector<std::string>{"Successfully loaded ONNX model from: " + path});
    EXPECT_EQ(logs.messages(LogLevel::debug),
              std::vector<std::string>{"Input names: ['obs_Observation', 'action_mask'], "
                                       "Output names: ['obs_Observation_echo', 'action_mask_echo']"});
}

TEST(GrafexRuntime, VersionIsTheLoadedLibrarysDottedVersion) {
    // The library's own answer ("1.30.0"), not the headers': a runtime serves
    // the headers' API level 21 from release 1.21 on.
    const auto version = tarvik_inference::onnxruntime_version();
    int major = -1, minor = -1, patch = -1;
    char end = 0;
    EXPECT_EQ(std::sscanf(version.c_str(), "%d.%d.%d%c", &major, &minor, &patch, &end), 3) << version;
    EXPECT_EQ(major, 1) << version;
    EXPECT_GE(minor, 21) << version;
}

TEST_F(GrafexEngineTest, DeclaredShapesKeepSymbolicAndUnknownDimensions) {
    GrafexEngine engine(write(echo_model({{"obs", DType::Float32, {1, "batch", Dim::unknown(), 4}}})));
    ASSERT_EQ(engine.input_shapes().size(), 1u);
    EXPECT_EQ(tarvik_inference::declared_shape_repr(engine.input_shapes()[0]), "[1, 'batch', None, 4]");
}

TEST_F(GrafexEngineTest, MissingFileFailsWithoutLogging) {
    const auto path = (dir / "absent.onnx").string();
    expect_error<tarvik_core::FileNotFoundError>([&] { GrafexEngine engine(path); },
                                                 "ONNX model not found at: " + path);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(GrafexEngineTest, LoadFailuresAreLoggedAndPropagated) {
    struct Case {
        std::string label;
        std::string path;
        std::optional<std::vector<std::string>> providers;
    };
    const std::vector<Case> cases = {
        {"not a model", dir.write("garbage.onnx", "this is not a protobuf model").string(), std::nullopt},
        {"a folder", (dir / "folder").string(), std::nullopt},
    };
    std::filesystem::create_directories(dir / "folder");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        logs.clear();
        try {
            GrafexEngine engine(c.path, c.providers);
            ADD_FAILURE() << "loading should fail";
        } catch (const tarvik_core::RuntimeError& e) {
            EXPECT_FALSE(std::string(e.what()).empty());
            EXPECT_EQ(logs.lines().size(), 1u);
            EXPECT_EQ(logs.messages(LogLevel::error),
                      std::vector<std::string>{"Error loading ONNX model from " + c.path + ": " + e.what()});
        }
    }
}

TEST_F(GrafexEngineTest, DeclaredShapesTooBigForAnyArrayFailTheLoadCleanly) {
    // The default mask and the input buffers are sized from the declared
    // shapes at load; a shape whose byte count would wrap must be an error.
    const std::string too_big =
        "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
    const std::vector<std::pair<std::string, std::vector<InputDecl>>> cases = {
        {"mask", {{"obs", DType::Float32, {1, 2}}, {"action_mask", DType::Float64, {1, std::int64_t{1} << 61}}}},
        {"observation", {{"obs", DType::Float32, {1, std::int64_t{1} << 62}}}},
    };
    for (const auto& [label, inputs] : cases) {
        SCOPED_TRACE(label);
        logs.clear();
        const auto path = write(echo_model(inputs), label + ".onnx");
        expect_error<tarvik_core::ValueError>([&] { GrafexEngine engine(path); }, too_big);
        EXPECT_EQ(logs.messages(LogLevel::error),
                  std::vector<std::string>{"Error loading ONNX model from " + path + ": " + too_big});
    }
}

TEST_F(GrafexEngineTest, ProvidersThisRuntimeLacksAreSkippedWithAWarning) {
    struct Case {
        const char* name;
        std::vector<std::string> providers;
        std::size_t warnings;
    } cases[] = {
        {"CPU only", {"CPUExecutionProvider"}, 0},
        {"CPU first", {"CPUExecutionProvider", "NoSuchExecutionProvider"}, 1},
        {"only unavailable ones", {"NoSuchExecutionProvider", "OtherExecutionProvider"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        GrafexEngine engine(obs_and_mask_model(), c.providers);
        EXPECT_TRUE(engine.has_session());
        const auto warnings = logs.messages(LogLevel::warning);
        ASSERT_EQ(warnings.size(), c.warnings);
        if (!warnings.empty()) {
            EXPECT_EQ(warnings.front().rfind("Execution provider '" + c.providers[c.providers.size() - c.warnings] +
                                                 "' is not available in this ONNX Runtime (available: [",
                                             0),
                      0u)
                << warnings.front();
        }
    }
}

// Every provider the runtime lists goes through a call that takes it, and a
// provider behaves the same for the first engine of the process (which also
// creates the runtime's environment) as for the next: loaded, or skipped
// with the same lines. None of them may be refused as an unknown name.
TEST_F(GrafexEngineTest, EveryListedProviderIsAppendedAlikeForEveryEngine) {
    tarvik_test::LogCapture runtime_logs{"onnxruntime"};
    const auto path = obs_and_mask_model();
    for (const auto& provider : tarvik_inference::available_execution_providers()) {
        SCOPED_TRACE(provider);
        std::vector<std::vector<tarvik_test::CapturedLine>> runs;
        for (int engine = 0; engine < 2; ++engine) {
            logs.clear();
            runtime_logs.clear();
            GrafexEngine loaded(path, std::vector<std::string>{provider});
            EXPECT_EQ(values_of<double>(loaded.infer(NdArray::zeros(DType::Float32, Shape{6})).at("action_mask_echo")),
                      (std::vector<double>{1, 1, 1}));
            auto lines = logs.lines();
            for (auto& line : runtime_logs.lines()) lines.push_back(std::move(line));
            runs.push_back(std::move(lines));
        }
        ASSERT_EQ(runs[0].size(), runs[1].size());
        for (std::size_t i = 0; i < runs[0].size(); ++i) {
            EXPECT_EQ(runs[0][i].level, runs[1][i].level);
            EXPECT_EQ(runs[0][i].message, runs[1][i].message);
            for (const char* symptom : {"Unknown provider name", "DefaultLogger", "\x1b["})
                EXPECT_EQ(runs[0][i].message.find(symptom), std::string::npos) << runs[0][i].message;
        }
    }
}

TEST_F(GrafexEngineTest, OnnxRuntimeLinesGoThroughTheRuntimesOwnLogger) {
    // The output is declared [1, 3] but is [1, 2]: the runtime warns about
    // the mismatch while it prepares the graph.
    tarvik_test::LogCapture runtime_logs{"onnxruntime"};
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 2}).identity("obs", "out").output("out", DType::Float32, {1, 3});
    GrafexEngine engine(write(b));
    const auto warnings = runtime_logs.messages(LogLevel::warning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("'out'"), std::string::npos) << warnings[0];
    EXPECT_EQ(warnings[0].find('\x1b'), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].back(), '\n');
    EXPECT_TRUE(logs.messages(LogLevel::warning).empty());
}

// ---- observation ----

TEST_F(GrafexEngineTest, OneDimensionalObservationIsBatchedAndFloat32WithDefaultMask) {
    GrafexEngine engine(obs_and_mask_model());
    const auto out = engine.infer(NdArray::of<double>({1, 2, 3, 4, 5, 6.5}));
    const auto& obs = out.at("obs_Observation_echo");
    EXPECT_EQ(obs.dtype(), DType::Float32);
    EXPECT_EQ(obs.shape(), (Shape{1, 6}));
    EXPECT_EQ(values_of<float>(obs), (std::vector<float>{1, 2, 3, 4, 5, 6.5f}));
    const auto& mask = out.at("action_mask_echo");
    EXPECT_EQ(mask.dtype(), DType::Float64);
    EXPECT_EQ(mask.shape(), (Shape{1, 3}));
    EXPECT_EQ(values_of<double>(mask), (std::vector<double>{1, 1, 1}));
    EXPECT_TRUE(logs.messages(LogLevel::error).empty());
}

TEST_F(GrafexEngineTest, ObservationShapeMismatchesAreRejected) {
    struct Case {
        std::string label;
        Dims declared;
        NdArray observation;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"batch of two", {1, 6}, NdArray::zeros(DType::Float32, Shape{2, 6}),
         "Observation has too many dimensions: (2, 6), expected: [1, 6]. Batch inference is not supported."},
        {"wrong width", {1, 6}, NdArray::zeros(DType::Float64, Shape{5}),
         "Observation has too many dimensions: (1, 5), expected: [1, 6]. Batch inference is not supported."},
        {"scalar", {1, 6}, NdArray::scalar(DType::Float64, 1),
         "Observation has too many dimensions: (), expected: [1, 6]. Batch inference is not supported."},
        {"one-dimensional declaration", {6}, NdArray::zeros(DType::Float32, Shape{6}),
         "Observation has too many dimensions: (1, 6), expected: [6]. Batch inference is not supported."},
        {"symbolic batch", {"batch", 6}, NdArray::zeros(DType::Float32, Shape{1, 6}),
         "Observation has too many dimensions: (1, 6), expected: ['batch', 6]. Batch inference is not supported."},
        {"unknown batch", {Dim::unknown(), 6}, NdArray::zeros(DType::Float32, Shape{6}),
         "Observation has too many dimensions: (1, 6), expected: [None, 6]. Batch inference is not supported."},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.label);
        GrafexEngine engine(write(echo_model({{"obs", DType::Float32, c.declared}}), "m" + std::to_string(i) + ".onnx"));
        logs.clear();
        expect_error<tarvik_core::ValueError>([&] { engine.infer(c.observation); }, c.message);
        expect_inference_error_logged(c.message);
    }
}

TEST_F(GrafexEngineTest, ObservationGoesToFirstInputWhenNoNameMatches) {
    GrafexEngine engine(write(echo_model({{"input_0", DType::Float32, {1, 2}},
                                          {"input_1_action_mask", DType::Float64, {1, 3}}})));
    const auto out = engine.infer(NdArray::of<float>({1, 2}));
    EXPECT_EQ(values_of<float>(out.at("input_0_echo")), (std::vector<float>{1, 2}));
    EXPECT_EQ(values_of<double>(out.at("input_1_action_mask_echo")), (std::vector<double>{1, 1, 1}));
}

TEST_F(GrafexEngineTest, ShapeIsCheckedAgainstFirstInputEvenWhenObservationGoesLater) {
    // The first input is a mask input, so it is fed its default mask.
    GrafexEngine engine(write(echo_model({{"action_mask", DType::Float64, {1, 2}},
                                          {"the_OBSERVATION", DType::Float32, {1, 3}}})));
    const std::string message =
        "Observation has too many dimensions: (1, 3), expected: [1, 2]. Batch inference is not supported.";
    expect_error<tarvik_core::ValueError>([&] { engine.infer(NdArray::of<float>({1, 2, 3})); }, message);
    expect_inference_error_logged(message);

    // A two-value observation passes the check and is fed to the observation
    // input, whose own declaration the runtime then enforces.
    logs.clear();
    try {
        engine.infer(NdArray::of<float>({1, 2}));
        ADD_FAILURE() << "the run should reject a (1, 2) array for a [1, 3] input";
    } catch (const tarvik_core::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("the_OBSERVATION"), std::string::npos) << e.what();
        expect_inference_error_logged(e.what());
    }
}

TEST_F(GrafexEngineTest, OutputsDoNotAliasTheCallersObservation) {
    // A graph output that is a graph input: the runtime may hand back the fed
    // buffer itself, which here is the caller's float32 array.
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 2}).output("obs", DType::Float32, {1, 2});
    GrafexEngine engine(write(b));
    NdArray obs = NdArray::from_vector<float>({1, 2}, Shape{1, 2});
    auto out = engine.infer(obs).at("obs");
    obs.mutable_data<float>()[0] = 42;
    obs = NdArray();
    EXPECT_EQ(values_of<float>(out), (std::vector<float>{1, 2}));
}

TEST_F(GrafexEngineTest, RunFailureIsLoggedAndTheLockIsReleased) {
    // Declared int64: feeding float32 makes the run itself fail.
    GrafexEngine engine(write(echo_model({{"obs", DType::Int64, {1, 2}}})));
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        logs.clear();
        try {
            engine.infer(NdArray::of<float>({1, 2}));
            ADD_FAILURE() << "the run should fail";
        } catch (const tarvik_core::RuntimeError& e) {
            expect_inference_error_logged(e.what());
        }
    }
}

TEST_F(GrafexEngineTest, EngineWorksAfterAFailedCall) {
    GrafexEngine engine(obs_and_mask_model());
    EXPECT_THROW(engine.infer(NdArray::zeros(DType::Float32, Shape{2, 6})), tarvik_core::ValueError);
    EXPECT_EQ(engine.infer(NdArray::zeros(DType::Float32, Shape{6})).size(), 2u);
}

TEST_F(GrafexEngineTest, ModelWithoutInputsFailsWithIndexError) {
    ModelBuilder b;
    b.constant("c", {1, 2}, {2}).output("c", DType::Float32, {2});
    GrafexEngine engine(write(b));
    expect_error<tarvik_core::IndexError>([&] { engine.infer(NdArray::of<float>({1})); }, "list index out of range");
    expect_inference_error_logged("list index out of range");
}

// ---- action masks ----

TEST_F(GrafexEngineTest, OneDimensionalMaskIsReshapedAndFloat64) {
    GrafexEngine engine(obs_and_mask_model());
    const auto mask = NdArray::from_vector<std::int8_t>({1, 0, 1});
    const auto out = engine.infer(NdArray::zeros(DType::Float32, Shape{6}), &mask);
    const auto& fed = out.at("action_mask_echo");
    EXPECT_EQ(fed.dtype(), DType::Float64);
    EXPECT_EQ(fed.shape(), (Shape{1, 3}));
    EXPECT_EQ(values_of<double>(fed), (std::vector<double>{1, 0, 1}));
}

TEST_F(GrafexEngineTest, MaskShapeFailures) {
    GrafexEngine engine(obs_and_mask_model());
    const auto obs = NdArray::zeros(DType::Float32, Shape{6});
    {
        SCOPED_TRACE("two-dimensional masks are not reshaped");
        logs.clear();
        const auto mask = NdArray::ones(DType::Float64, Shape{3, 1});
        const std::string message = "Action mask has incorrect shape: (3, 1), expected: [1, 3]";
        expect_error<tarvik_core::ValueError>([&] { engine.infer(obs, &mask); }, message);
        expect_inference_error_logged(message);
    }
    {
        SCOPED_TRACE("a one-dimensional mask of the wrong size cannot be reshaped");
        logs.clear();
        const auto mask = NdArray::ones(DType::Float64, Shape{4});
        const std::string message = "cannot reshape array of size 4 into shape (1, 3)";
        expect_error<tarvik_core::ValueError>([&] { engine.infer(obs, &mask); }, message);
        expect_inference_error_logged(message);
    }
}

TEST_F(GrafexEngineTest, GivenMaskIsIgnoredWithoutMaskInput) {
    GrafexEngine engine(write(echo_model({{"obs", DType::Float32, {1, 2}}})));
    const auto mask = NdArray::ones(DType::Float64, Shape{7, 7});
    const auto out = engine.infer(NdArray::of<float>({1, 2}), mask);
    EXPECT_EQ(values_of<float>(out.at("obs_echo")), (std::vector<float>{1, 2}));
}

TEST_F(GrafexEngineTest, DefaultMasksGoToEveryMaskInputButAGivenMaskToTheFirstOnly) {
    GrafexEngine engine(write(echo_model({{"obs", DType::Float32, {1, 2}},
                                          {"action_mask", DType::Float64, {1, 3}},
                                          {"Action_Mask_2", DType::Float64, {1, 2}}})));
    const auto obs = NdArray::of<float>({0, 0});

    const auto defaults = engine.infer(obs);
    EXPECT_EQ(values_of<double>(defaults.at("action_mask_echo")), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(values_of<double>(defaults.at("Action_Mask_2_echo")), (std::vector<double>{1, 1}));

    // A given mask goes to action_mask only; the run then misses Action_Mask_2.
    const auto mask = NdArray::of<double>({0, 1, 0});
    try {
        engine.infer(obs, &mask);
        ADD_FAILURE() << "Action_Mask_2 should not have been fed";
    } catch (const tarvik_core::RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("Action_Mask_2"), std::string::npos) << e.what();
        expect_inference_error_logged(e.what());
    }
}

TEST_F(GrafexEngineTest, DefaultMaskOutputsAreIndependentArrays) {
    // The mask input is also a graph output, so the runtime hands back the
    // fed buffer. Default masks may be shared between runs inside the
    // engine; what the caller gets back must be its own and outlive the engine.
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 2}).identity("obs", "obs_echo").output("obs_echo", DType::Float32, {1, 2});
    b.input("action_mask", DType::Float64, {1, 3}).output("action_mask", DType::Float64, {1, 3});
    const auto obs = NdArray::zeros(DType::Float32, Shape{2});
    NdArray first, second;
    {
        GrafexEngine engine(write(b));
        first = engine.infer(obs).at("action_mask");
        second = engine.infer(obs).at("action_mask");
        EXPECT_FALSE(first.shares_memory_with(second));
        first.mutable_data<double>()[0] = 0;
        EXPECT_EQ(values_of<double>(engine.infer(obs).at("action_mask")), (std::vector<double>{1, 1, 1}));
    }
    EXPECT_EQ(values_of<double>(second), (std::vector<double>{1, 1, 1}));
}

TEST_F(GrafexEngineTest, FreeMaskDimensionsAreRejectedAndLogged) {
    GrafexEngine engine(write(echo_model({{"obs", DType::Float32, {1, 2}},
                                          {"action_mask", DType::Float64, {"batch", 3}}})));
    const auto obs = NdArray::of<float>({0, 0});
    struct Case {
        std::string label;
        std::optional<NdArray> mask;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"default mask", std::nullopt,
         "Cannot build the default action mask for input 'action_mask': its declared shape ['batch', 3] has a "
         "free dimension"},
        {"one-dimensional mask", NdArray::ones(DType::Float64, Shape{3}),
         "Cannot reshape the action mask for input 'action_mask': its declared shape ['batch', 3] has a free "
         "dimension"},
        {"two-dimensional mask", NdArray::ones(DType::Float64, Shape{1, 3}),
         "Action mask has incorrect shape: (1, 3), expected: ['batch', 3]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        logs.clear();
        expect_error<tarvik_core::ValueError>([&] { engine.infer(obs, c.mask); }, c.message);
        expect_inference_error_logged(c.message);
    }
}

// ---- outputs ----

TEST_F(GrafexEngineTest, ActionDistInputsByNameOrLastOutput) {
    auto two_outputs = [&](const std::string& first, const std::string& second, const std::string& file) {
        ModelBuilder b;
        b.input("obs", DType::Float32, {1, 1});
        b.constant("a", {1}, {1, 1}).constant("b", {2}, {1, 1});
        b.identity("a", first).identity("b", second);
        b.output(first, DType::Float32, {1, 1}).output(second, DType::Float32, {1, 1});
        return write(b, file);
    };
    const auto obs = NdArray::of<float>({0});
    GrafexEngine by_position(two_outputs("logits", "value", "a.onnx"));
    EXPECT_EQ(by_position.get_action_dist_inputs(obs).item(0), 2.0);
    EXPECT_FALSE(by_position.get_vf_preds(obs).has_value());

    GrafexEngine by_name(two_outputs("vf_preds", "action_dist_inputs", "b.onnx"));
    EXPECT_EQ(by_name.get_action_dist_inputs(obs).item(0), 2.0);
    ASSERT_TRUE(by_name.get_vf_preds(obs).has_value());
    EXPECT_EQ(by_name.get_vf_preds(obs)->item(0), 1.0);
}

// A constant output of any ONNX element type and shape, from the bytes of
// `values` (in the element type's own layout).
template <class T>
void constant_output(ModelBuilder& b, const std::string& name, int onnx_type, const std::vector<T>& values,
                     const std::vector<std::int64_t>& dims) {
    auto* node = b.graph().add_node();
    node->set_op_type("Constant");
    node->add_output(name);
    auto* attribute = node->add_attribute();
    attribute->set_name("value");
    attribute->set_type(onnx::AttributeProto::TENSOR);
    auto* tensor = attribute->mutable_t();
    tensor->set_data_type(onnx_type);
    for (auto d : dims) tensor->add_dims(d);
    if constexpr (std::is_same_v<T, std::string>) {
        for (const auto& text : values) tensor->add_string_data(text);
    } else {
        tensor->set_raw_data(std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)));
    }
    auto* output = b.graph().add_output();
    output->set_name(name);
    auto* type = output->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx_type);
    for (auto d : dims) type->mutable_shape()->add_dim()->set_dim_value(d);
}

float bfloat16_value(std::uint16_t bits) {
    const std::uint32_t widened = static_cast<std::uint32_t>(bits) << 16;
    float value;
    std::memcpy(&value, &widened, sizeof value);
    return value;
}

// Every element type the runtime hands back is held: as it is, widened to a
// type that holds every value exactly, or (uint64) as int64 of the same bits.
TEST_F(GrafexEngineTest, OutputsOfEveryElementTypeAreHeld) {
    using T = onnx::TensorProto;
    struct Case {
        int onnx_type;
        DType held;
        std::vector<double> expected;
    };
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 1});
    std::vector<Case> cases;
    auto add = [&]<class E>(int type, DType held, std::vector<E> values, std::vector<double> expected) {
        constant_output(b, "out" + std::to_string(cases.size()), type, values, {3});
        cases.push_back({type, held, std::move(expected)});
    };
    add(T::FLOAT, DType::Float32, std::vector<float>{-1.5f, 0, 2}, {-1.5, 0, 2});
    add(T::DOUBLE, DType::Float64, std::vector<double>{-1.5, 0, 2}, {-1.5, 0, 2});
    add(T::INT64, DType::Int64, std::vector<std::int64_t>{-1, 0, 2}, {-1, 0, 2});
    add(T::INT32, DType::Int32, std::vector<std::int32_t>{-1, 0, 2}, {-1, 0, 2});
    add(T::INT8, DType::Int8, std::vector<std::int8_t>{-1, 0, 2}, {-1, 0, 2});
    add(T::UINT8, DType::UInt8, std::vector<std::uint8_t>{255, 0, 2}, {255, 0, 2});
    add(T::BOOL, DType::Bool, std::vector<std::uint8_t>{1, 0, 1}, {1, 0, 1});
    add(T::INT16, DType::Int32, std::vector<std::int16_t>{-32768, -1, 32767}, {-32768, -1, 32767});
    add(T::UINT16, DType::Int32, std::vector<std::uint16_t>{0, 1, 65535}, {0, 1, 65535});
    add(T::UINT32, DType::Int64, std::vector<std::uint32_t>{0, 1, 4294967295u}, {0, 1, 4294967295.0});
    add(T::UINT64, DType::Int64, std::vector<std::uint64_t>{0, 1, ~std::uint64_t{0}}, {0, 1, -1});
    add(T::FLOAT16, DType::Float32, std::vector<std::uint16_t>{0xBC00, 0x3E00, 0x7BFF}, {-1, 1.5, 65504});
    add(T::BFLOAT16, DType::Float32, std::vector<std::uint16_t>{0xBF80, 0x3FC0, 0x7F7F},
        {-1, 1.5, bfloat16_value(0x7F7F)});

    GrafexEngine engine(write(b));
    const auto out = engine.infer(NdArray::of<float>({0}));
    ASSERT_EQ(out.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(T::DataType_Name(static_cast<T::DataType>(c.onnx_type)));
        EXPECT_EQ(out.entries()[i].first, "out" + std::to_string(i));  // session order
        const auto& array = out.at("out" + std::to_string(i));
        EXPECT_EQ(array.dtype(), c.held);
        EXPECT_EQ(array.shape(), (Shape{3}));
        for (std::size_t j = 0; j < c.expected.size(); ++j)
            EXPECT_EQ(array.item(static_cast<std::int64_t>(j)), c.expected[j]) << j;
    }
    EXPECT_EQ(out.entries()[10].second.as_array().item_int(2), -1);  // all 64 bits of the largest uint64
    expect_error<tarvik_core::KeyError>([&] { out.at("missing"); }, "'missing'");
}

TEST_F(GrafexEngineTest, StringOutputsAreNestedListsInTheirShape) {
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 1});
    constant_output(b, "table", onnx::TensorProto::STRING, std::vector<std::string>{"a", "b\xc3\xa9", "", "d"}, {2, 2});
    constant_output(b, "word", onnx::TensorProto::STRING, std::vector<std::string>{"one"}, {});
    GrafexEngine engine(write(b));
    const auto out = engine.infer(NdArray::of<float>({0}));
    EXPECT_EQ(out.value("table"), Value(tarvik_core::List{tarvik_core::List{"a", "b\xc3\xa9"}, tarvik_core::List{"", "d"}}));
    EXPECT_EQ(out.value("word"), Value("one"));
    EXPECT_EQ(out.to_dict().at("word"), Value("one"));
    expect_error<tarvik_core::TypeError>([&] { out.at("table"); },
                                         "Model output 'table' holds strings, not numbers: read it with value()");
}

TEST_F(GrafexEngineTest, OutputsHoldUpToThirtyTwoDimensions) {
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 1});
    std::vector<std::int64_t> dims(31, 1);
    dims.push_back(2);
    constant_output(b, "deep", onnx::TensorProto::FLOAT, std::vector<float>{1, 2}, dims);
    GrafexEngine engine(write(b));
    const auto deep = engine.infer(NdArray::of<float>({0})).at("deep");
    EXPECT_EQ(deep.shape().to_vector(), dims);
    EXPECT_EQ(deep.item(1), 2.0);

    ModelBuilder too_deep;
    too_deep.input("obs", DType::Float32, {1, 1});
    constant_output(too_deep, "deeper", onnx::TensorProto::FLOAT, std::vector<float>{1},
                    std::vector<std::int64_t>(33, 1));
    GrafexEngine refused(write(too_deep, "too_deep.onnx"));
    logs.clear();
    const std::string message = "Model output 'deeper' has 33 dimensions; arrays hold at most 32";
    expect_error<tarvik_core::ValueError>([&] { refused.infer(NdArray::of<float>({0})); }, message);
    expect_inference_error_logged(message);
}

TEST_F(GrafexEngineTest, OutputsOutliveTheEngine) {
    NdArray logits, echoed;
    {
        GrafexEngine engine(write(tarvik_test::fixed_logits_policy({.obs_size = 2, .logits = {3, 1, 2}})));
        logits = engine.get_action_dist_inputs(NdArray::of<float>({0, 0}));
        GrafexEngine echo(obs_and_mask_model(), std::nullopt);
        echoed = echo.infer(NdArray::of<float>({1, 2, 3, 4, 5, 6})).at("action_mask_echo");
    }
    EXPECT_EQ(values_of<float>(logits), (std::vector<float>{3, 1, 2}));
    EXPECT_EQ(values_of<double>(echoed), (std::vector<double>{1, 1, 1}));
}

TEST_F(GrafexEngineTest, ConcurrentCallsOnOneEngine) {
    const tarvik_test::LinearPolicy definition{.obs_size = 2, .weights = {1, 0, 0, 1}, .bias = {0, 0}};
    GrafexEngine engine(write(tarvik_test::linear_policy(definition)));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const float x = static_cast<float>(t * 100 + i);
                const auto out = engine.get_action_dist_inputs(NdArray::of<float>({x, -x}));
                if (out.item(0) != x || out.item(1) != -x) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Runs copy observations and given masks into buffers the engine reuses, so
// every output that echoes an input must be the caller's own copy, whichever
// operation returned it.
TEST_F(GrafexEngineTest, OutputsOfEarlierRunsSurviveLaterRuns) {
    GrafexEngine engine(obs_and_mask_model());
    const auto obs_a = NdArray::of<float>({1, 2, 3, 4, 5, 6});
    const auto obs_b = NdArray::of<float>({-1, -2, -3, -4, -5, -6});
    const auto mask_a = NdArray::of<double>({1, 0, 1});
    const auto mask_b = NdArray::of<double>({0, 1, 0});

    const auto first = engine.infer(obs_a, &mask_a);
    const NdArray first_logits = engine.get_action_dist_inputs(obs_a, &mask_a);  // the last output: the mask echo
    const auto second = engine.infer(obs_b, &mask_b);
    const NdArray second_logits = engine.get_action_dist_inputs(obs_b, &mask_b);

    EXPECT_EQ(values_of<float>(first.at("obs_Observation_echo")), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(values_of<double>(first.at("action_mask_echo")), (std::vector<double>{1, 0, 1}));
    EXPECT_EQ(values_of<double>(first_logits), (std::vector<double>{1, 0, 1}));
    EXPECT_EQ(values_of<float>(second.at("obs_Observation_echo")), (std::vector<float>{-1, -2, -3, -4, -5, -6}));
    EXPECT_EQ(values_of<double>(second_logits), (std::vector<double>{0, 1, 0}));
    EXPECT_FALSE(first_logits.shares_memory_with(second_logits));
    // The caller's arrays are read, never written.
    EXPECT_EQ(values_of<float>(obs_a), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(values_of<double>(mask_a), (std::vector<double>{1, 0, 1}));
}

// Outputs declared with fixed shapes are written into the engine's own
// buffers; an output whose declared shape is free, or that comes back in
// another shape than declared, still reaches the caller whole, on every run.
TEST_F(GrafexEngineTest, OutputsOfAnyActualShapeAreRead) {
    for (const auto& declared : std::vector<Dims>{{1, 4}, {"batch", Dim::unknown()}, {1, 3}}) {
        ModelBuilder b;
        b.input("obs", DType::Float32, {1, 2});
        b.constant("four", {0.5f, 1.5f, -2.0f, 3.0f}, {1, 4});
        b.reduce_sum("obs", "obs_sum");
        b.add("four", "obs_sum", "action_dist_inputs");
        b.output("action_dist_inputs", DType::Float32, declared);
        GrafexEngine engine(write(b));
        for (const float x : {1.0f, 2.0f, 3.0f}) {
            const NdArray logits = engine.get_action_dist_inputs(NdArray::of<float>({x, x}));
            EXPECT_EQ(values_of<float>(logits), (std::vector<float>{0.5f + 2 * x, 1.5f + 2 * x, -2 + 2 * x, 3 + 2 * x}));
            std::vector<float> read;
            engine.read_action_dist_inputs(NdArray::of<float>({x, x}), nullptr,
                                           [&](const NdArray& in_place) { read = values_of<float>(in_place); });
            EXPECT_EQ(read, values_of<float>(logits));
        }
    }
    EXPECT_TRUE(logs.messages(LogLevel::error).empty());
}

TEST_F(GrafexEngineTest, ReadersFailuresAreTheirOwn) {
    GrafexEngine engine(obs_and_mask_model());
    expect_error<tarvik_core::ValueError>(
        [&] {
            engine.read_action_dist_inputs(NdArray::of<float>({1, 2, 3, 4, 5, 6}), nullptr,
                                           [](const NdArray&) { throw tarvik_core::ValueError("reader"); });
        },
        "reader");
    EXPECT_TRUE(logs.messages(LogLevel::error).empty());
    // The lock was released.
    EXPECT_EQ(engine.get_action_dist_inputs(NdArray::of<float>({1, 2, 3, 4, 5, 6})).size(), 3);
}

TEST_F(GrafexEngineTest, InputsOfEveryElementTypeReachTheModelConvertedLikeAstype) {
    GrafexEngine engine(obs_and_mask_model());
    const std::vector<std::pair<NdArray, NdArray>> cases = {
        {NdArray::of<double>({0.1, -2.5, 3, 4, 5, 1e-3}), NdArray::of<float>({1, 0, 1})},
        {NdArray::of<std::int64_t>({1, -2, 3, 4, 5, 6}), NdArray::of<std::int8_t>({0, 1, 1})},
        {NdArray::of<bool>({true, false, true, true, false, false}), NdArray::of<bool>({true, false, false})},
        {NdArray::from_vector<float>({1, 2, 3, 4, 5, 6}, Shape{1, 6}), NdArray::from_vector<double>({1, 1, 0}, Shape{1, 3})},
    };
    for (const auto& [obs, mask] : cases) {
        SCOPED_TRACE(obs.repr() + " / " + mask.repr());
        const auto out = engine.infer(obs, &mask);
        const auto expected_obs = obs.astype(DType::Float32).flatten();
        const auto expected_mask = mask.astype(DType::Float64).flatten();
        EXPECT_EQ(values_of<float>(out.at("obs_Observation_echo")),
                  std::vector<float>(expected_obs.values<float>().begin(), expected_obs.values<float>().end()));
        EXPECT_EQ(values_of<double>(out.at("action_mask_echo")),
                  std::vector<double>(expected_mask.values<double>().begin(), expected_mask.values<double>().end()));
    }
}

TEST_F(GrafexEngineTest, StringOutputsFailOnlyTheReadingsThatReturnThem) {
    // infer() holds every output; the reading operations return arrays, so
    // only the one whose output is strings fails, and the other is unaffected.
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 2});
    constant_output(b, "action_dist_inputs", onnx::TensorProto::STRING, std::vector<std::string>{"left"}, {1});
    constant_output(b, "vf_preds", onnx::TensorProto::INT16, std::vector<std::int16_t>{-7}, {1});
    GrafexEngine engine(write(b));
    const auto obs = NdArray::of<float>({1, 2});
    EXPECT_EQ(engine.infer(obs).value("action_dist_inputs"), Value(tarvik_core::List{"left"}));

    logs.clear();
    const std::string message = "Model output 'action_dist_inputs' holds strings, not numbers";
    expect_error<tarvik_core::TypeError>([&] { engine.get_action_dist_inputs(obs); }, message);
    expect_inference_error_logged(message);

    logs.clear();
    const auto preds = engine.get_vf_preds(obs);
    ASSERT_TRUE(preds.has_value());
    EXPECT_EQ(preds->dtype(), DType::Int32);
    EXPECT_EQ(preds->item(0), -7.0);
    EXPECT_TRUE(logs.lines().empty());
}

}  // namespace
