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

const PolicySize& tiny_policy() {
    static const PolicySize size{.label = "tiny", .n_in = 4, .hidden = {64, 64}, .n_out = 2, .sensor_width = 2};
    return size;
}

const PolicySize& medium_policy() {
    static const PolicySize size{.label = "medium", .n_in = 200, .hidden = {256, 256}, .n_out = 16, .sensor_width = 20};
    return size;
}

namespace {

// The bench's teacher: sensors pass through (the default), the mask is fixed.
class MaskingTeacher : public tarvik_core::Teacher {
public:
    explicit MaskingTeacher(Value mask) : mask_(std::move(mask)) {}
    Task<Value> compute_action_mask(const Value&, const Value&) override { co_return mask_; }

private:
    Value mask_;
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

void write_policy(const PolicySize& size, std::uint64_t seed, const fs::path& path) {
    tarvik_test::mlp_policy({.n_in = size.n_in,
                             .hidden = size.hidden,
                             .n_out = size.n_out,
                             .seed = seed,
                             .io = {.obs_name = "observation", .mask_size = size.n_out}})
        .write(path);
}

// Box sensors of sensor_width values each; every even one is normalised,
// alternating the two normalisations.
json sensors_of(const PolicySize& size) {
    json sensors = json::array();
    for (std::int64_t i = 0; i * size.sensor_width < size.n_in; ++i) {
        json sensor = {{"name", sensor_name(i)},
                       {"space", {{"type", "Box"}, {"low", -5.0}, {"high", 5.0}, {"shape", {size.sensor_width}}}}};
        if (i % 4 == 0) sensor["normalization"] = {{"type", "scale"}};
        if (i % 4 == 2) sensor["normalization"] = {{"type", "standard"}, {"mean", 0.5}, {"std", 2.0}};
        sensors.push_back(std::move(sensor));
    }
    return sensors;
}

std::string orchestration_json(const PolicySize& size) {
    json agents = json::array();
    json children = json::array();
    for (std::int64_t i = 0; i < size.n_out; ++i) children.push_back(skill_name(i));
    agents.push_back({{"name", "top"}, {"kind", "orchestrator"}, {"children", children}, {"checkpoint", "ckpt"}});
    for (std::int64_t i = 0; i < size.n_out; ++i) {
        agents.push_back({{"name", skill_name(i)},
                          {"kind", "skill"},
                          {"teacher", "bench_teacher"},
                          {"action_space", {{"type", "Discrete"}, {"n", size.n_out}}},
                          {"checkpoint", "ckpt"}});
    }
    json doc = {{"id", "bench-" + size.label}, {"sensors", sensors_of(size)}, {"agents", agents}, {"top_agent", "top"}};
    return doc.dump(2);
}

Value readings_of(const PolicySize& size) {
    tarvik_core::Dict readings;
    for (std::int64_t i = 0; i * size.sensor_width < size.n_in; ++i) {
        NdArray values = NdArray::zeros(DType::Float64, Shape{size.sensor_width});
        double* v = values.mutable_data<double>();
        for (std::int64_t j = 0; j < size.sensor_width; ++j) v[j] = -4.0 + 0.37 * static_cast<double>((i + j) % 20);
        readings.set(sensor_name(i), Value(std::move(values)));
    }
    return Value(std::move(readings));
}

tarvik_inference::ProcessorPtr create_processor(const tarvik_core::OrchestrationPtr& orchestration,
                                                const std::string& agent) {
    auto* create_actuon = tarvik_core::import_module(tarvik_inference::kMoldrixModule)
                              .function<tarvik_inference::CreateActuonFn>(tarvik_inference::kCreateActuonSymbol);
    return tarvik_core::run_sync(create_actuon(tarvik_core::AgentProcessorContext{
        .orchestration = orchestration, .agent = orchestration->get_node_by_name(agent)}));
}

}  // namespace

Scenario& Scenario::of(const PolicySize& size) {
    static std::map<std::string, std::unique_ptr<Scenario>> built;
    auto& slot = built[size.label];
    if (!slot) slot.reset(new Scenario(size));
    return *slot;
}

Scenario::Scenario(const PolicySize& policy) : size(policy), dir(make_temp_dir(policy.label)) {
    write_policy(size, 7, model("top"));
    for (std::int64_t i = 0; i < size.n_out; ++i) write_policy(size, 100 + static_cast<std::uint64_t>(i), model(skill_name(i)));

    orchestration = tarvik_core::Orchestration::from_json(orchestration_json(size), dir, "bench-" + size.label);
    NdArray teacher_mask = NdArray::ones(DType::Int8, Shape{size.n_out});
    teacher_mask.mutable_data<std::int8_t>()[size.n_out - 1] = 0;  // the teacher forbids the last action
    orchestration->registry().add_teacher(
        "bench_teacher", [teacher_mask] { return std::make_shared<MaskingTeacher>(Value(teacher_mask)); });
    tarvik_core::run_sync(orchestration->init());

    readings = readings_of(size);
    sim_action_mask = Value(NdArray::ones(DType::Int8, Shape{size.n_out}));
    observation = NdArray::full(DType::Float32, Shape{size.n_in}, 0.25);
    model_mask = NdArray::ones(DType::Float64, Shape{size.n_out});
}

Scenario::~Scenario() {
    runvane_.reset();
    orchestrator_.reset();
    skill_.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

fs::path Scenario::model(const std::string& agent) const { return dir / "ckpt" / (agent + ".onnx"); }

tarvik_inference::BaseAgentProcessor& Scenario::skill() {
    if (!skill_) skill_ = create_processor(orchestration, skill_name(0));
    return *skill_;
}

tarvik_inference::BaseAgentProcessor& Scenario::orchestrator() {
    if (!orchestrator_) orchestrator_ = create_processor(orchestration, "top");
    return *orchestrator_;
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
    if (!bare_orchestrator_) bare_orchestrator_ = std::make_unique<BareSession>(model("top"));
    return *bare_orchestrator_;
}

}  // namespace tarvik_bench
