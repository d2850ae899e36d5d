// The policy makers other tests and the benchmarks build on: each must load
// and compute what its description promises.
#include <gtest/gtest.h>

#include <cmath>

#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_inference/grafex.hpp"


namespace {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;
using tarvik_inference::GrafexEngine;

class PolicyModels : public ::testing::Test {
protected:
    GrafexEngine load(const tarvik_test::ModelBuilder& b) {
        return GrafexEngine(b.write(dir / ("p" + std::to_string(count++) + ".onnx")).string());
    }
    tarvik_test::TempDir dir;
    int count = 0;
};

TEST_F(PolicyModels, FixedLogitsIgnoreObservationAndMask) {
    auto engine = load(tarvik_test::fixed_logits_policy(
        {.obs_size = 3, .logits = {0.5f, -2, 7}, .io = {.mask_size = 3, .vf_pred = 1.25f}}));
    EXPECT_EQ(engine.input_names(), (std::vector<std::string>{"obs", "action_mask"}));
    EXPECT_EQ(engine.output_names(), (std::vector<std::string>{"action_dist_inputs", "vf_preds"}));
    const auto mask = NdArray::of<double>({0, 0, 1});
    const auto out = engine.infer(NdArray::of<float>({9, 9, 9}), &mask);
    const auto logits = out.at("action_dist_inputs");
    EXPECT_EQ(logits.shape(), (Shape{1, 3}));
    EXPECT_EQ(std::vector<float>(logits.values<float>().begin(), logits.values<float>().end()),
              (std::vector<float>{0.5f, -2, 7}));
    EXPECT_EQ(out.at("vf_preds").shape(), (Shape{1}));
    EXPECT_EQ(out.at("vf_preds").item(0), 1.25);
}

TEST_F(PolicyModels, LinearLogitsFollowTheObservation) {
    // Rows pick out x0 + 1 and 2 * x1 - x0.
    auto engine = load(tarvik_test::linear_policy(
        {.obs_size = 2, .weights = {1, 0, -1, 2}, .bias = {1, 0}, .io = {.obs_name = "observation"}}));
    const auto logits = engine.get_action_dist_inputs(NdArray::of<float>({3, 5}));
    EXPECT_EQ(logits.item(0), 4.0);
    EXPECT_EQ(logits.item(1), 7.0);
    EXPECT_FALSE(engine.get_vf_preds(NdArray::of<float>({3, 5})).has_value());
}

TEST_F(PolicyModels, MlpMatchesReferenceAndDependsOnSeed) {
    const tarvik_test::MlpPolicy definition{.n_in = 5, .hidden = {8, 4}, .n_out = 3, .seed = 7};
    auto engine = load(tarvik_test::mlp_policy(definition));
    const std::vector<float> obs = {0.3f, -1, 2, 0.5f, -0.25f};
    const auto logits = engine.get_action_dist_inputs(NdArray::from_vector(obs));
    const auto expected = tarvik_test::mlp_forward(definition, obs);
    ASSERT_EQ(logits.size(), 3);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(logits.item(static_cast<std::int64_t>(i)), expected[i], 1e-5);

    auto other_seed = definition;
    other_seed.seed = 8;
    EXPECT_NE(tarvik_test::mlp_forward(other_seed, obs), expected);
}

TEST(ModelBuilder, RejectsInconsistentSizes) {
    tarvik_test::ModelBuilder b;
    EXPECT_THROW(b.initializer("w", std::vector<float>{1, 2, 3}, {2, 2}), std::invalid_argument);
    EXPECT_THROW(b.gemm("x", "y", {1, 2, 3}, {1, 2}), std::invalid_argument);
    EXPECT_THROW(tarvik_test::linear_policy({.obs_size = 3, .weights = {1, 2}, .bias = {0}}), std::invalid_argument);
}

}  // namespace
