// The example orchestrations: their programmed rules, their plugins, the
// model generator's pieces (ONNX writer, search, observation plan,
// simulations) and the committed models, down to a step-by-step comparison of
// the generator's simulation with the runtime itself.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include "support/expect_error.hpp"
#include "cartpole_example.hpp"
#include "cartpole_rules.hpp"
#include "cross_entropy.hpp"
#include "example_models.hpp"
#include "linear_policy.hpp"
#include "observation_plan.hpp"
#include "pendulum_example.hpp"
#include "pendulum_rules.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_inference/grafex.hpp"
#include "tarvik_inference/runvane.hpp"
#include "tarvik_sims/simulator.hpp"

namespace {

namespace fs = std::filesystem;
namespace cartpole = tarvik_examples::cartpole;
namespace pendulum = tarvik_examples::pendulum;
using namespace tarvik_core;
using tarvik_examples::LinearPolicy;

using tarvik_test::expect_error;

fs::path example_dir(const std::string& name) { return fs::path(TARVIK_SOURCE_DIR) / "examples" / name; }
std::string example_file(const std::string& name) { return (example_dir(name) / "orchestration.json").string(); }
std::string plugin_file(const std::string& name) {
    return std::string(TARVIK_TEST_PLUGIN_DIR) + "/libtarvik_example_" + name + ".so";
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Opens an example plugin the way the orchestration loader does (never
// closed) and lets it register into `registry`.
void register_plugin(Registry& registry, const std::string& name) {
    void* handle = dlopen(plugin_file(name).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto entry = reinterpret_cast<RegisterFn>(dlsym(handle, kPluginEntryPoint));
    ASSERT_NE(entry, nullptr);
    entry(registry);
}

// An example's orchestration with its plugin named by absolute path, so it
// loads whatever the loader's search for bare plugin names does.
OrchestrationPtr example_with_plugin_path(const std::string& name) {
    std::string text = read_text(example_file(name));
    const std::string bare = "\"libtarvik_example_" + name + ".so\"";
    text.replace(text.find(bare), bare.size(), "\"" + plugin_file(name) + "\"");
    return Orchestration::from_json(text, example_dir(name), example_file(name));
}

Dict readings(std::initializer_list<std::pair<std::string, Value>> entries) {
    Dict out;
    for (const auto& [key, value] : entries) out.set(key, value);
    return out;
}

Value f32(float value) { return Value(NdArray::of<float>({value})); }

// --- the programmed rules ------------------------------------------------------

TEST(CartPoleRules, DangerIsTheLargerShareOfEitherLimit) {
    struct Case { double x, theta, danger; };
    const Case cases[] = {
        {0.0, 0.0, 0.0},
        {1.2, 0.0, 0.5},
        {-1.2, 0.0, 0.5},
        {0.0, -cartpole::kTiltLimit, 1.0},
        {-2.4, 0.1, 1.0},
        {0.6, 0.5 * cartpole::kTiltLimit, 0.5},
        {0.3, 0.75 * cartpole::kTiltLimit, 0.75},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("x " + std::to_string(c.x) + ", theta " + std::to_string(c.theta));
        EXPECT_DOUBLE_EQ(cartpole::tilt_danger(c.x, c.theta), c.danger);
    }
}

TEST(CartPoleRules, EdgeRuleForbidsOnlyThePushOutwardsBeyondTheEdgeZone) {
    using Allowed = cartpole::AllowedPushes;
    struct Case { double x; std::optional<Allowed> allowed; };
    const Case cases[] = {
        {0.0, std::nullopt},
        {2.0, std::nullopt},  // the zone's border itself is still free
        {-2.0, std::nullopt},
        {2.0001, Allowed{.left = true, .right = false}},
        {2.6, Allowed{.left = true, .right = false}},
        {-2.3, Allowed{.left = false, .right = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("x " + std::to_string(c.x));
        EXPECT_EQ(cartpole::edge_pushes(c.x), c.allowed);
    }
}

TEST(CartPoleRules, RescuePushesUnderTheSideThePoleFallsTo) {
    struct Case { double theta, theta_dot; std::int64_t push; };
    const Case cases[] = {
        {0.01, 0.0, cartpole::kPushRight},
        {-0.01, 0.0, cartpole::kPushLeft},
        {0.01, -0.1, cartpole::kPushLeft},    // leaning right but already swinging back fast
        {-0.02, 0.1, cartpole::kPushRight},
        {0.0, 0.0, cartpole::kPushLeft},      // exactly upright: no side, the first push
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("theta " + std::to_string(c.theta) + ", theta_dot " + std::to_string(c.theta_dot));
        EXPECT_EQ(cartpole::rescue_push(c.theta, c.theta_dot), c.push);
    }
}

TEST(PendulumRules, PhaseStabilisesOnlyAboveTheCatchAngle) {
    EXPECT_EQ(pendulum::phase_choice(1.0), pendulum::kStabilize);
    EXPECT_EQ(pendulum::phase_choice(0.8501), pendulum::kStabilize);
    EXPECT_EQ(pendulum::phase_choice(pendulum::kCatchCos), pendulum::kSwingUp);
    EXPECT_EQ(pendulum::phase_choice(0.0), pendulum::kSwingUp);
    EXPECT_EQ(pendulum::phase_choice(-1.0), pendulum::kSwingUp);
}

TEST(PendulumRules, EnergyPumpAddsEnergyWhenShortAndRemovesItWhenOver) {
    struct Case { double cos_theta, theta_dot, torque; };
    const Case cases[] = {
        {-1.0, 0.0, 2.0},      // at rest hanging: the starting push, at full torque
        {-1.0, 0.1, 2.0},      // far short of the top energy: full torque along the motion
        {-1.0, -0.1, -2.0},
        {0.9, 0.5, 0.6875},    // 15 - (0.125 + 13.5) missing, times the speed
        {0.9, -0.5, -0.6875},
        {1.0, 0.5, -0.0625},   // 0.125 too much: brake
        {1.0, 0.0, 0.0},       // upright at rest: nothing to do
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("cos " + std::to_string(c.cos_theta) + ", theta_dot " + std::to_string(c.theta_dot));
        EXPECT_DOUBLE_EQ(pendulum::energy_pump_torque(c.cos_theta, c.theta_dot), c.torque);
    }
    EXPECT_DOUBLE_EQ(pendulum::swing_energy(1.0, 0.0), pendulum::kUprightEnergy);
    EXPECT_DOUBLE_EQ(pendulum::swing_energy(-1.0, 0.0), -pendulum::kUprightEnergy);
}

// The pump alone must bring a hanging pendulum into the stabiliser's reach on
// the real simulator: a sign slip anywhere would leave it hanging.
TEST(PendulumRules, EnergyPumpSwingsTheSimulatedPendulumUpFromRest) {
    tarvik_sims::Pendulum sim;
    sim.set_state({.theta = std::numbers::pi, .theta_dot = 0.0});
    double highest = -1.0;
    for (int step = 0; step < 200 && highest <= pendulum::kCatchCos; ++step) {
        const Dict obs = sim.observation();
        const double torque =
            pendulum::energy_pump_torque(obs.at("cos_theta").as_double(), obs.at("theta_dot").as_double());
        sim.step(Value(torque));
        highest = std::max(highest, sim.observation().at("cos_theta").as_double());
    }
    EXPECT_GT(highest, pendulum::kCatchCos);
}

// --- the plugins, through their registration -------------------------------------

class ExamplePlugins : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        register_plugin(cartpole_registry(), "cartpole");
        register_plugin(pendulum_registry(), "pendulum");
    }
    static Registry& cartpole_registry() {
        static Registry registry;
        return registry;
    }
    static Registry& pendulum_registry() {
        static Registry registry;
        return registry;
    }
    template <class T>
    static std::shared_ptr<T> make(const Registry& registry, const std::string& name) {
        auto instance = std::dynamic_pointer_cast<T>(registry.get(name)->instantiate());
        EXPECT_NE(instance, nullptr) << name;
        return instance;
    }
};

TEST_F(ExamplePlugins, RegisterTheNamesTheOrchestrationsUse) {
    EXPECT_EQ(cartpole_registry().names(ImplKind::teacher), std::vector<std::string>{"cart_teacher"});
    EXPECT_EQ(cartpole_registry().names(ImplKind::controller), std::vector<std::string>{"rescue_controller"});
    EXPECT_EQ(cartpole_registry().names(ImplKind::perceptor), std::vector<std::string>{"tilt"});
    EXPECT_EQ(pendulum_registry().names(ImplKind::teacher), std::vector<std::string>{"stabilize_teacher"});
    EXPECT_EQ(pendulum_registry().names(ImplKind::controller),
              (std::vector<std::string>{"energy_pump", "phase_controller"}));
    EXPECT_TRUE(pendulum_registry().names(ImplKind::perceptor).empty());
}

TEST_F(ExamplePlugins, CartTeacherShowsTheCartAndPoleAndMasksAtTheEdges) {
    auto teacher = make<Teacher>(cartpole_registry(), "cart_teacher");
    EXPECT_EQ(repr(run_sync(teacher->filtered_sensor_space())), "['x', 'x_dot', 'theta', 'theta_dot']");

    struct Case { Value x; std::string mask; };
    const Case cases[] = {
        {f32(2.5f), "array([1, 0], dtype=int8)"},
        {f32(-2.5f), "array([0, 1], dtype=int8)"},
        {f32(0.5f), "None"},
        {Value(2.1), "array([1, 0], dtype=int8)"},  // a plain number is read as well
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("x " + repr(c.x));
        const Value obs = readings({{"x", c.x}, {"theta", f32(0.0f)}});
        EXPECT_EQ(repr(run_sync(teacher->compute_action_mask(obs, Value()))), c.mask);
    }
}

TEST_F(ExamplePlugins, ReadingsThatAreNotOneFiniteNumberAreRefusedByName) {
    auto teacher = make<Teacher>(cartpole_registry(), "cart_teacher");
    const auto mask_of = [&](Value obs) { return run_sync(teacher->compute_action_mask(obs, Value())); };
    expect_error<TypeError>([&] { mask_of(List{1.0}); },
                            "cart_teacher expects the observation as a mapping of sensor values, got list");
    expect_error<KeyError>([&] { mask_of(readings({{"theta", f32(0.0f)}})); },
                           "cart_teacher: the observation has no sensor 'x'");
    expect_error<ValueError>([&] { mask_of(readings({{"x", Value(std::nan(""))}})); },
                             "cart_teacher: sensor 'x' is not finite: nan");
    expect_error<ValueError>([&] { mask_of(readings({{"x", f32(INFINITY)}})); },
                             "cart_teacher: sensor 'x' is not finite: inf");
    const Value pair(NdArray::of<float>({1.0f, 2.0f}));
    expect_error<ValueError>([&] { mask_of(readings({{"x", pair}})); },
                             "cart_teacher: sensor 'x' should hold one number, got " + repr(pair));
    expect_error<ValueError>([&] { mask_of(readings({{"x", Value("far")}})); },
                             "cart_teacher: sensor 'x' should hold one number, got 'far'");

    auto pump = make<Controller>(pendulum_registry(), "energy_pump");
    expect_error<KeyError>([&] { run_sync(pump->compute_action(readings({{"cos_theta", f32(1.0f)}}), Value())); },
                           "energy_pump: the observation has no sensor 'theta_dot'");
}

TEST_F(ExamplePlugins, TiltDerivesDangerAsAFloat32Reading) {
    auto tilt = make<Perceptor>(cartpole_registry(), "tilt");
    const Value derived =
        run_sync(tilt->compute_sensors(readings({{"x", f32(1.2f)}, {"x_dot", f32(9.0f)}, {"theta", f32(0.05f)},
                                                 {"theta_dot", f32(9.0f)}})));
    ASSERT_TRUE(derived.is_dict());
    ASSERT_EQ(derived.as_dict().keys(), std::vector<std::string>{"danger"});
    const NdArray& danger = derived.as_dict().at("danger").as_array();
    EXPECT_EQ(danger.dtype(), DType::Float32);
    EXPECT_EQ(shape_repr(danger.shape()), "(1,)");
    EXPECT_EQ(danger.data<float>()[0], static_cast<float>(cartpole::tilt_danger(1.2f, 0.05f)));
}

TEST_F(ExamplePlugins, ControllersAnswerInTheirAgentsActionForm) {
    auto rescue = make<Controller>(cartpole_registry(), "rescue_controller");
    const Value push = run_sync(rescue->compute_action(readings({{"theta", f32(0.05f)}, {"theta_dot", f32(0.0f)}}), Value()));
    ASSERT_TRUE(push.is_int());
    EXPECT_EQ(push.as_int(), cartpole::kPushRight);

    auto phase = make<Controller>(pendulum_registry(), "phase_controller");
    EXPECT_EQ(run_sync(phase->compute_action(readings({{"cos_theta", f32(0.99f)}}), Value())).as_int(),
              pendulum::kStabilize);
    EXPECT_EQ(run_sync(phase->compute_action(readings({{"cos_theta", f32(-0.3f)}}), Value())).as_int(),
              pendulum::kSwingUp);

    auto pump = make<Controller>(pendulum_registry(), "energy_pump");
    const Value torque = run_sync(pump->compute_action(readings({{"cos_theta", f32(0.9f)}, {"theta_dot", f32(0.5f)}}), Value()));
    ASSERT_TRUE(torque.is_array());
    EXPECT_EQ(torque.as_array().dtype(), DType::Float32);
    EXPECT_EQ(shape_repr(torque.as_array().shape()), "(1,)");
    EXPECT_EQ(torque.as_array().data<float>()[0], static_cast<float>(pendulum::energy_pump_torque(0.9f, 0.5f)));

    auto teacher = make<Teacher>(pendulum_registry(), "stabilize_teacher");
    EXPECT_EQ(repr(run_sync(teacher->filtered_sensor_space())), "['sin_theta', 'theta_dot']");
}

// --- the orchestration files, their plugins and their models agree ---------------------

struct ExampleCase {
    std::string name;
    std::string top_agent;
    std::vector<std::string> children;
};
void PrintTo(const ExampleCase& example, std::ostream* out) { *out << example.name; }

class ExampleFiles : public ::testing::TestWithParam<ExampleCase> {};

// For every agent with a model: the file exists where the runtime looks, and
// its inputs and output have exactly the sizes the orchestration and the
// plugin give that agent, so the runtime never has to rewrite or reject it.
TEST_P(ExampleFiles, ModelsFitTheirAgentsAndEveryImplementationExists) {
    const ExampleCase& example = GetParam();
    const auto orchestration = Orchestration::load(example_file(example.name));
    register_plugin(orchestration->registry(), example.name);
    EXPECT_EQ(orchestration->get_top_agent()->get_name(), example.top_agent);
    EXPECT_EQ(orchestration->get_top_agent()->get_children(), example.children);

    std::vector<std::string> models;
    for (const auto& node : orchestration->nodes()) {
        SCOPED_TRACE(node->get_name());
        const auto* agent = dynamic_cast<const Agent*>(node.get());
        if (!agent) {
            EXPECT_NE(node->get_impl_cls_instance(), nullptr);  // a perceptor
            continue;
        }
        const auto impl = agent->get_impl_cls_instance();
        EXPECT_EQ(impl != nullptr, agent->definition().impl.has_value());
        if (agent->is_controller()) continue;
        ASSERT_TRUE(agent->get_checkpoint_uri().has_value());

        std::int64_t observation = 0;
        std::vector<std::string> seen;
        if (auto teacher = std::dynamic_pointer_cast<Teacher>(impl)) {
            const Value names = run_sync(teacher->filtered_sensor_space());
            for (const Value& name : names.as_list()) seen.push_back(name.as_str());
        } else {
            seen = tarvik_examples::all_sensor_names(*orchestration);
        }
        for (const auto& sensor : orchestration->sensors)
            if (std::find(seen.begin(), seen.end(), sensor->name) != seen.end()) observation += sensor->space->flat_dim();
        const bool is_orchestrator = dynamic_cast<const AgentOrchestrator*>(agent) != nullptr;
        const std::int64_t logits = is_orchestrator ? static_cast<std::int64_t>(agent->get_children().size())
                                                    : agent->get_action_space()->action_dist_size();

        const fs::path path = fs::path(*agent->get_checkpoint_uri()) / (agent->get_name() + ".onnx");
        ASSERT_TRUE(fs::exists(path)) << path;
        tarvik_inference::GrafexEngine engine(path.string());
        EXPECT_EQ(engine.input_names(), (std::vector<std::string>{"observation", "action_mask"}));
        EXPECT_EQ(engine.output_names(), std::vector<std::string>{"action_dist_inputs"});
        EXPECT_EQ(tarvik_inference::declared_shape_repr(engine.input_shapes()[0]), "[1, " + std::to_string(observation) + "]");
        EXPECT_EQ(tarvik_inference::declared_shape_repr(engine.input_shapes()[1]), "[1, " + std::to_string(logits) + "]");
        EXPECT_EQ(tarvik_inference::declared_shape_repr(engine.output_shapes()[0]), "[1, " + std::to_string(logits) + "]");
        models.push_back(agent->get_name());
    }
    // Every committed model belongs to an agent that uses it.
    for (const auto& entry : fs::directory_iterator(example_dir(example.name) / "models"))
        EXPECT_NE(std::find(models.begin(), models.end(), entry.path().stem().string()), models.end()) << entry.path();
}

// The files name their plugin by bare file name; the loader finds it next to
// the runtime's libraries.
TEST_P(ExampleFiles, InitialiseWithTheirPluginNamedByBareFileName) {
    const auto orchestration = Orchestration::load(example_file(GetParam().name));
    run_sync(orchestration->init());
    EXPECT_TRUE(orchestration->is_initialized());
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleFiles,
                         ::testing::Values(ExampleCase{"cartpole", "supervisor", {"balance", "recenter", "rescue"}},
                                           ExampleCase{"pendulum", "phase", {"swing_up", "stabilize"}}),
                         [](const auto& info) { return info.param.name; });

// --- the ONNX writer ----------------------------------------------------------------

LinearPolicy sample_policy(bool abs_input) {
    return LinearPolicy{.agent = "probe", .summary = "a probe", .abs_input = abs_input, .inputs = 3, .outputs = 2,
                        .mask_size = 4, .weight = {0.5f, -1.0f, 2.0f, 0.25f, -3.0f, 1.5f}, .bias = {0.1f, -0.2f}};
}

TEST(LinearPolicyOnnx, ReadsBackWhatItWritesAndWritesTheSameBytesEveryTime) {
    for (bool abs_input : {false, true}) {
        SCOPED_TRACE(abs_input ? "with Abs" : "without Abs");
        const LinearPolicy policy = sample_policy(abs_input);
        const std::string bytes = policy.onnx_bytes();
        EXPECT_EQ(LinearPolicy::from_onnx_bytes(bytes), policy);
        EXPECT_EQ(policy.onnx_bytes(), bytes);
        LinearPolicy nudged = policy;
        nudged.bias[1] = std::nextafter(nudged.bias[1], 1.0f);
        EXPECT_NE(nudged.onnx_bytes(), bytes);
    }
}

// The generator's simulation trusts LinearPolicy::logits to be what the model
// file computes; ONNX Runtime is the judge.
TEST(LinearPolicyOnnx, LogitsMatchTheModelRunByOnnxRuntime) {
    tarvik_test::TempDir dir;
    const std::vector<std::vector<float>> observations = {{0.0f, 0.0f, 0.0f}, {1.0f, -2.0f, 0.5f}, {-0.3f, 0.7f, -4.0f}};
    for (bool abs_input : {false, true}) {
        SCOPED_TRACE(abs_input ? "with Abs" : "without Abs");
        const LinearPolicy policy = sample_policy(abs_input);
        const fs::path path = dir / (abs_input ? "abs.onnx" : "plain.onnx");
        tarvik_examples::write_file_atomically(path, policy.onnx_bytes());
        tarvik_inference::GrafexEngine engine(path.string());
        for (const auto& observation : observations) {
            float expected[2];
            policy.logits(observation, expected);
            const NdArray mask = NdArray::ones(DType::Float64, Shape{1, 4});
            const NdArray logits = engine.get_action_dist_inputs(NdArray::from_vector(observation), &mask);
            ASSERT_EQ(logits.size(), 2);
            EXPECT_NEAR(logits.item(0), expected[0], 1e-5);
            EXPECT_NEAR(logits.item(1), expected[1], 1e-5);
        }
    }
}

TEST(LinearPolicyOnnx, RefusesSizesThatDoNotFitAndForeignModels) {
    LinearPolicy policy = sample_policy(false);
    policy.weight.pop_back();
    expect_error<ValueError>([&] { policy.onnx_bytes(); }, "policy of agent 'probe' has 5 weights for 3 inputs and 2 outputs");
    policy = sample_policy(false);
    policy.bias.push_back(0.0f);
    expect_error<ValueError>([&] { policy.check(); }, "policy of agent 'probe' has 3 biases for 2 outputs");
    policy = sample_policy(false);
    float out[2];
    expect_error<ValueError>([&] { policy.logits(std::vector<float>{1.0f, 2.0f}, out); },
                             "policy of agent 'probe' maps 3 inputs to 2 outputs, got 2 and 2");

    onnx::ModelProto model;
    ASSERT_TRUE(model.ParseFromString(sample_policy(false).onnx_bytes()));
    model.mutable_graph()->mutable_input(0)->set_name("obs");
    expect_error<ValueError>([&] { LinearPolicy::from_onnx_bytes(model.SerializeAsString()); },
                             "not a linear policy model written by the example generator: the inputs are not "
                             "'observation' and 'action_mask'");
    model.mutable_graph()->mutable_input(0)->set_name("observation");
    model.mutable_graph()->mutable_node(0)->set_op_type("MatMul");
    expect_error<ValueError>([&] { LinearPolicy::from_onnx_bytes(model.SerializeAsString()); },
                             "not a linear policy model written by the example generator: the graph is not an "
                             "optional Abs followed by one Gemm");
}

TEST(LinearPolicyOnnx, WritesFilesWhole) {
    tarvik_test::TempDir dir;
    const fs::path path = dir / "nested/folder/model.onnx";
    tarvik_examples::write_file_atomically(path, "first");
    tarvik_examples::write_file_atomically(path, "second");
    EXPECT_EQ(read_text(path), "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);

    fs::create_directories(dir / "blocked.onnx");  // a folder where the file should go
    try {
        tarvik_examples::write_file_atomically(dir / "blocked.onnx", "bytes");
        ADD_FAILURE() << "writing over a folder succeeded";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("cannot move " + (dir / "blocked.onnx.partial").string() + " to ", 0), 0u)
            << e.what();
    }
    EXPECT_FALSE(fs::exists(dir / "blocked.onnx.partial"));
}

// --- the search ---------------------------------------------------------------------

TEST(CrossEntropySearch, FindsTheTopOfASmoothHillAndCountsItsEvaluations) {
    int calls = 0;
    const auto hill = [&](std::span<const double> p) {
        ++calls;
        return -(p[0] - 3.0) * (p[0] - 3.0) - (p[1] + 1.0) * (p[1] + 1.0);
    };
    const tarvik_examples::CrossEntropyOptions options{.rounds = 20, .population = 32, .elites = 6, .seed = 7};
    const auto result = tarvik_examples::cross_entropy_search({0.0, 0.0}, {2.0, 2.0}, hill, options);
    EXPECT_NEAR(result.best[0], 3.0, 1e-3);
    EXPECT_NEAR(result.best[1], -1.0, 1e-3);
    EXPECT_EQ(result.evaluations, calls);
    EXPECT_EQ(calls, 1 + 32 + 19 * 33);  // the mean is scored once per round, the first reusing the start
    ASSERT_EQ(result.round_best.size(), 20u);
    for (std::size_t i = 1; i < result.round_best.size(); ++i) EXPECT_GE(result.round_best[i], result.round_best[i - 1]);
    EXPECT_EQ(result.round_best.back(), result.best_score);
}

TEST(CrossEntropySearch, IsDeterministicPerSeedAndNeverLosesTheStartingPoint) {
    const auto hill = [](std::span<const double> p) { return -std::fabs(p[0] - 0.5) - std::fabs(p[1]); };
    tarvik_examples::CrossEntropyOptions options{.rounds = 4, .population = 8, .elites = 2, .seed = 11};
    const auto first = tarvik_examples::cross_entropy_search({0.0, 0.0}, {1.0, 1.0}, hill, options);
    const auto again = tarvik_examples::cross_entropy_search({0.0, 0.0}, {1.0, 1.0}, hill, options);
    EXPECT_EQ(first.best, again.best);
    EXPECT_EQ(first.round_best, again.round_best);
    options.seed = 12;
    EXPECT_NE(tarvik_examples::cross_entropy_search({0.0, 0.0}, {1.0, 1.0}, hill, options).best, first.best);

    // Starting at the exact top with wide spreads: no random draw hits it, so
    // only keeping the mean in the competition keeps the answer exact.
    const auto top = tarvik_examples::cross_entropy_search({0.5, 0.0}, {5.0, 5.0}, hill, options);
    EXPECT_EQ(top.best, (std::vector<double>{0.5, 0.0}));
    EXPECT_EQ(top.best_score, 0.0);
}

TEST(CrossEntropySearch, RefusesUnusableOptionsAndNaNScores) {
    using tarvik_examples::CrossEntropyOptions;
    const auto flat = [](std::span<const double>) { return 0.0; };
    struct Case { CrossEntropyOptions options; std::vector<double> spread; std::string message; };
    const std::string sizes = "cross-entropy search needs rounds >= 0, population >= 1 and 1 <= elites <= population + 1; got ";
    const Case cases[] = {
        {{.population = 0}, {1.0}, sizes + "rounds 10, population 0, elites 6"},
        {{.elites = 0}, {1.0}, sizes + "rounds 10, population 32, elites 0"},
        {{.population = 4, .elites = 6}, {1.0}, sizes + "rounds 10, population 4, elites 6"},
        {{.rounds = -1}, {1.0}, sizes + "rounds -1, population 32, elites 6"},
        {{.spread_memory = 1.0}, {1.0}, "cross-entropy search needs a spread memory in [0, 1), got 1.000000"},
        {{.spread_memory = -0.1}, {1.0}, "cross-entropy search needs a spread memory in [0, 1), got -0.100000"},
        {{}, {1.0, 1.0}, "cross-entropy search got 1 parameters but 2 spreads"},
        {{}, {-1.0}, "cross-entropy search spreads must be >= 0, got -1.000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        expect_error<ValueError>([&] { tarvik_examples::cross_entropy_search({0.0}, c.spread, flat, c.options); },
                                 c.message);
    }
    int calls = 0;
    const auto sometimes_nan = [&](std::span<const double>) { return ++calls > 3 ? std::nan("") : 1.0; };
    expect_error<ValueError>(
        [&] { tarvik_examples::cross_entropy_search({0.0}, {1.0}, sometimes_nan, {.rounds = 2, .population = 4, .elites = 2}); },
        "cross-entropy search: a candidate scored NaN");
}

TEST(CrossEntropySearch, NormalDrawsAreStandardAndRepeatable) {
    tarvik_examples::NormalDraws draws(5), same(5), other(6);
    double sum = 0.0, squares = 0.0;
    bool differs = false;
    constexpr int kCount = 20000;
    for (int i = 0; i < kCount; ++i) {
        const double z = draws.next();
        ASSERT_EQ(same.next(), z);
        differs = differs || other.next() != z;
        sum += z;
        squares += z * z;
    }
    EXPECT_TRUE(differs);
    EXPECT_NEAR(sum / kCount, 0.0, 0.03);
    EXPECT_NEAR(squares / kCount, 1.0, 0.05);
}

// --- the observation plan -------------------------------------------------------------

TEST(ObservationPlan, NormalisesExactlyAsTheSensorsDo) {
    const auto orchestration = Orchestration::load(example_file("cartpole"));
    const std::vector<std::string> reading_names = {"theta", "x", "x_dot"};
    const tarvik_examples::ObservationPlan plan(*orchestration, reading_names, {"x", "x_dot", "theta"});
    ASSERT_EQ(plan.size(), 3u);
    std::map<std::string, SensorPtr> sensors;
    for (const auto& sensor : orchestration->sensors) sensors[sensor->name] = sensor;

    const float values[][3] = {{0.0f, 0.0f, 0.0f}, {0.1f, 2.4f, -1.5f}, {-0.2095f, -4.3f, 7.25f}, {0.41f, 1e-7f, 0.3f}};
    for (const auto& row : values) {
        SCOPED_TRACE("theta " + std::to_string(row[0]) + ", x " + std::to_string(row[1]));
        float observation[3];
        plan.fill(row, observation);
        const float readings_by_model_order[3] = {row[1], row[2], row[0]};
        for (int i = 0; i < 3; ++i) {
            const std::string& name = i == 0 ? "x" : i == 1 ? "x_dot" : "theta";
            const Value normalised = sensors[name]->normalize_sample(f32(readings_by_model_order[i]));
            const float expected = normalised.is_array() ? normalised.as_array().astype(DType::Float32).data<float>()[0]
                                                         : readings_by_model_order[i];
            EXPECT_EQ(observation[i], expected) << name;
        }
    }
}

TEST(ObservationPlan, RefusesSensorsItCannotSimulate) {
    const auto orchestration = Orchestration::load(example_file("cartpole"));
    const std::vector<std::string> reading_names = {"x", "theta"};
    expect_error<KeyError>([&] { (void)tarvik_examples::ObservationPlan(*orchestration, reading_names, {"speed"}); },
                           "the orchestration " + example_file("cartpole") + " has no sensor 'speed'");
    expect_error<KeyError>([&] { (void)tarvik_examples::ObservationPlan(*orchestration, reading_names, {"x", "danger"}); },
                           "sensor 'danger' is not among the readings ['x', 'theta']");

    const auto discrete = Orchestration::from_json(
        R"({"id": "d", "sensors": [{"name": "mode", "space": {"type": "Discrete", "n": 3}}],
            "agents": [{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}}]})",
        "/base", "d.json");
    expect_error<ValueError>(
        [&] { (void)tarvik_examples::ObservationPlan(*discrete, {"mode"}, {"mode"}); },
        "sensor 'mode' is Discrete(3); the example generator simulates one-number Box sensors only");

    const tarvik_examples::ObservationPlan plan(*orchestration, reading_names, {"x"});
    const float three[3] = {0.0f, 0.0f, 0.0f};
    float one[1];
    expect_error<ValueError>([&] { plan.fill(three, one); },
                             "observation plan takes 2 readings into 1 inputs, got 3 and 1");
}

// --- the simulations of the orchestrations ------------------------------------------------

class CartPoleMirror : public ::testing::Test {
protected:
    OrchestrationPtr orchestration = Orchestration::load(example_file("cartpole"));
    cartpole::Mirror mirror{*orchestration,
                            cartpole::policies_from(cartpole::initial_parameters(),
                                                    tarvik_examples::all_sensor_names(*orchestration))};
};

// The supervisor's weights are laid out by sensor name; a slip would hand the
// wrong readings to the thresholds.
TEST_F(CartPoleMirror, SupervisorHandsOverByDistanceAndDanger) {
    struct Case { double x, theta; std::size_t child; };
    const Case cases[] = {
        {0.0, 0.0, cartpole::kBalance},
        {0.45, 0.0, cartpole::kBalance},   // |x| / 4.8 just under 0.1
        {0.5, 0.0, cartpole::kRecenter},
        {-1.0, 0.02, cartpole::kRecenter},
        {0.0, 0.15, cartpole::kRescue},    // danger 0.72
        {-1.6, 0.0, cartpole::kRecenter},  // danger 0.67, but recenter pulls harder out to 1.76 m
        {-1.9, 0.0, cartpole::kRescue},    // danger 0.79
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("x " + std::to_string(c.x) + ", theta " + std::to_string(c.theta));
        EXPECT_EQ(mirror.decide(c.x, 0.0, c.theta, 0.0).child, c.child);
    }
    const auto rescue = mirror.decide(0.0, 0.0, -0.15, 0.0);
    EXPECT_EQ(rescue.action, cartpole::rescue_push(-0.15, 0.0));
}

TEST_F(CartPoleMirror, RefusesFilesAndParametersItDoesNotFit) {
    std::string text = read_text(example_file("cartpole"));
    const std::string children = R"(["balance", "recenter", "rescue"])";
    text.replace(text.find(children), children.size(), R"(["recenter", "balance", "rescue"])");
    const auto reordered = Orchestration::from_json(text, example_dir("cartpole"), "reordered.json");
    expect_error<ValueError>([&] { (void)cartpole::Mirror(*reordered, mirror.policies()); },
                             "reordered.json: agent 'supervisor' has the children ['recenter', 'balance', 'rescue'], "
                             "but the example's rules expect ['balance', 'recenter', 'rescue']");
    expect_error<ValueError>([&] { cartpole::policies_from(std::vector<double>(3), {"x", "danger"}); },
                             "the cart-pole models take 9 parameters, got 3");
    expect_error<ValueError>([&] { cartpole::policies_from(cartpole::initial_parameters(), {"x", "theta"}); },
                             "the supervisor's sensors ['x', 'theta'] lack 'danger'");
}

TEST(PendulumMirror, StabilisesNearTheTopAndPumpsElsewhere) {
    const auto orchestration = Orchestration::load(example_file("pendulum"));
    const pendulum::Mirror mirror(*orchestration, pendulum::stabilize_policy(std::vector<double>{-8.0, -7.0, 0.0}));
    struct Case { double theta, theta_dot; std::int64_t child; float torque; };
    const Case cases[] = {
        // mean -8 sin - 7 theta_dot / 8, clipped to [-1, 1], then mapped onto [-2, 2]
        {0.05, 0.0, pendulum::kStabilize, static_cast<float>(2.0 * std::clamp(-8.0 * std::sin(0.05f), -1.0, 1.0))},
        {0.1, 0.8, pendulum::kStabilize, -2.0f},
        {-0.02, 0.1, pendulum::kStabilize, static_cast<float>(2.0 * (-8.0 * static_cast<float>(std::sin(-0.02)) - 7.0 * 0.0125f))},
        {2.0, 1.0, pendulum::kSwingUp, static_cast<float>(pendulum::energy_pump_torque(static_cast<float>(std::cos(2.0)), 1.0))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("theta " + std::to_string(c.theta) + ", theta_dot " + std::to_string(c.theta_dot));
        const auto decision = mirror.decide(std::cos(c.theta), std::sin(c.theta), c.theta_dot);
        EXPECT_EQ(decision.child, c.child);
        EXPECT_NEAR(decision.torque, c.torque, 1e-5);
    }
}

TEST(PendulumMirror, RefusesAStabiliserActionItCannotUnsquash) {
    std::string text = read_text(example_file("pendulum"));
    const std::string one = R"("shape": [1]})";
    text.replace(text.rfind(one), one.size(), R"("shape": [2]})");  // the last agent: stabilize
    const auto wide = Orchestration::from_json(text, example_dir("pendulum"), "wide.json");
    expect_error<ValueError>(
        [&] { (void)pendulum::Mirror(*wide, pendulum::stabilize_policy(pendulum::initial_parameters())); },
        "agent 'stabilize' needs a bounded one-number Box action space, has " +
            spaces::repr(wide->get_node_by_name("stabilize")->get_action_space()));
    expect_error<ValueError>([] { pendulum::stabilize_policy(std::vector<double>{1.0}); },
                             "the pendulum model takes 3 parameters, got 1");
}

// The committed models, read back from their files, meet the goals on the
// evaluation seeds.
TEST(CommittedModels, MeetTheGoalsInTheSimulation) {
    const auto read = [](const std::string& example, const std::string& agent) {
        return LinearPolicy::from_onnx_bytes(read_text(example_dir(example) / "models" / (agent + ".onnx")));
    };
    const auto cart = Orchestration::load(example_file("cartpole"));
    const cartpole::Mirror cart_mirror(*cart, {read("cartpole", "supervisor"), read("cartpole", "balance"),
                                               read("cartpole", "recenter")});
    const auto cart_eval = tarvik_examples::evaluate("simulator starts", tarvik_examples::to_strings(cartpole::kSupervisorChildren),
                                                     tarvik_examples::evaluation_seeds(),
                                                     [&](std::uint64_t seed) { return cart_mirror.run_episode(seed); });
    EXPECT_GE(cart_eval.mean_return(), 475.0);

    const auto pend = Orchestration::load(example_file("pendulum"));
    const pendulum::Mirror pend_mirror(*pend, read("pendulum", "stabilize"));
    const auto pend_eval = tarvik_examples::evaluate("simulator starts", tarvik_examples::to_strings(pendulum::kPhaseChildren),
                                                     tarvik_examples::evaluation_seeds(),
                                                     [&](std::uint64_t seed) { return pend_mirror.run_episode(seed); });
    EXPECT_GE(pend_eval.mean_return(), -250.0);
}

// --- the runtime runs what the generator simulated ------------------------------------------

class ExampleThroughRuntime : public ::testing::Test {
protected:
    // The packaged top processor of an example, with its committed models.
    tarvik_inference::ProcessorPtr package(const std::string& name) {
        run_sync(runvane.load_orchestration(example_with_plugin_path(name)));
        run_sync(runvane.package());
        return runvane.agent_processor;
    }
    // One step with the chosen child reported next to the action.
    Dict step(const tarvik_inference::ProcessorPtr& processor, const Dict& readings) {
        return run_sync(processor->_execute(Value(readings), {.return_as_teacher_dict = true})).as_dict();
    }
    LinearPolicy committed(const std::string& example, const std::string& agent) {
        return LinearPolicy::from_onnx_bytes(read_text(example_dir(example) / "models" / (agent + ".onnx")));
    }
    tarvik_inference::Runvane runvane;
};

TEST_F(ExampleThroughRuntime, CartPoleTakesTheSimulatedDecisionsAtEveryStep) {
    const auto processor = package("cartpole");
    const cartpole::Mirror mirror(*runvane.orchestration, {committed("cartpole", "supervisor"),
                                                           committed("cartpole", "balance"), committed("cartpole", "recenter")});
    for (std::uint64_t seed : {0u, 7u}) {
        for (auto start : {cartpole::Mirror::Start::simulator, cartpole::Mirror::Start::hard}) {
            const bool hard = start == cartpole::Mirror::Start::hard;
            SCOPED_TRACE("seed " + std::to_string(seed) + (hard ? ", hard start" : ""));
            tarvik_sims::CartPole sim;
            Dict readings = sim.reset(seed);
            if (hard) {
                sim.set_state(cartpole::hard_start(seed));
                readings = sim.observation();
            }
            double episode_return = 0.0;
            for (int t = 0; sim.episode_running(); ++t) {
                const Dict result = step(processor, readings);
                const auto expected = mirror.decide(readings.at("x").as_double(), readings.at("x_dot").as_double(),
                                                    readings.at("theta").as_double(), readings.at("theta_dot").as_double());
                ASSERT_EQ(result.at("top_orchestrator_action").as_int(), static_cast<std::int64_t>(expected.child)) << "step " << t;
                ASSERT_EQ(result.at("action").as_int(), expected.action) << "step " << t;
                const auto outcome = sim.step(result.at("action"));
                episode_return += outcome.reward;
                readings = outcome.observation;
            }
            EXPECT_EQ(episode_return, mirror.run_episode(seed, start).episode_return);
        }
    }
}

TEST_F(ExampleThroughRuntime, PendulumAppliesTheSimulatedTorqueAtEveryStep) {
    const auto processor = package("pendulum");
    const pendulum::Mirror mirror(*runvane.orchestration, committed("pendulum", "stabilize"));
    for (std::uint64_t seed : {0u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        tarvik_sims::Pendulum sim;
        Dict readings = sim.reset(seed);
        double episode_return = 0.0;
        for (int t = 0; sim.episode_running(); ++t) {
            const Dict result = step(processor, readings);
            const auto expected = mirror.decide(readings.at("cos_theta").as_double(), readings.at("sin_theta").as_double(),
                                                readings.at("theta_dot").as_double());
            ASSERT_EQ(result.at("top_orchestrator_action").as_int(), expected.child) << "step " << t;
            const NdArray& torque = result.at("action").as_array();
            ASSERT_EQ(torque.dtype(), DType::Float32);
            ASSERT_EQ(torque.size(), 1);
            ASSERT_NEAR(torque.data<float>()[0], expected.torque, 1e-5) << "step " << t;
            const auto outcome = sim.step(result.at("action"));
            episode_return += outcome.reward;
            readings = outcome.observation;
        }
        EXPECT_NEAR(episode_return, mirror.run_episode(seed).episode_return, 1e-3);
    }
}

}  // namespace

namespace {

// A NaN reading fails its step by name, before any model runs, and the next
// finite step of the same facade acts as if nothing had happened.
TEST_F(ExampleThroughRuntime, PendulumRefusesANanReadingAndRecoversOnTheNextStep) {
    package("pendulum");
    tarvik_sims::Pendulum sim;
    Dict readings = sim.reset(0);
    const Value before = run_sync(runvane.execute(Value(readings)));

    Dict broken = readings;
    broken.set("theta_dot", NdArray::of<float>({std::nanf("")}));
    expect_error<ValueError>([&] { run_sync(runvane.execute(Value(broken))); },
                             "sensor 'theta_dot' reading is not finite: nan (a sensor whose teacher replaces missing "
                             "values sets \"allow_non_finite\")");

    const Value after = run_sync(runvane.execute(Value(readings)));
    ASSERT_TRUE(after.is_array());
    EXPECT_TRUE(after.as_array().equals(before.as_array())) << repr(after) << " vs " << repr(before);
}

}  // namespace
