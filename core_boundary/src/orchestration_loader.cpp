// Orchestration files: JSON text to a validated Orchestration.
//
// The loader reads everything into locals and builds the Orchestration only
// once every check has passed, so a caller never sees a half-loaded graph.
// Every problem is reported as one ValueError "<file>: <json path>: <what>";
// internally a Problem carries the path and the text until the file name is
// known to be added. Errors of the spaces and sensors library are caught at
// the call that raised them, so they get the JSON path of what was being
// built.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/sensors.hpp"
#include "tarvik_core/spaces.hpp"

namespace tarvik_core {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

// Limits far beyond any real orchestration. Files past them are rejected with
// a clear error, before deep nesting can exhaust memory or the stack.
constexpr std::size_t kMaxJsonDepth = 100;
constexpr std::size_t kMaxAgentDepth = 64;

struct Problem {
    std::string path;
    std::string message;
};

[[noreturn]] void fail(std::string path, std::string message) { throw Problem{std::move(path), std::move(message)}; }

bool is_identifier(std::string_view key) {
    if (key.empty() || std::isdigit(static_cast<unsigned char>(key.front()))) return false;
    for (char c : key)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

std::string child(const std::string& path, std::string_view key) {
    if (is_identifier(key)) return path + "." + std::string(key);
    return path + "['" + std::string(key) + "']";
}

std::string child(const std::string& path, std::size_t index) { return path + "[" + std::to_string(index) + "]"; }

std::string in_quotes(std::string_view text) {
    // Appended, not concatenated: g++ 12 warns falsely (-Wrestrict) about
    // "literal" + std::string&& at -O2 and above.
    std::string out = "'";
    out += text;
    out += "'";
    return out;
}

std::string json_type(const json& j) {
    switch (j.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "number";
        case json::value_t::string: return "string";
        case json::value_t::array: return "array";
        case json::value_t::object: return "object";
        default: return "unsupported value";
    }
}

// Runs a call into the spaces or sensors library; its errors become problems
// at `path`.
template <class F>
auto guarded(const std::string& path, F&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const Error& e) {
        fail(path, e.what());
    } catch (const std::bad_alloc&) {
        fail(path, "too large to hold in memory");
    }
}

// --- JSON scalars -----------------------------------------------------------------

std::string as_string(const json& j, const std::string& path) {
    if (!j.is_string()) fail(path, "expected a string, got " + json_type(j));
    return j.get<std::string>();
}

std::string as_name(const json& j, const std::string& path) {
    std::string text = as_string(j, path);
    if (text.empty()) fail(path, "expected a non-empty string");
    return text;
}

bool as_bool(const json& j, const std::string& path) {
    if (!j.is_boolean()) fail(path, "expected a boolean, got " + json_type(j));
    return j.get<bool>();
}

std::int64_t as_int(const json& j, const std::string& path) {
    if (j.is_number_integer() && !j.is_number_unsigned()) return j.get<std::int64_t>();
    if (j.is_number_unsigned()) {
        auto value = j.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(path, "integer out of range: " + j.dump());
        return static_cast<std::int64_t>(value);
    }
    if (j.is_number_float()) fail(path, "expected an integer, got " + j.dump());
    fail(path, "expected an integer, got " + json_type(j));
}

std::int64_t as_count(const json& j, const std::string& path) {
    std::int64_t value = as_int(j, path);
    if (value < 0) fail(path, "expected a non-negative integer, got " + std::to_string(value));
    return value;
}

const json& as_array(const json& j, const std::string& path) {
    if (!j.is_array()) fail(path, "expected an array, got " + json_type(j));
    return j;
}

// A list of distinct non-empty names.
std::vector<std::string> as_names(const json& j, const std::string& path) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < as_array(j, path).size(); ++i) {
        std::string name = as_name(j[i], child(path, i));
        for (std::size_t k = 0; k < names.size(); ++k)
            if (names[k] == name) fail(child(path, i), in_quotes(name) + " is listed twice (also at " + child(path, k) + ")");
        names.push_back(std::move(name));
    }
    return names;
}

// An object with a fixed set of keys: anything else is a typo and an error.
class Obj {
public:
    Obj(const json& j, std::string path, std::vector<std::string_view> allowed) : j_(j), path_(std::move(path)) {
        if (!j.is_object()) fail(path_, "expected an object, got " + json_type(j));
        for (const auto& [key, value] : j.items()) {
            bool known = false;
            for (auto name : allowed) known = known || key == name;
            if (!known) {
                std::vector<std::string> names(allowed.begin(), allowed.end());
                fail(child(path_, key), "unknown key " + in_quotes(key) + " (allowed: " + repr_names(names) + ")");
            }
        }
    }

    const std::string& path() const noexcept { return path_; }
    std::string at(std::string_view key) const { return child(path_, key); }
    bool has(std::string_view key) const { return j_.contains(key); }
    const json* get(std::string_view key) const {
        auto it = j_.find(key);
        return it == j_.end() ? nullptr : &*it;
    }
    const json& need(std::string_view key) const {
        if (const json* value = get(key)) return *value;
        fail(path_, "missing required key " + in_quotes(key));
    }
    bool flag(std::string_view key) const {
        const json* value = get(key);
        return value && as_bool(*value, at(key));
    }

private:
    const json& j_;
    std::string path_;
};

// --- numeric arrays -------------------------------------------------------------

// A number or a regular nested list of numbers, read in row-major order.
struct Numbers {
    bool scalar = true;
    Shape shape;
    std::vector<double> values;       // when read as reals
    std::vector<std::int64_t> ints;   // when read as integers
};

enum class NumberKind { integer, real, real_or_infinite };

class NumberReader {
public:
    explicit NumberReader(NumberKind kind) : kind_(kind) {}

    Numbers read(const json& j, const std::string& path) {
        Numbers out;
        std::vector<std::int64_t> dims;
        for (const json* cur = &j; cur->is_array();) {
            dims.push_back(static_cast<std::int64_t>(cur->size()));
            if (cur->empty()) break;
            cur = &(*cur)[0];
        }
        if (dims.size() > Shape::kMaxDims)
            fail(path, "too many dimensions: " + std::to_string(dims.size()) + " (at most " +
                           std::to_string(Shape::kMaxDims) + ")");
        out.scalar = !j.is_array();
        out.shape = Shape(std::span<const std::int64_t>(dims));
        walk(j, path, dims, 0, out);
        return out;
    }

private:
    void walk(const json& j, const std::string& path, const std::vector<std::int64_t>& dims, std::size_t level,
              Numbers& out) {
        if (level < dims.size()) {
            if (!j.is_array() || static_cast<std::int64_t>(j.size()) != dims[level])
                fail(path, "ragged nesting: expected a list of " + std::to_string(dims[level]) + " entries, got " +
                               (j.is_array() ? "a list of " + std::to_string(j.size()) : json_type(j)));
            for (std::size_t i = 0; i < j.size(); ++i) walk(j[i], child(path, i), dims, level + 1, out);
            return;
        }
        if (j.is_array()) fail(path, "ragged nesting: expected a number, got a list");
        if (kind_ == NumberKind::integer) {
            out.ints.push_back(as_int(j, path));
        } else {
            out.values.push_back(real(j, path));
        }
    }

    double real(const json& j, const std::string& path) const {
        if (j.is_number()) {
            double value = j.get<double>();
            if (!std::isfinite(value)) fail(path, "number out of range: " + j.dump());
            return value;
        }
        if (kind_ == NumberKind::real_or_infinite && j.is_string()) {
            const auto& text = j.get_ref<const std::string&>();
            if (text == "inf" || text == "+inf") return std::numeric_limits<double>::infinity();
            if (text == "-inf") return -std::numeric_limits<double>::infinity();
            fail(path, "expected a number, \"inf\" or \"-inf\", got string " + in_quotes(text));
        }
        fail(path, std::string(kind_ == NumberKind::real_or_infinite ? "expected a number, \"inf\" or \"-inf\""
                                                                     : "expected a number") +
                       ", got " + json_type(j));
    }

    NumberKind kind_;
};

Numbers read_numbers(const json& j, const std::string& path, NumberKind kind) {
    return NumberReader(kind).read(j, path);
}

// `numbers` as a float64 array of `shape`: a number fills it, a list must
// have exactly that shape.
NdArray fill_to_shape(const Numbers& numbers, const Shape& shape, const std::string& path, std::string_view whose) {
    if (numbers.scalar) return NdArray::full(DType::Float64, shape, numbers.values.front());
    if (!(numbers.shape == shape))
        fail(path, "shape " + shape_repr(numbers.shape) + " does not match " + std::string(whose) + " " +
                       shape_repr(shape));
    return NdArray::from_vector(numbers.values, shape);
}

Shape read_shape(const json& j, const std::string& path) {
    Shape shape;
    as_array(j, path);
    if (j.size() > Shape::kMaxDims)
        fail(path, "too many dimensions: " + std::to_string(j.size()) + " (at most " +
                       std::to_string(Shape::kMaxDims) + ")");
    for (std::size_t i = 0; i < j.size(); ++i) shape.push_back(as_count(j[i], child(path, i)));
    return shape;
}

// --- model session -----------------------------------------------------------------

ModelSessionSettings read_model_session(const json& j, const std::string& path) {
    Obj o(j, path, {"execution_providers", "intra_op_threads", "inter_op_threads", "allow_spinning"});
    ModelSessionSettings out;
    if (const json* list = o.get("execution_providers"))
        out.execution_providers = as_names(*list, o.at("execution_providers"));
    auto thread_count = [&o](std::string_view key) -> std::optional<int> {
        const json* value = o.get(key);
        if (!value) return std::nullopt;
        const std::int64_t count = as_int(*value, o.at(key));
        if (auto problem = thread_count_problem(count)) fail(o.at(key), *problem);
        return static_cast<int>(count);
    };
    out.intra_op_threads = thread_count("intra_op_threads");
    out.inter_op_threads = thread_count("inter_op_threads");
    if (const json* spin = o.get("allow_spinning")) out.allow_spinning = as_bool(*spin, o.at("allow_spinning"));
    return out;
}

// --- spaces ------------------------------------------------------------------------

const std::vector<std::string> kSpaceTypes = {"Discrete", "MultiDiscrete", "Box", "MultiBinary", "Tuple", "Dict"};

spaces::SpacePtr read_space(const json& j, const std::string& path);

spaces::SpacePtr read_box(const Obj& o) {
    auto low = read_numbers(o.need("low"), o.at("low"), NumberKind::real_or_infinite);
    auto high = read_numbers(o.need("high"), o.at("high"), NumberKind::real_or_infinite);
    DType dtype = DType::Float32;
    if (const json* d = o.get("dtype")) {
        std::string name = as_string(*d, o.at("dtype"));
        if (name == "float64") dtype = DType::Float64;
        else if (name != "float32") fail(o.at("dtype"), "expected 'float32' or 'float64', got " + in_quotes(name));
    }
    Shape shape;
    std::string shape_of;  // what the shape was taken from, for messages
    if (const json* s = o.get("shape")) {
        shape = read_shape(*s, o.at("shape"));
        shape_of = "the space's shape";
    } else if (!low.scalar) {
        shape = low.shape;
        shape_of = "low's shape";
    } else if (!high.scalar) {
        shape = high.shape;
        shape_of = "high's shape";
    } else {
        fail(o.path(), "missing required key 'shape' (needed when low and high are both numbers)");
    }
    // Before the bounds are spread over the shape: a few bytes of JSON may
    // claim billions of elements.
    guarded(o.path(), [&] { spaces::check_space_shape("Box", shape); });
    NdArray lows = guarded(o.at("low"), [&] { return fill_to_shape(low, shape, o.at("low"), shape_of); });
    NdArray highs = guarded(o.at("high"), [&] { return fill_to_shape(high, shape, o.at("high"), shape_of); });
    return guarded(o.path(), [&] { return std::make_shared<const spaces::Box>(lows, highs, dtype); });
}

spaces::SpacePtr read_space(const json& j, const std::string& path) {
    if (!j.is_object()) fail(path, "expected an object, got " + json_type(j));
    const std::string type_path = child(path, "type");
    if (!j.contains("type")) fail(path, "missing required key 'type'");
    const std::string type = as_string(j["type"], type_path);

    if (type == "Discrete") {
        Obj o(j, path, {"type", "n", "start"});
        std::int64_t n = as_int(o.need("n"), o.at("n"));
        std::int64_t start = o.has("start") ? as_int(*o.get("start"), o.at("start")) : 0;
        return guarded(path, [&] { return std::make_shared<const spaces::Discrete>(n, start); });
    }
    if (type == "MultiDiscrete") {
        Obj o(j, path, {"type", "nvec"});
        auto nvec = read_numbers(o.need("nvec"), o.at("nvec"), NumberKind::integer);
        if (nvec.scalar) fail(o.at("nvec"), "expected an array of integers, got number");
        return guarded(path, [&] {
            return std::make_shared<const spaces::MultiDiscrete>(NdArray::from_vector(nvec.ints, nvec.shape));
        });
    }
    if (type == "Box") return read_box(Obj(j, path, {"type", "low", "high", "shape", "dtype"}));
    if (type == "MultiBinary") {
        Obj o(j, path, {"type", "n", "shape"});
        if (o.has("n") && o.has("shape")) fail(o.path(), "give either 'n' or 'shape', not both");
        if (o.has("n")) {
            std::int64_t n = as_int(*o.get("n"), o.at("n"));
            return guarded(path, [&] { return std::make_shared<const spaces::MultiBinary>(n); });
        }
        if (!o.has("shape")) fail(o.path(), "missing required key 'n' or 'shape'");
        Shape shape = read_shape(*o.get("shape"), o.at("shape"));
        return guarded(path, [&] { return std::make_shared<const spaces::MultiBinary>(shape); });
    }
    if (type == "Tuple") {
        Obj o(j, path, {"type", "spaces"});
        const std::string list_path = o.at("spaces");
        const json& list = as_array(o.need("spaces"), list_path);
        std::vector<spaces::SpacePtr> parts;
        for (std::size_t i = 0; i < list.size(); ++i) parts.push_back(read_space(list[i], child(list_path, i)));
        return guarded(path, [&] { return std::make_shared<const spaces::Tuple>(std::move(parts)); });
    }
    if (type == "Dict") {
        Obj o(j, path, {"type", "spaces"});
        const std::string map_path = o.at("spaces");
        const json& map = o.need("spaces");
        if (!map.is_object()) fail(map_path, "expected an object, got " + json_type(map));
        spaces::SpaceEntries entries;
        for (const auto& [key, value] : map.items()) entries.emplace_back(key, read_space(value, child(map_path, key)));
        return guarded(path, [&] { return std::make_shared<const spaces::Dict>(std::move(entries)); });
    }
    fail(type_path, "unknown space type " + in_quotes(type) + " (known: " + repr_names(kSpaceTypes) + ")");
}

// --- duplicate keys ----------------------------------------------------------------

// The JSON parser keeps the last of two equal keys; a repeated key in an
// orchestration file is almost always a mistake, so the parse callback
// reports it with its path instead.
class DuplicateKeyCheck {
public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
        using E = json::parse_event_t;
        switch (event) {
            case E::object_start:
            case E::array_start:
                // No orchestration needs more; a deeper file would only cost
                // memory here and stack in the recursive readers after.
                if (stack_.size() >= kMaxJsonDepth)
                    fail(next_path(), "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
                stack_.push_back({event == E::array_start, 0, {}, {}, next_path()});
                break;
            case E::key: {
                Frame& frame = stack_.back();
                frame.key = parsed.get<std::string>();
                if (!frame.keys.insert(frame.key).second)
                    fail(child(frame.path, frame.key), "duplicate key " + in_quotes(frame.key));
                break;
            }
            case E::object_end:
            case E::array_end:
                stack_.pop_back();
                element_done();
                break;
            case E::value: element_done(); break;
        }
        return true;
    }

private:
    struct Frame {
        bool array;
        std::size_t index;
        std::string key;
        std::unordered_set<std::string> keys;
        std::string path;
    };

    std::string next_path() const {
        if (stack_.empty()) return "$";
        const Frame& top = stack_.back();
        return top.array ? child(top.path, top.index) : child(top.path, top.key);
    }
    void element_done() {
        if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
    }

    std::vector<Frame> stack_;
};

// `text` resolved against the file's folder (unless absolute), in normal form.
std::string absolute_text(const fs::path& base_dir, const std::string& text) {
    fs::path path = (base_dir / text).lexically_normal();
    // "models/" and "models" are the same folder; keep one spelling.
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) path = path.parent_path();
    return path.string();
}

}  // namespace

// --- the loader ----------------------------------------------------------------------

class OrchestrationLoader {
public:
    OrchestrationLoader(fs::path base_dir, std::string source)
        : base_dir_(std::move(base_dir)), source_(std::move(source)) {}

    OrchestrationPtr load(std::string_view text) {
        try {
            return build(parse(text));
        } catch (const Problem& problem) {
            throw ValueError(source_ + ": " + problem.path + ": " + problem.message);
        }
    }

private:
    struct AgentEntry {
        std::string path;
        std::string kind;
        AgentDefinition definition;
        std::string impl_path;  // JSON path of "teacher" or "controller"
    };
    struct PerceptorEntry {
        std::string path;
        std::string name;
        std::string impl;
        bool remote = false;
        std::vector<std::string> sensors;
    };
    struct SensorEntry {
        std::string path;
        SensorPtr sensor;
    };

    // "imports": {"<language>": ["<module>", ...], ...}, in file order.
    std::vector<ModuleImport> read_imports(const Obj& o) const {
        std::vector<ModuleImport> imports;
        const json* table = o.get("imports");
        if (!table) return imports;
        if (!table->is_object()) fail(o.at("imports"), "expected an object, got " + json_type(*table));
        for (const auto& [language, modules] : table->items()) {
            const std::string path = child(o.at("imports"), language);
            if (language.empty()) fail(path, "expected a non-empty language name");
            const std::vector<std::string> names = as_names(modules, path);
            for (std::size_t i = 0; i < names.size(); ++i)
                imports.push_back({language, names[i], child(path, i), base_dir_.string()});
        }
        return imports;
    }

    json parse(std::string_view text) const {
        DuplicateKeyCheck check;
        try {
            return json::parse(
                text, [&check](int depth, json::parse_event_t event, json& parsed) { return check(depth, event, parsed); },
                /*allow_exceptions=*/true, /*ignore_comments=*/true);
        } catch (const json::exception& e) {
            // Syntax errors, and numbers too large for a double. Drop the
            // library's "[json.exception.parse_error.101] " tag.
            std::string message = e.what();
            if (auto tag_end = message.find("] "); message.rfind("[json.exception", 0) == 0 && tag_end != std::string::npos)
                message.erase(0, tag_end + 2);
            throw ValueError(source_ + ": invalid JSON: " + message);
        }
    }

    OrchestrationPtr build(const json& root) {
        Obj o(root, "$", {"id", "plugins", "imports", "sim_sensor_space", "sensors", "perceptors", "agents",
                          "top_agent", "model_session"});
        const std::string id = as_name(o.need("id"), o.at("id"));

        std::vector<std::string> plugins;
        if (const json* list = o.get("plugins")) {
            for (std::size_t i = 0; i < as_array(*list, o.at("plugins")).size(); ++i) {
                const std::string path = child(o.at("plugins"), i);
                // A bare file name is looked up when the plugins load (next to
                // the file, in TARVIK_PLUGIN_PATH, beside the runtime's
                // libraries); a path is taken relative to the file.
                const std::string given = as_name((*list)[i], path);
                std::string plugin = given.find('/') == std::string::npos ? given : absolute_text(base_dir_, given);
                for (std::size_t k = 0; k < plugins.size(); ++k)
                    if (plugins[k] == plugin)
                        fail(path, "plugin library " + plugin + " is listed twice (also at " +
                                       child(o.at("plugins"), k) + ")");
                plugins.push_back(std::move(plugin));
            }
        }

        std::vector<ModuleImport> imports = read_imports(o);

        spaces::SpacePtr sim_sensor_space;
        if (const json* space = o.get("sim_sensor_space")) sim_sensor_space = read_space(*space, o.at("sim_sensor_space"));
        ModelSessionSettings model_session;
        if (const json* section = o.get("model_session")) model_session = read_model_session(*section, o.at("model_session"));

        read_sensors(o.need("sensors"), o.at("sensors"));
        bool has_perceptors = false;
        if (const json* list = o.get("perceptors")) {
            has_perceptors = true;
            read_perceptors(*list, o.at("perceptors"));
        }
        read_agents(o.need("agents"), o.at("agents"), sim_sensor_space);

        check_perceptor_links();
        check_children();
        check_cycles();
        const std::string top = top_agent(o);

        // Everything is valid: build the orchestration. Nothing below fails
        // on account of the file.
        auto orch = std::make_shared<Orchestration>();
        std::weak_ptr<const Registry> registry = orch->registry_;
        orch->id_ = id;
        orch->source_ = source_;
        orch->base_dir_ = base_dir_.string();
        orch->top_agent_ = top;
        orch->plugins_ = std::move(plugins);
        orch->imports_ = std::move(imports);
        orch->sim_sensor_space = std::move(sim_sensor_space);
        orch->model_session = std::move(model_session);
        for (auto& entry : sensors_) orch->sensors.push_back(entry.sensor);
        for (auto& entry : agents_) {
            GraphNodePtr node;
            if (entry.kind == "orchestrator") node = std::make_shared<AgentOrchestrator>(entry.definition, registry);
            else if (entry.kind == "coordinated_set") node = std::make_shared<AgentCoordinatedSet>(entry.definition, registry);
            else if (entry.kind == "coordinated_population")
                node = std::make_shared<AgentCoordinatedPopulation>(entry.definition, registry);
            else node = std::make_shared<Agent>(entry.definition, registry);
            orch->nodes_.push_back(std::move(node));
            if (entry.definition.impl)
                orch->impl_refs_.push_back({entry.impl_path, *entry.definition.impl,
                                            entry.definition.is_controller ? ImplKind::controller : ImplKind::teacher,
                                            entry.definition.is_remote});
        }
        if (has_perceptors) {
            orch->perceptors.emplace();
            for (auto& entry : perceptors_) {
                auto node = std::make_shared<PerceptorNode>(entry.name, entry.impl, entry.remote, entry.sensors, registry);
                orch->perceptors->push_back(node);
                orch->nodes_.push_back(node);
                orch->impl_refs_.push_back(
                    {child(entry.path, "implementation"), entry.impl, ImplKind::perceptor, entry.remote});
            }
        }
        return orch;
    }

    // --- sensors --------------------------------------------------------------------

    void read_sensors(const json& list, const std::string& path) {
        for (std::size_t i = 0; i < as_array(list, path).size(); ++i) {
            const std::string item = child(path, i);
            Obj o(list[i], item, {"name", "space", "source", "normalization", "allow_non_finite"});
            std::string name = as_name(o.need("name"), o.at("name"));
            for (const auto& other : sensors_)
                if (other.sensor->name == name)
                    fail(o.at("name"), "sensor " + in_quotes(name) + " is already defined at " + other.path);
            auto space = read_space(o.need("space"), o.at("space"));
            SensorSource source = read_source(o, name);
            Normalization normalization;
            if (const json* n = o.get("normalization")) normalization = read_normalization(*n, o.at("normalization"), space);
            const bool allow_non_finite = read_allow_non_finite(o, *space);
            auto sensor = guarded(item, [&] {
                return std::make_shared<const Sensor>(name, space, source, std::move(normalization), allow_non_finite);
            });
            sensors_.push_back({item, std::move(sensor)});
        }
        check_sensors_flat_size(path);
    }

    // Every sensor fits the limit on its own; the processors' full sensor
    // space (a Dict of them all) must fit it too.
    void check_sensors_flat_size(const std::string& path) const {
        std::int64_t total = 0;
        for (const auto& entry : sensors_) {
            total += entry.sensor->space->flat_dim();  // each at most the limit: no overflow
            if (total > spaces::kMaxSpaceEntries) break;
        }
        if (total > spaces::kMaxSpaceEntries)
            fail(path, "the sensors have a flat size of at least " + std::to_string(total) +
                           " together; a space may have at most " + std::to_string(spaces::kMaxSpaceEntries) +
                           " entries");
    }

    // Only Box parts can hold NaN or infinities; on any other space the flag
    // would promise something the sensor never does.
    static bool read_allow_non_finite(const Obj& sensor, const spaces::Space& space) {
        if (!sensor.flag("allow_non_finite")) return false;
        std::function<bool(const spaces::Space&)> has_box = [&](const spaces::Space& s) {
            switch (spaces::kind_of(s)) {
                case spaces::Kind::Box: return true;
                case spaces::Kind::Tuple:
                    return std::any_of(s.sequence_spaces().begin(), s.sequence_spaces().end(),
                                       [&](const auto& part) { return has_box(*part); });
                case spaces::Kind::Dict:
                    return std::any_of(s.mapping_spaces().begin(), s.mapping_spaces().end(),
                                       [&](const auto& entry) { return has_box(*entry.second); });
                default: return false;
            }
        };
        if (!has_box(space))
            fail(sensor.at("allow_non_finite"), "only readings of Box spaces can be non-finite; this sensor's space is " +
                                                    space.repr());
        return true;
    }

    static SensorSource read_source(const Obj& sensor, const std::string& name) {
        SensorSource source;
        source.key = name;
        const json* j = sensor.get("source");
        if (!j) return source;
        Obj o(*j, sensor.at("source"), {"key", "index", "perceptor"});
        const int given = int(o.has("key")) + int(o.has("index")) + int(o.has("perceptor"));
        if (given == 0) fail(o.path(), "expected one of the keys 'key', 'index' or 'perceptor'");
        if (given > 1) fail(o.path(), "give only one of the keys 'key', 'index' or 'perceptor'");
        if (o.has("key")) {
            source.key = as_name(*o.get("key"), o.at("key"));
        } else if (o.has("index")) {
            source.kind = SensorSource::Kind::index;
            source.index = as_count(*o.get("index"), o.at("index"));
        } else {
            source.kind = SensorSource::Kind::perceptor;
            source.perceptor = as_name(*o.get("perceptor"), o.at("perceptor"));
        }
        return source;
    }

    static Normalization read_normalization(const json& j, const std::string& path, const spaces::SpacePtr& space) {
        const auto* box = dynamic_cast<const spaces::Box*>(space.get());
        if (!box || space->type_name() != "Box")
            fail(path, "normalization applies to Box sensors only, this sensor's space is " + space->type_name());
        if (!j.is_object()) fail(path, "expected an object, got " + json_type(j));
        if (!j.contains("type")) fail(path, "missing required key 'type'");
        const std::string type = as_string(j["type"], child(path, "type"));
        Normalization n;
        const Shape& shape = box->shape();
        auto param = [&](const Obj& o, std::string_view key) {
            return fill_to_shape(read_numbers(o.need(key), o.at(key), NumberKind::real), shape, o.at(key),
                                 "the space's shape");
        };
        if (type == "scale") {
            Obj o(j, path, {"type", "low", "high"});
            n.kind = Normalization::Kind::scale;
            n.a = o.has("low") ? param(o, "low") : box->low();
            n.b = o.has("high") ? param(o, "high") : box->high();
            for (std::int64_t i = 0; i < n.a.size(); ++i) {
                const double low = n.a.item(i), high = n.b.item(i);
                if (!std::isfinite(low) || !std::isfinite(high))
                    fail(path, "scale normalization needs finite bounds; the space's bound at position " +
                                   std::to_string(i) + " is infinite, so give 'low' and 'high'");
                if (!(high > low))
                    fail(path, "scale normalization needs high > low; at position " + std::to_string(i) + " low is " +
                                   float_repr(low) + " and high is " + float_repr(high));
            }
            return n;
        }
        if (type == "standard") {
            Obj o(j, path, {"type", "mean", "std"});
            n.kind = Normalization::Kind::standard;
            n.a = param(o, "mean");
            n.b = param(o, "std");
            for (std::int64_t i = 0; i < n.b.size(); ++i)
                if (!(n.b.item(i) > 0))
                    fail(o.at("std"), "std must be positive; at position " + std::to_string(i) + " it is " +
                                          float_repr(n.b.item(i)));
            return n;
        }
        fail(child(path, "type"), "unknown normalization type " + in_quotes(type) + " (known: ['scale', 'standard'])");
    }

    // --- perceptors and agents --------------------------------------------------------

    // Agents and perceptors share one namespace: processors look nodes up by name.
    void claim_name(const std::string& name, const std::string& path, const std::string& owner_path) {
        auto [it, inserted] = node_paths_.emplace(name, owner_path);
        if (!inserted) fail(path, "the name " + in_quotes(name) + " is already used by " + it->second);
    }

    void read_perceptors(const json& list, const std::string& path) {
        for (std::size_t i = 0; i < as_array(list, path).size(); ++i) {
            PerceptorEntry entry;
            entry.path = child(path, i);
            Obj o(list[i], entry.path, {"name", "implementation", "remote", "sensors"});
            entry.name = as_name(o.need("name"), o.at("name"));
            claim_name(entry.name, o.at("name"), entry.path);
            entry.impl = as_name(o.need("implementation"), o.at("implementation"));
            entry.remote = o.flag("remote");
            if (const json* names = o.get("sensors")) entry.sensors = as_names(*names, o.at("sensors"));
            perceptors_.push_back(std::move(entry));
        }
    }

    void read_agents(const json& list, const std::string& path, const spaces::SpacePtr& sim_sensor_space) {
        if (as_array(list, path).empty()) fail(path, "expected at least one agent");
        static const std::vector<std::string> kinds = {"skill",        "agent",           "controller",
                                                       "orchestrator", "coordinated_set", "coordinated_population"};
        for (std::size_t i = 0; i < list.size(); ++i) {
            AgentEntry entry;
            entry.path = child(path, i);
            Obj o(list[i], entry.path,
                  {"name", "kind", "children", "checkpoint", "teacher", "controller", "remote", "custom_action_space",
                   "action_space"});
            AgentDefinition& definition = entry.definition;
            definition.name = as_name(o.need("name"), o.at("name"));
            claim_name(definition.name, o.at("name"), entry.path);
            entry.kind = as_string(o.need("kind"), o.at("kind"));
            if (std::find(kinds.begin(), kinds.end(), entry.kind) == kinds.end())
                fail(o.at("kind"), "unknown agent kind " + in_quotes(entry.kind) + " (known: " + repr_names(kinds) + ")");
            if (entry.kind == "agent") entry.kind = "skill";
            const bool has_children = entry.kind == "orchestrator" || entry.kind == "coordinated_set" ||
                                      entry.kind == "coordinated_population";

            if (o.has("teacher") && o.has("controller"))
                fail(o.at("controller"), "an agent names a teacher or a controller, not both");
            if (o.has("controller")) {
                if (entry.kind != "controller" && entry.kind != "orchestrator")
                    fail(o.at("controller"), "only controller and orchestrator agents name a controller; this agent's kind is " +
                                                 in_quotes(entry.kind));
                definition.impl = as_name(*o.get("controller"), o.at("controller"));
                definition.is_controller = true;
                entry.impl_path = o.at("controller");
            } else if (entry.kind == "controller") {
                fail(o.path(), "missing required key 'controller' (a controller agent names its controller)");
            } else if (o.has("teacher")) {
                definition.impl = as_name(*o.get("teacher"), o.at("teacher"));
                entry.impl_path = o.at("teacher");
            }

            if (has_children) {
                definition.children = as_names(o.need("children"), o.at("children"));
                if (definition.children.empty()) fail(o.at("children"), "expected at least one child");
            } else if (o.has("children")) {
                fail(o.at("children"), "only orchestrators, coordinated sets and coordinated populations have children");
            }

            definition.is_remote = o.flag("remote");
            if (definition.is_remote && !definition.impl)
                fail(o.at("remote"), "a remote agent needs a teacher or a controller to run remotely");
            definition.custom_action_space = o.flag("custom_action_space");
            if (const json* checkpoint = o.get("checkpoint"))
                definition.checkpoint_uri = absolute_text(base_dir_, as_name(*checkpoint, o.at("checkpoint")));
            if (const json* space = o.get("action_space")) {
                if (entry.kind == "orchestrator")
                    fail(o.at("action_space"),
                         "an orchestrator's action space is the choice among its children and is not given in the file");
                definition.action_space = read_space(*space, o.at("action_space"));
                // A mask is made for every action space; its size is known now.
                guarded(o.at("action_space"), [&] { (void)definition.action_space->get_action_mask_space(); });
            }
            definition.sim_sensor_space = sim_sensor_space;
            agents_.push_back(std::move(entry));
        }
    }

    // --- cross-references ----------------------------------------------------------------

    const PerceptorEntry* find_perceptor(const std::string& name) const {
        for (const auto& p : perceptors_)
            if (p.name == name) return &p;
        return nullptr;
    }

    const AgentEntry* find_agent(const std::string& name) const {
        for (const auto& a : agents_)
            if (a.definition.name == name) return &a;
        return nullptr;
    }

    void check_perceptor_links() const {
        for (const auto& [path, sensor] : sensors_) {
            if (sensor->source.kind != SensorSource::Kind::perceptor) continue;
            const std::string at = child(child(path, "source"), "perceptor");
            const std::string& name = sensor->source.perceptor;
            const PerceptorEntry* perceptor = find_perceptor(name);
            if (!perceptor) {
                if (find_agent(name)) fail(at, in_quotes(name) + " is an agent, not a perceptor");
                fail(at, "unknown perceptor " + in_quotes(name));
            }
            const auto& listed = perceptor->sensors;
            if (std::find(listed.begin(), listed.end(), sensor->name) == listed.end())
                fail(at, "perceptor " + in_quotes(name) + " does not list sensor " + in_quotes(sensor->name) +
                             " in its sensors (" + perceptor->path + ")");
        }
        for (const auto& perceptor : perceptors_) {
            for (std::size_t i = 0; i < perceptor.sensors.size(); ++i) {
                const std::string at = child(child(perceptor.path, "sensors"), i);
                const std::string& name = perceptor.sensors[i];
                const SensorEntry* entry = nullptr;
                for (const auto& s : sensors_)
                    if (s.sensor->name == name) entry = &s;
                if (!entry) fail(at, "unknown sensor " + in_quotes(name));
                const SensorSource& source = entry->sensor->source;
                if (source.kind != SensorSource::Kind::perceptor || source.perceptor != perceptor.name)
                    fail(at, "sensor " + in_quotes(name) + " (" + entry->path + ") must have the source {\"perceptor\": \"" +
                                 perceptor.name + "\"}, but its source is " + describe(source));
            }
        }
    }

    static std::string describe(const SensorSource& source) {
        switch (source.kind) {
            case SensorSource::Kind::key: return "key " + in_quotes(source.key);
            case SensorSource::Kind::index: return "index " + std::to_string(source.index);
            case SensorSource::Kind::perceptor: return "perceptor " + in_quotes(source.perceptor);
        }
        return "unknown";
    }

    void check_children() const {
        for (const auto& agent : agents_) {
            for (std::size_t i = 0; i < agent.definition.children.size(); ++i) {
                const std::string& name = agent.definition.children[i];
                if (find_agent(name)) continue;
                const std::string at = child(child(agent.path, "children"), i);
                if (find_perceptor(name)) fail(at, in_quotes(name) + " is a perceptor, not an agent");
                fail(at, "unknown agent " + in_quotes(name));
            }
        }
    }

    // Depth-first walk over children; meeting an agent that is still on the
    // walk's stack closes a cycle, which is reported from that agent round
    // to itself. The walk also counts the levels below each agent: processors,
    // and hosts that walk the tree, recurse once per level, so the tree's
    // depth is limited (and the walk's own recursion with it).
    void check_cycles() const {
        enum class Mark { unseen, active, done };
        std::map<std::string, Mark, std::less<>> marks;
        std::map<std::string, std::size_t, std::less<>> levels;  // of agents done
        std::vector<std::string> stack;
        std::function<std::size_t(const AgentEntry&)> visit = [&](const AgentEntry& agent) -> std::size_t {
            marks[agent.definition.name] = Mark::active;
            stack.push_back(agent.definition.name);
            std::size_t own_levels = 1;
            for (std::size_t i = 0; i < agent.definition.children.size(); ++i) {
                const std::string& name = agent.definition.children[i];
                const std::string at = child(child(agent.path, "children"), i);
                Mark mark = marks.count(name) ? marks[name] : Mark::unseen;
                if (mark == Mark::active) {
                    std::string cycle;
                    for (auto it = std::find(stack.begin(), stack.end(), name); it != stack.end(); ++it)
                        cycle += *it + " -> ";
                    fail(at, "cycle through children: " + cycle + name);
                }
                if (mark == Mark::unseen && stack.size() >= kMaxAgentDepth) too_deep(at);
                const std::size_t below = mark == Mark::unseen ? visit(*find_agent(name)) : levels.at(name);
                own_levels = std::max(own_levels, below + 1);
                if (own_levels > kMaxAgentDepth) too_deep(at);
            }
            stack.pop_back();
            marks[agent.definition.name] = Mark::done;
            levels[agent.definition.name] = own_levels;
            return own_levels;
        };
        for (const auto& agent : agents_)
            if (!marks.count(agent.definition.name)) visit(agent);
    }

    [[noreturn]] static void too_deep(const std::string& at) {
        fail(at, "agents nested deeper than " + std::to_string(kMaxAgentDepth) + " levels");
    }

    std::string top_agent(const Obj& root) const {
        if (const json* top = root.get("top_agent")) {
            const std::string at = root.at("top_agent");
            std::string name = as_name(*top, at);
            if (find_agent(name)) return name;
            if (find_perceptor(name)) fail(at, in_quotes(name) + " is a perceptor, not an agent");
            fail(at, "unknown agent " + in_quotes(name));
        }
        std::set<std::string> children;
        for (const auto& agent : agents_) children.insert(agent.definition.children.begin(), agent.definition.children.end());
        std::vector<std::string> roots;
        for (const auto& agent : agents_)
            if (!children.count(agent.definition.name)) roots.push_back(agent.definition.name);
        // With at least one agent and no cycles there is always a root.
        if (roots.size() != 1)
            fail(root.path(), "no top_agent given, and " + std::to_string(roots.size()) +
                                  " agents are nobody's child: " + repr_names(roots) + "; name one in 'top_agent'");
        return roots.front();
    }

    fs::path base_dir_;
    std::string source_;
    std::vector<SensorEntry> sensors_;
    std::vector<PerceptorEntry> perceptors_;
    std::vector<AgentEntry> agents_;
    std::map<std::string, std::string, std::less<>> node_paths_;
};

OrchestrationPtr Orchestration::from_json(std::string_view text, const fs::path& base_dir, const std::string& source) {
    return OrchestrationLoader(fs::absolute(base_dir).lexically_normal(), source).load(text);
}

namespace {

// Far beyond any orchestration file (they are kilobytes); keeps a path to an
// endless device such as /dev/zero from being read until memory runs out.
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

// The whole file. A read error is the system's own reason, with the path: a
// stream that fails half-way must not pass for a short file, whose text
// would then be reported as cut-off JSON.
std::string read_file_text(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw RuntimeError(path + ": cannot be read: " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw RuntimeError(path + ": cannot be read: " + std::strerror(errno));
        if (got == 0) return text;
        if (text.size() + static_cast<std::size_t>(got) > kMaxFileBytes)
            throw ValueError(path + ": larger than " + std::to_string(kMaxFileBytes >> 20) +
                             " MiB, not an orchestration file");
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

OrchestrationPtr Orchestration::load(const std::string& path) {
    std::error_code ec;
    const fs::path file(path);
    if (!fs::exists(file, ec)) throw FileNotFoundError("orchestration file not found: " + path);
    if (fs::is_directory(file, ec)) throw ValueError(path + ": is a folder, not an orchestration file");
    return from_json(read_file_text(path), fs::absolute(file).parent_path(), path);
}

}  // namespace tarvik_core
