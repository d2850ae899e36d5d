// Fuzz target: one step of an orchestration, with arbitrary readings.
//
// The orchestration is fuzz/step_orchestration.json: Box (scaled, standardised,
// two-dimensional), Discrete, MultiBinary and MultiDiscrete sensors and one
// derived by a perceptor; orchestrators with models over skills with Box,
// Discrete (with an action-mask input), MultiDiscrete, Tuple and Dict actions;
// a teacher and a controller. Its models are small seeded MLPs, written once
// into a temporary folder when the fuzzer starts. Every agent is packaged into
// a facade of its own, and each input runs one step of one of them after a
// reset:
//
//   byte 0   which facade (top, sub, drive, pick, grid_move, combo, aux,
//            taught, ctrl; modulo their number)
//   byte 1   bit 0: explore   bit 1: readings given sensor by sensor
//            bit 2: run the step a second time after a reset (without
//            exploring, whose sampling may differ)
//   then     the readings (a whole value, or one value per reading key),
//            the previous action and the simulator's action mask, as
//            FuzzBytes values (fuzz_bytes.hpp); then whatever the user code
//            asks for while the step runs.
//
// The perceptor, the teacher and the controller stand for user code that
// answers with anything: each call reads a byte, and an odd one makes it
// answer with the next value of the input instead of its ordinary answer.
//
// A step may fail with the runtime's own errors (tarvik_core::Error): bad
// readings and bad answers from user code must. Anything else escaping is a
// finding, and so is
// - a step of the model-driven agents (top and below) that succeeds with an
//   action that no acting agent's action space holds (a value out of range, a
//   non-finite Box entry, the wrong kind);
// - a step that changes the readings, previous action or mask it was given;
// - a step that, repeated after a reset with the same input and without
//   exploring, gives another action or fails.
// With TARVIK_FUZZ_VERBOSE set, each step's outcome is printed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_bytes.hpp"
#include "support/model_builder.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_inference/runvane.hpp"

namespace {

namespace fs = std::filesystem;
namespace sp = tarvik_core::spaces;
using tarvik_core::NdArray;
using tarvik_core::Task;
using tarvik_core::Value;

// Holds a folder of this process's own and removes it at exit.
struct ModelFolder {
    fs::path path;
    ModelFolder() {
        std::string pattern = (fs::temp_directory_path() / "tarvik-fuzz-step-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("step fuzzer: mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~ModelFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// The sensors the teacher lets its agents see.
const std::vector<std::string> kTaughtSensors = {"pos", "speed"};

// The input of the step being run, for the user code below; null outside a
// step (while packaging), where the user code gives its ordinary answers.
struct Script {
    tarvik_fuzz::FuzzBytes* in = nullptr;
    std::vector<std::string> names;
    bool fuzzed() { return in && (in->byte() & 1); }
    Value next() { return in->value(names); }
};
Script script;

class FuzzTeacher : public tarvik_core::Teacher {
public:
    Task<Value> filtered_sensor_space() override {
        tarvik_core::List names;
        for (const auto& name : kTaughtSensors) names.push_back(name);
        co_return Value(std::move(names));
    }
    Task<Value> transform_sensors(const Value& obs, const Value&) override {
        co_return script.fuzzed() ? script.next() : obs;
    }
    Task<Value> compute_action_mask(const Value&, const Value&) override {
        co_return script.fuzzed() ? script.next() : Value();
    }
    Task<Value> transform_action(const Value&, const Value& action) override {
        co_return script.fuzzed() ? script.next() : action;
    }
};

class FuzzController : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value&, const Value&) override {
        co_return script.fuzzed() ? script.next() : Value(NdArray::of<std::int64_t>({1, 2}));
    }
};

class FuzzPerceptor : public tarvik_core::Perceptor {
public:
    Task<Value> compute_sensors(const Value&) override {
        if (script.fuzzed()) co_return script.next();
        tarvik_core::Dict derived;
        derived.set("derived", tarvik_core::List{0.5});
        co_return Value(std::move(derived));
    }
};

struct Facade {
    std::unique_ptr<tarvik_inference::Runvane> runvane;
    // Where its action may come from; null for an agent whose action user
    // code may shape, which makes any action acceptable.
    std::vector<sp::SpacePtr> leaf_spaces;
    std::string agent;
};

struct Harness {
    ModelFolder models;
    tarvik_core::OrchestrationPtr orchestration;
    std::vector<Facade> facades;
    std::vector<std::string> reading_keys;
};

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "step fuzzer: cannot read %s\n", path.c_str());
        std::abort();
    }
    return text.str();
}

void leaves(const tarvik_core::Orchestration& o, const std::string& name, std::vector<sp::SpacePtr>& out) {
    const auto node = o.get_node_by_name(name);
    const auto* agent = dynamic_cast<const tarvik_core::Agent*>(node.get());
    if (agent->definition().impl) out.push_back(nullptr);
    const auto children = node->get_children();
    if (children.empty()) out.push_back(node->get_action_space());
    for (const auto& child : children) leaves(o, child, out);
}

std::int64_t observation_size(const tarvik_core::Orchestration& o, const tarvik_core::Agent& agent) {
    std::int64_t size = 0;
    for (const auto& sensor : o.sensors) {
        const bool seen = !agent.definition().impl ||
                          std::find(kTaughtSensors.begin(), kTaughtSensors.end(), sensor->name) != kTaughtSensors.end();
        if (seen) size += sensor->space->flat_dim();
    }
    return size;
}

Task<void> package(tarvik_inference::Runvane& runvane, tarvik_core::OrchestrationPtr orchestration,
                   std::string agent) {
    co_await runvane.load_orchestration(orchestration);
    tarvik_inference::PackageArgs args{.agent = agent};
    co_await runvane.package(std::move(args));
}

Harness* make_harness() {
    tarvik_core::set_console_logging(false);
    tarvik_core::set_default_log_level(tarvik_core::LogLevel::debug);  // messages are built, not shown
    auto* h = new Harness;
    const std::string text = read_text(fs::path(TARVIK_FUZZ_DIR) / "step_orchestration.json");
    h->orchestration = tarvik_core::Orchestration::from_json(text, h->models.path, "step_orchestration.json");
    auto& registry = h->orchestration->registry();
    registry.add_teacher("fuzz_teacher", [] { return std::make_shared<FuzzTeacher>(); });
    registry.add_controller("fuzz_controller", [] { return std::make_shared<FuzzController>(); });
    registry.add_perceptor("fuzz_perceptor", [] { return std::make_shared<FuzzPerceptor>(); });
    for (const auto& sensor : h->orchestration->sensors)
        if (sensor->source.kind == tarvik_core::SensorSource::Kind::key) h->reading_keys.push_back(sensor->source.key);
    script.names = h->reading_keys;
    std::vector<std::string> agents;
    std::uint64_t seed = 1;
    for (const auto& node : h->orchestration->nodes()) {
        const auto* agent = dynamic_cast<const tarvik_core::Agent*>(node.get());
        if (!agent) continue;
        agents.push_back(agent->get_name());
        if (!agent->get_checkpoint_uri()) continue;
        const std::int64_t outputs = agent->get_action_space()->action_dist_size();
        tarvik_test::PolicyIo io;
        if (agent->get_name() == "pick" || agent->get_name() == "sub") io.mask_size = outputs;
        const std::int64_t n_in = observation_size(*h->orchestration, *agent);
        tarvik_test::mlp_policy({.n_in = n_in, .hidden = {8}, .n_out = outputs, .seed = seed++, .io = io})
            .write(h->models.path / "models" / (agent->get_name() + ".onnx"));
    }
    for (const auto& agent : agents) {
        Facade facade{.runvane = std::make_unique<tarvik_inference::Runvane>(), .agent = agent};
        tarvik_core::run_sync(package(*facade.runvane, h->orchestration, facade.agent));
        leaves(*h->orchestration, facade.agent, facade.leaf_spaces);
        h->facades.push_back(std::move(facade));
    }
    return h;
}

Harness* the_harness = nullptr;

Harness& harness() {
    if (!the_harness) {
        the_harness = make_harness();
        // The facades go before the libraries' own statics: ONNX Runtime's
        // worker threads of a session still alive at exit read its statics
        // while exit destroys them (a use after free found by this fuzzer).
        std::atexit([] {
            delete the_harness;
            the_harness = nullptr;
        });
    }
    return *the_harness;
}

bool integral_in(const Value& v, std::int64_t low, std::int64_t high) {
    std::int64_t i;
    if (v.is_int()) i = v.as_int();
    else if (v.is_array() && v.as_array().size() == 1 && !tarvik_core::dtype_is_float(v.as_array().dtype()))
        i = v.as_array().item_int(0);
    else return false;
    return i >= low && i < high;
}

// Whether `action` is a value of `space`: the check a host would rely on.
bool holds(const sp::Space& space, const Value& action) {
    switch (sp::kind_of(space)) {
    case sp::Kind::Discrete:
        // A decoded Discrete action is the index of the chosen logit, 0 to
        // n - 1, whatever the space's start.
        return integral_in(action, 0, space.n());
    case sp::Kind::Box: {
        const auto& box = static_cast<const sp::Box&>(space);
        if (!action.is_array() || !(action.as_array().shape() == box.shape())) return false;
        const NdArray& a = action.as_array();
        for (std::int64_t i = 0; i < a.size(); ++i) {
            const double x = a.item(i), low = box.low().item(i), high = box.high().item(i);
            const double slack = 1e-5 * (1.0 + std::abs(low) + std::abs(high));
            if (!std::isfinite(x) || x < low - slack || x > high + slack) return false;
        }
        return true;
    }
    case sp::Kind::MultiDiscrete:
    case sp::Kind::MultiBinary: {
        if (!action.is_array() || !(action.as_array().shape() == space.shape())) return false;
        const NdArray& a = action.as_array();
        if (tarvik_core::dtype_is_float(a.dtype())) return false;
        const bool binary = sp::kind_of(space) == sp::Kind::MultiBinary;
        for (std::int64_t i = 0; i < a.size(); ++i) {
            const std::int64_t high = binary ? 2 : space.nvec().item_int(i);
            if (a.item_int(i) < 0 || a.item_int(i) >= high) return false;
        }
        return true;
    }
    case sp::Kind::Tuple: {
        const auto& parts = space.sequence_spaces();
        if (!action.is_tuple() || action.as_tuple().size() != parts.size()) return false;
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (!holds(*parts[i], action.as_tuple()[i])) return false;
        return true;
    }
    case sp::Kind::Dict: {
        if (!action.is_dict()) return false;
        for (const auto& [key, part] : space.mapping_spaces()) {
            const Value* entry = action.as_dict().find(key);
            if (!entry || !holds(*part, *entry)) return false;
        }
        return true;
    }
    default: return true;
    }
}

Task<Value> step(tarvik_inference::Runvane& runvane, Value readings, tarvik_inference::RunvaneExecuteArgs args) {
    co_await runvane.agent_processor->reset();
    co_return co_await runvane.execute(std::move(readings), std::move(args));
}

// A copy that shares no array buffer with `v`.
Value deep_copy(const Value& v) {
    if (v.is_array()) return Value(v.as_array().copy());
    if (v.is_list() || v.is_tuple()) {
        std::vector<Value> items;
        for (const auto& item : v.is_list() ? v.as_list().items() : v.as_tuple().items())
            items.push_back(deep_copy(item));
        if (v.is_list()) return Value(tarvik_core::List(std::move(items)));
        return Value(tarvik_core::Tuple(std::move(items)));
    }
    if (v.is_dict()) {
        tarvik_core::Dict::Items entries;
        for (const auto& [key, item] : v.as_dict()) entries.emplace_back(key, deep_copy(item));
        return Value(tarvik_core::Dict::from_unique(std::move(entries)));
    }
    return v;
}

// The same kind, element type, shape and bits, recursively: unlike ==, a
// NaN is the same as itself.
bool same(const Value& a, const Value& b) {
    if (a.storage().index() != b.storage().index()) return false;
    if (a.is_float()) {
        const double x = a.as_double(), y = b.as_double();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (a.is_array()) {
        const NdArray &x = a.as_array(), &y = b.as_array();
        return x.dtype() == y.dtype() && x.shape() == y.shape() &&
               std::memcmp(x.raw_data(), y.raw_data(), x.size() * tarvik_core::dtype_size(x.dtype())) == 0;
    }
    auto same_items = [](const std::vector<Value>& x, const std::vector<Value>& y) {
        return std::equal(x.begin(), x.end(), y.begin(), y.end(), same);
    };
    if (a.is_list()) return same_items(a.as_list().items(), b.as_list().items());
    if (a.is_tuple()) return same_items(a.as_tuple().items(), b.as_tuple().items());
    if (a.is_dict()) {
        const auto &x = a.as_dict().items(), &y = b.as_dict().items();
        return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                          [](const auto& p, const auto& q) { return p.first == q.first && same(p.second, q.second); });
    }
    return a == b;
}

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "step fuzzer: %s\n", what.c_str());
    std::abort();
}

// One step after a reset: the action, or nothing when the runtime refused
// the step with one of its own errors.
std::optional<Value> run_step(Facade& facade, const Value& readings, tarvik_inference::RunvaneExecuteArgs args,
                              bool verbose) {
    try {
        Value action = tarvik_core::run_sync(step(*facade.runvane, readings, std::move(args)));
        if (verbose) std::fprintf(stderr, "%s: %s\n", facade.agent.c_str(), repr(action).c_str());
        return action;
    } catch (const tarvik_core::Error& e) {
        if (verbose) std::fprintf(stderr, "%s: %s: %s\n", facade.agent.c_str(), e.kind(), e.what());
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    tarvik_fuzz::FuzzBytes in(data, size);
    Facade& facade = h.facades[in.byte() % h.facades.size()];
    const std::uint8_t flags = in.byte();
    Value readings;
    if (flags & 2) {
        tarvik_core::Dict given;
        for (const auto& key : h.reading_keys) given.set(key, in.value(h.reading_keys));
        readings = std::move(given);
    } else {
        readings = in.value(h.reading_keys);
    }
    tarvik_inference::RunvaneExecuteArgs args;
    args.previous_action = in.value(h.reading_keys);
    args.sim_action_mask = in.value(h.reading_keys);
    const bool explore = flags & 1;
    args.explore = explore;
    // What the host keeps: arrays share their buffers between copies, so the
    // snapshot copies them.
    const Value given = deep_copy(Value(tarvik_core::Tuple{readings, args.previous_action, args.sim_action_mask}));
    const tarvik_fuzz::FuzzBytes user_code = in;  // where the user code's answers start

    static const bool verbose = std::getenv("TARVIK_FUZZ_VERBOSE") != nullptr;
    script.in = &in;
    struct Done {
        ~Done() { script.in = nullptr; }
    } done;
    const std::optional<Value> action = run_step(facade, readings, args, verbose);
    if (!same(given, Value(tarvik_core::Tuple{readings, args.previous_action, args.sim_action_mask})))
        finding(facade.agent + " changed the readings, previous action or mask it was given: " + repr(given));
    if (!action) return 0;

    bool held = false;
    for (const auto& space : facade.leaf_spaces) held = held || !space || holds(*space, *action);
    if (!held)
        finding(facade.agent + " answered " + repr(*action) + " to readings " + repr(readings) +
                ", which no acting agent's space holds");
    if ((flags & 4) && !explore) {
        // After a reset, the same step (and the same answers of user code)
        // must give the same action: nothing of the step before may linger.
        in = user_code;
        const std::optional<Value> again = run_step(facade, readings, args, verbose);
        if (!again || !same(*again, *action))
            finding(facade.agent + " answered " + repr(*action) + " and then " +
                    (again ? repr(*again) : std::string("an error")) + " to the same step after a reset");
    }
    return 0;
}
