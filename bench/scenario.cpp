#include "scenario.hpp"

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "support/model_builder.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_bench {

namespace fs = std::filesystem;
using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;
using tarvik_core::Task;
using tarvik_core::Value;
using json = nlohmann::json;

const ScenarioSpec& tiny_policy() {
    static const ScenarioSpec scenario_spec{
        .label = "tiny", .n_in = 4, .hidden = {64, 64}, .n_out = 2, .children = 2, .sensors = 2};
    return scenario_spec;
}

const ScenarioSpec& medium_policy() {
    static const ScenarioSpec scenario_spec{
        .label = "medium", .n_in = 200, .hidden = {256, 256}, .n_out = 16, .children = 16, .sensors = 10};
    return scenario_spec;
}

ScenarioSpec depth_spec(int depth) {
    return ScenarioSpec{.label = "depth" + std::to_string(depth),
                        .n_in = 4,
                        .hidden = {64, 64},
                        .n_out = 2,
                        .children = 1,
                        .sensors = 2,
                        .depth = depth,
                        .teacher = TeacherKind::none};
}

ScenarioSpec sensors_spec(std::int64_t sensors, bool rebuilding_teacher) {
    return ScenarioSpec{.label = "sensors" + std::to_string(sensors) + (rebuilding_teacher ? "_teacher" : ""),
                        .n_in = 1000,
                        .hidden = {16},
                        .n_out = 2,
                        .children = 1,
                        .sensors = sensors,
                        .depth = 1,
                        .teacher = rebuilding_teacher ? TeacherKind::rebuilding : TeacherKind::none};
}

namespace {

// Passes sensors through (the default) and returns a fixed mask.
class MaskingTeacher : public tarvik_core::Teacher {
public:
    explicit MaskingTeacher(Value mask) : mask_(std::move(mask)) {}
    Task<Value> compute_action_mask(const Value&, const Value&) override { co_return mask_; }

private:
    Value mask_;
};

// Returns the sensors as a new mapping with the same entries, as a teacher
// that edits a copy would: the runtime cannot know that nothing changed.
class RebuildingTeacher : public tarvik_core::Teacher {
public:
    Task<Value> transform_sensors(const Value& obs, const Value&) override {
        co_return Value(tarvik_core::Dict::from_unique(obs.as_dict().items()));
    }
};

fs::path make_temp_dir(const std::string& label) {
    std::string pattern = (fs::temp_directory_path() / ("tarvik-bench-" + label + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder from " + pattern);
    return pattern;
}

// Appended rather than concatenated: g++ 12 at -O3 warns falsely (-Wrestrict)
// about `"literal" + std::to_string(i)`.
std::string numbered(const char* prefix, std::int64_t i) {
    std::string name(prefix);
    name += std::to_string(i);
    return name;
}
std::string skill_name(std::int64_t i) { return numbered("skill", i); }
std::string sensor_name(std::int64_t i) { return numbered("s", i); }
// Orchestrator levels from the top: "top", "o1", "o2", ...
std::string orchestrator_name(int level) { return level == 0 ? std::string("top") : numbered("o", level); }

void write_policy(const ScenarioSpec& scenario_spec, std::int64_t n_out, std::uint64_t seed, const fs::path& path) {
    tarvik_test::mlp_policy({.n_in = scenario_spec.n_in,
                             .hidden = scenario_spec.hidden,
                             .n_out = n_out,
                             .seed = seed,
                             .io = {.obs_name = "observation", .mask_size = n_out}})
        .write(path);
}

std::int64_t sensor_width(const ScenarioSpec& scenario_spec, std::int64_t i) {
    return scenario_spec.n_in / scenario_spec.sensors + (i < scenario_spec.n_in % scenario_spec.sensors ? 1 : 0);
}

json sensors_of(const ScenarioSpec& scenario_spec) {
    json sensors = json::array();
    for (std::int64_t i = 0; i < scenario_spec.sensors; ++i) {
        json sensor = {{"name", sensor_name(i)},
                       {"space", {{"type", "Box"}, {"low", -5.0}, {"high", 5.0}, {"shape", {sensor_width(scenario_spec, i)}}}}};
        if (i % 4 == 0) sensor["normalization"] = {{"type", "scale"}};
        if (i % 4 == 2) sensor["normalization"] = {{"type", "standard"}, {"mean", 0.5}, {"std", 2.0}};
        sensors.push_back(std::move(sensor));
    }
    return sensors;
}

// Children of the orchestrator at `level` (0 is the top).
std::int64_t children_at(const ScenarioSpec& scenario_spec, int level) { return level + 2 < scenario_spec.depth ? 1 : scenario_spec.children; }

std::string orchestration_json(const ScenarioSpec& scenario_spec) {
    json agents = json::array();
    for (int level = 0; level + 1 < scenario_spec.depth; ++level) {
        json children = json::array();
        if (level + 2 < scenario_spec.depth) children.push_back(orchestrator_name(level + 1));
        else
            for (std::int64_t i = 0; i < scenario_spec.children; ++i) children.push_back(skill_name(i));
        agents.push_back({{"name", orchestrator_name(level)},
                          {"kind", "orchestrator"},
                          {"children", children},
                          {"checkpoint", "ckpt"}});
    }
    for (std::int64_t i = 0; i < scenario_spec.children; ++i) {
        json skill = {{"name", skill_name(i)},
                      {"kind", "skill"},
                      {"action_space", {{"type", "Discrete"}, {"n", scenario_spec.n_out}}},
                      {"checkpoint", "ckpt"}};
        if (scenario_spec.teacher != TeacherKind::none) skill["teacher"] = "bench_teacher";
        agents.push_back(std::move(skill));
    }
    const std::string top = scenario_spec.depth > 1 ? orchestrator_name(0) : skill_name(0);
    json doc = {{"id", "bench-" + scenario_spec.label}, {"sensors", sensors_of(scenario_spec)}, {"agents", agents}, {"top_agent", top}};
    return doc.dump(2);
}

double reading_at(std::int64_t sensor, std::int64_t j) { return -4.0 + 0.37 * static_cast<double>((sensor + j) % 20); }

Value readings_of(const ScenarioSpec& scenario_spec) {
    tarvik_core::Dict::Items entries;
    for (std::int64_t i = 0; i < scenario_spec.sensors; ++i) {
        NdArray values = NdArray::zeros(DType::Float64, Shape{sensor_width(scenario_spec, i)});
        double* v = values.mutable_data<double>();
        for (std::int64_t j = 0; j < values.size(); ++j) v[j] = reading_at(i, j);
        entries.emplace_back(sensor_name(i), Value(std::move(values)));
    }
    return Value(tarvik_core::Dict::from_unique(std::move(entries)));
}

NdArray flat_readings_of(const ScenarioSpec& scenario_spec) {
    NdArray out = NdArray::zeros(DType::Float64, Shape{scenario_spec.n_in});
    double* v = out.mutable_data<double>();
    for (std::int64_t i = 0; i < scenario_spec.sensors; ++i)
        for (std::int64_t j = 0; j < sensor_width(scenario_spec, i); ++j) *v++ = reading_at(i, j);
    return out;
}

tarvik_inference::ProcessorPtr create_processor(const tarvik_core::OrchestrationPtr& orchestration,
                                                const std::string& agent) {
    auto* create_actuon = tarvik_core::import_module(tarvik_inference::kMoldrixModule)
                              .function<tarvik_inference::CreateActuonFn>(tarvik_inference::kCreateActuonSymbol);
    return tarvik_core::run_sync(create_actuon(tarvik_core::AgentProcessorContext{
        .orchestration = orchestration, .agent = orchestration->get_node_by_name(agent)}));
}

}  // namespace

Scenario& Scenario::of(const ScenarioSpec& scenario_spec) {
    static std::map<std::string, std::unique_ptr<Scenario>> built;
    auto& slot = built[scenario_spec.label];
    if (!slot) slot.reset(new Scenario(scenario_spec));
    return *slot;
}

Scenario::Scenario(const ScenarioSpec& s) : scenario_spec(s), dir(make_temp_dir(s.label)) {
    for (int level = 0; level + 1 < scenario_spec.depth; ++level)
        write_policy(scenario_spec, children_at(scenario_spec, level), 7 + static_cast<std::uint64_t>(level), model(orchestrator_name(level)));
    for (std::int64_t i = 0; i < scenario_spec.children; ++i)
        write_policy(scenario_spec, scenario_spec.n_out, 100 + static_cast<std::uint64_t>(i), model(skill_name(i)));

    orchestration = tarvik_core::Orchestration::from_json(orchestration_json(scenario_spec), dir, "bench-" + scenario_spec.label);
    if (scenario_spec.teacher == TeacherKind::masking) {
        NdArray teacher_mask = NdArray::ones(DType::Int8, Shape{scenario_spec.n_out});
        teacher_mask.mutable_data<std::int8_t>()[scenario_spec.n_out - 1] = 0;  // the teacher forbids the last action
        orchestration->registry().add_teacher(
            "bench_teacher", [teacher_mask] { return std::make_shared<MaskingTeacher>(Value(teacher_mask)); });
    } else if (scenario_spec.teacher == TeacherKind::rebuilding) {
        orchestration->registry().add_teacher("bench_teacher", [] { return std::make_shared<RebuildingTeacher>(); });
    }
    tarvik_core::run_sync(orchestration->init());

    readings = readings_of(scenario_spec);
    flat_readings = flat_readings_of(scenario_spec);
    sim_action_mask = Value(NdArray::ones(DType::Int8, Shape{scenario_spec.n_out}));
    observation = NdArray::full(DType::Float32, Shape{scenario_spec.n_in}, 0.25);
    model_mask = NdArray::ones(DType::Float64, Shape{scenario_spec.n_out});
}

Scenario::~Scenario() {
    runvane_.reset();
    top_.reset();
    skill_.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

fs::path Scenario::model(const std::string& agent) const { return dir / "ckpt" / (agent + ".onnx"); }

tarvik_inference::BaseAgentProcessor& Scenario::skill() {
    if (!skill_) skill_ = create_processor(orchestration, skill_name(0));
    return *skill_;
}

tarvik_inference::BaseAgentProcessor& Scenario::top() {
    if (!top_) top_ = create_processor(orchestration, orchestration->get_top_agent()->get_name());
    return *top_;
}

tarvik_inference::Runvane& Scenario::runvane() {
    if (!runvane_) {
        auto facade = std::make_unique<tarvik_inference::Runvane>();
        tarvik_core::run_sync(facade->load_orchestration(orchestration));
        tarvik_core::run_sync(facade->package());
        runvane_ = std::move(facade);
    }
    return *runvane_;
}

tarvik_inference::GrafexEngine& Scenario::engine() {
    if (!engine_) engine_ = std::make_unique<tarvik_inference::GrafexEngine>(model(skill_name(0)).string());
    return *engine_;
}

BareSession& Scenario::bare_skill() {
    if (!bare_skill_) bare_skill_ = std::make_unique<BareSession>(model(skill_name(0)));
    return *bare_skill_;
}

BareSession& Scenario::bare_orchestrator() {
    if (!bare_orchestrator_) bare_orchestrator_ = std::make_unique<BareSession>(model(orchestrator_name(scenario_spec.depth - 2)));
    return *bare_orchestrator_;
}

}  // namespace tarvik_bench
