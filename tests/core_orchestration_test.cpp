// Orchestration files: validation messages, paths, node kinds, the every-kind
// example, plugin loading and implementation instances.
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/orchestration.hpp"

namespace {

using namespace tarvik_core;
namespace fs = std::filesystem;

using tarvik_test::expect_error;

OrchestrationPtr from_text(const std::string& text) { return Orchestration::from_json(text, "/base", "orch.json"); }

// A minimal valid file around the given agents (and optional extra keys).
std::string with_agents(const std::string& agents, const std::string& extra = "") {
    return R"({"id": "o", "sensors": [], )" + extra + R"("agents": )" + agents + "}";
}

std::string plugin_path(const std::string& name) { return std::string(TARVIK_TEST_PLUGIN_DIR) + "/lib" + name + ".so"; }

class PlainTeacher : public Teacher {};
class PlainController : public Controller {
public:
    Task<Value> compute_action(const Value&, const Value&) override { co_return Value(0); }
};

// --- validation ---------------------------------------------------------------

struct BadFile {
    const char* name;
    std::string text;
    std::string message;  // after "orch.json: "
};

const std::string kSkill = R"([{"name": "a", "kind": "skill"}])";
const std::string kBox2 = R"({"type": "Box", "low": -1, "high": 1, "shape": [2]})";

std::string with_sensor(const std::string& sensor, const std::string& extra = "") {
    return R"({"id": "o", "sensors": [)" + sensor + "], " + extra + R"("agents": )" + kSkill + "}";
}

std::vector<BadFile> bad_files() {
    return {
        {"not an object", "[]", "$: expected an object, got array"},
        {"missing id", R"({"sensors": [], "agents": [{"name": "a", "kind": "skill"}]})", "$: missing required key 'id'"},
        {"id of wrong type", R"({"id": 7, "sensors": [], "agents": []})", "$.id: expected a string, got number"},
        {"empty id", R"({"id": "", "sensors": [], "agents": []})", "$.id: expected a non-empty string"},
        {"unknown top-level key", with_agents(kSkill, R"("agent": 1, )"),
         "$.agent: unknown key 'agent' (allowed: ['id', 'plugins', 'imports', 'sim_sensor_space', 'sensors', "
         "'perceptors', 'agents', 'top_agent', 'model_session'])"},
        {"duplicate key", R"({"id": "o", "id": "p", "sensors": [], "agents": []})", "$.id: duplicate key 'id'"},
        {"duplicate key in a later array element",
         with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["b"]}, {"name": "b", "kind": "skill", "kind": "skill"}])"),
         "$.agents[1].kind: duplicate key 'kind'"},
        {"sensors missing", R"({"id": "o", "agents": []})", "$: missing required key 'sensors'"},
        {"no agents", with_agents("[]"), "$.agents: expected at least one agent"},
        {"unknown agent key", with_agents(R"([{"name": "a", "kind": "skill", "teacherr": "t"}])"),
         "$.agents[0].teacherr: unknown key 'teacherr' (allowed: ['name', 'kind', 'children', 'checkpoint', 'teacher', "
         "'controller', 'remote', 'custom_action_space', 'action_space'])"},
        {"unknown agent kind", with_agents(R"([{"name": "a", "kind": "boss"}])"),
         "$.agents[0].kind: unknown agent kind 'boss' (known: ['skill', 'agent', 'controller', 'orchestrator', "
         "'coordinated_set', 'coordinated_population'])"},
        {"teacher and controller", with_agents(R"([{"name": "a", "kind": "controller", "teacher": "t", "controller": "c"}])"),
         "$.agents[0].controller: an agent names a teacher or a controller, not both"},
        {"controller kind without controller", with_agents(R"([{"name": "a", "kind": "controller"}])"),
         "$.agents[0]: missing required key 'controller' (a controller agent names its controller)"},
        {"skill naming a controller", with_agents(R"([{"name": "a", "kind": "skill", "controller": "c"}])"),
         "$.agents[0].controller: only controller and orchestrator agents name a controller; this agent's kind is "
         "'skill'"},
        {"children on a skill", with_agents(R"([{"name": "a", "kind": "agent", "children": []}])"),
         "$.agents[0].children: only orchestrators, coordinated sets and coordinated populations have children"},
        {"orchestrator without children", with_agents(R"([{"name": "a", "kind": "orchestrator"}])"),
         "$.agents[0]: missing required key 'children'"},
        {"set with no children", with_agents(R"([{"name": "a", "kind": "coordinated_set", "children": []}])"),
         "$.agents[0].children: expected at least one child"},
        {"child listed twice",
         with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["b", "b"]}, {"name": "b", "kind": "skill"}])"),
         "$.agents[0].children[1]: 'b' is listed twice (also at $.agents[0].children[0])"},
        {"unknown child",
         with_agents(R"([{"name": "x", "kind": "skill"}, {"name": "a", "kind": "orchestrator", "children": ["x", "foo"]}])"),
         "$.agents[1].children[1]: unknown agent 'foo'"},
        {"child that is a perceptor",
         with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["p"]}])",
                     R"("perceptors": [{"name": "p", "implementation": "i"}], )"),
         "$.agents[0].children[0]: 'p' is a perceptor, not an agent"},
        {"two-agent cycle",
         with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["b"]}, {"name": "b", "kind": "orchestrator", "children": ["a"]}])"),
         "$.agents[1].children[0]: cycle through children: a -> b -> a"},
        {"agent that is its own child", with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["a"]}])"),
         "$.agents[0].children[0]: cycle through children: a -> a"},
        {"cycle below a root",
         with_agents(R"([{"name": "top", "kind": "orchestrator", "children": ["x"]},
                         {"name": "x", "kind": "coordinated_set", "children": ["y"]},
                         {"name": "y", "kind": "coordinated_population", "children": ["x"]}])"),
         "$.agents[2].children[0]: cycle through children: x -> y -> x"},
        {"agent named like a perceptor",
         with_agents(R"([{"name": "p", "kind": "skill"}])", R"("perceptors": [{"name": "p", "implementation": "i"}], )"),
         "$.agents[0].name: the name 'p' is already used by $.perceptors[0]"},
        {"two agents of one name", with_agents(R"([{"name": "a", "kind": "skill"}, {"name": "a", "kind": "skill"}])"),
         "$.agents[1].name: the name 'a' is already used by $.agents[0]"},
        {"remote without implementation", with_agents(R"([{"name": "a", "kind": "skill", "remote": true}])"),
         "$.agents[0].remote: a remote agent needs a teacher or a controller to run remotely"},
        {"empty checkpoint", with_agents(R"([{"name": "a", "kind": "skill", "checkpoint": ""}])"),
         "$.agents[0].checkpoint: expected a non-empty string"},
        {"orchestrator with an action space",
         with_agents(R"([{"name": "a", "kind": "orchestrator", "children": ["b"], "action_space": {"type": "Discrete", "n": 1}}, {"name": "b", "kind": "skill"}])"),
         "$.agents[0].action_space: an orchestrator's action space is the choice among its children and is not given "
         "in the file"},
        {"unknown top agent", with_agents(kSkill, R"("top_agent": "zz", )"), "$.top_agent: unknown agent 'zz'"},
        {"several roots and no top agent", with_agents(R"([{"name": "a", "kind": "skill"}, {"name": "b", "kind": "skill"}])"),
         "$: no top_agent given, and 2 agents are nobody's child: ['a', 'b']; name one in 'top_agent'"},
        {"plugin listed twice", with_agents(kSkill, R"("plugins": ["lib/p.so", "/base/lib/./p.so"], )"),
         "$.plugins[1]: plugin library /base/lib/p.so is listed twice (also at $.plugins[0])"},
        // Sensors.
        {"sensor defined twice",
         with_sensor(R"({"name": "x", "space": {"type": "Discrete", "n": 2}}, {"name": "x", "space": {"type": "Discrete", "n": 2}})"),
         "$.sensors[1].name: sensor 'x' is already defined at $.sensors[0]"},
        {"sensor without space", with_sensor(R"({"name": "x"})"), "$.sensors[0]: missing required key 'space'"},
        {"source with two keys", with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "source": {"key": "k", "index": 0}})"),
         "$.sensors[0].source: give only one of the keys 'key', 'index' or 'perceptor'"},
        {"empty source", with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "source": {}})"),
         "$.sensors[0].source: expected one of the keys 'key', 'index' or 'perceptor'"},
        {"negative index", with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "source": {"index": -1}})"),
         "$.sensors[0].source.index: expected a non-negative integer, got -1"},
        {"unknown perceptor", with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "source": {"perceptor": "q"}})"),
         "$.sensors[0].source.perceptor: unknown perceptor 'q'"},
        {"perceptor source naming an agent",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "source": {"perceptor": "a"}})"),
         "$.sensors[0].source.perceptor: 'a' is an agent, not a perceptor"},
        {"sensor its perceptor does not list",
         with_sensor(R"({"name": "d", "space": )" + kBox2 + R"(, "source": {"perceptor": "p"}})",
                     R"("perceptors": [{"name": "p", "implementation": "i"}], )"),
         "$.sensors[0].source.perceptor: perceptor 'p' does not list sensor 'd' in its sensors ($.perceptors[0])"},
        {"perceptor listing an unknown sensor",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + "}",
                     R"("perceptors": [{"name": "p", "implementation": "i", "sensors": ["zz"]}], )"),
         "$.perceptors[0].sensors[0]: unknown sensor 'zz'"},
        {"perceptor listing a raw sensor",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + "}",
                     R"("perceptors": [{"name": "p", "implementation": "i", "sensors": ["x"]}], )"),
         "$.perceptors[0].sensors[0]: sensor 'x' ($.sensors[0]) must have the source {\"perceptor\": \"p\"}, but its "
         "source is key 'x'"},
        {"normalization of a Discrete sensor",
         with_sensor(R"({"name": "x", "space": {"type": "Discrete", "n": 2}, "normalization": {"type": "scale"}})"),
         "$.sensors[0].normalization: normalization applies to Box sensors only, this sensor's space is Discrete"},
        {"allow_non_finite on a sensor without a Box",
         with_sensor(R"({"name": "x", "space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2}]}, "allow_non_finite": true})"),
         "$.sensors[0].allow_non_finite: only readings of Box spaces can be non-finite; this sensor's space is "
         "Tuple(Discrete(2))"},
        {"allow_non_finite of a string", with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "allow_non_finite": "yes"})"),
         "$.sensors[0].allow_non_finite: expected a boolean, got string"},
        {"scale over infinite bounds",
         with_sensor(R"({"name": "x", "space": {"type": "Box", "low": [0, "-inf"], "high": 1}, "normalization": {"type": "scale"}})"),
         "$.sensors[0].normalization: scale normalization needs finite bounds; the space's bound at position 1 is "
         "infinite, so give 'low' and 'high'"},
        {"scale with high not above low",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "normalization": {"type": "scale", "low": [0, 2], "high": 2}})"),
         "$.sensors[0].normalization: scale normalization needs high > low; at position 1 low is 2.0 and high is 2.0"},
        {"zero std",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "normalization": {"type": "standard", "mean": 0, "std": [1, 0]}})"),
         "$.sensors[0].normalization.std: std must be positive; at position 1 it is 0.0"},
        {"mean of the wrong shape",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "normalization": {"type": "standard", "mean": [1, 2, 3], "std": 1}})"),
         "$.sensors[0].normalization.mean: shape (3,) does not match the space's shape (2,)"},
        {"unknown normalization",
         with_sensor(R"({"name": "x", "space": )" + kBox2 + R"(, "normalization": {"type": "minmax"}})"),
         "$.sensors[0].normalization.type: unknown normalization type 'minmax' (known: ['scale', 'standard'])"},
        // Spaces.
        {"unknown space type", with_sensor(R"({"name": "x", "space": {"type": "Boxx"}})"),
         "$.sensors[0].space.type: unknown space type 'Boxx' (known: ['Discrete', 'MultiDiscrete', 'Box', "
         "'MultiBinary', 'Tuple', 'Dict'])"},
        {"unknown space key", with_sensor(R"({"name": "x", "space": {"type": "Discrete", "nn": 2}})"),
         "$.sensors[0].space.nn: unknown key 'nn' (allowed: ['type', 'n', 'start'])"},
        {"fractional n", with_sensor(R"({"name": "x", "space": {"type": "Discrete", "n": 2.5}})"),
         "$.sensors[0].space.n: expected an integer, got 2.5"},
        {"huge n", with_sensor(R"({"name": "x", "space": {"type": "Discrete", "n": 18446744073709551615}})"),
         "$.sensors[0].space.n: integer out of range: 18446744073709551615"},
        {"box of numbers without shape", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": 0, "high": 1}})"),
         "$.sensors[0].space: missing required key 'shape' (needed when low and high are both numbers)"},
        {"ragged bounds", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": [[0, 1], [2]], "high": 5}})"),
         "$.sensors[0].space.low[1]: ragged nesting: expected a list of 2 entries, got a list of 1"},
        {"bounds of different shapes", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": [0, 1], "high": [1, 2, 3]}})"),
         "$.sensors[0].space.high: shape (3,) does not match low's shape (2,)"},
        {"bounds against the shape", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": [0, 1], "high": 3, "shape": [3]}})"),
         "$.sensors[0].space.low: shape (2,) does not match the space's shape (3,)"},
        {"misspelt infinity", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": "-infinity", "high": 1, "shape": [1]}})"),
         "$.sensors[0].space.low: expected a number, \"inf\" or \"-inf\", got string '-infinity'"},
        {"box of ints", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": 0, "high": 1, "shape": [1], "dtype": "int8"}})"),
         "$.sensors[0].space.dtype: expected 'float32' or 'float64', got 'int8'"},
        {"multibinary n and shape", with_sensor(R"({"name": "x", "space": {"type": "MultiBinary", "n": 2, "shape": [2]}})"),
         "$.sensors[0].space: give either 'n' or 'shape', not both"},
        {"multidiscrete of a number", with_sensor(R"({"name": "x", "space": {"type": "MultiDiscrete", "nvec": 3}})"),
         "$.sensors[0].space.nvec: expected an array of integers, got number"},
        {"tuple error deep inside",
         with_agents(kSkill, R"("sim_sensor_space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2}, {"type": "Discrete", "n": "2"}]}, )"),
         "$.sim_sensor_space.spaces[1].n: expected an integer, got string"},
        {"dict of a list", with_agents(kSkill, R"("sim_sensor_space": {"type": "Dict", "spaces": []}, )"),
         "$.sim_sensor_space.spaces: expected an object, got array"},
        {"dict key that is no identifier",
         with_agents(kSkill, R"("sim_sensor_space": {"type": "Dict", "spaces": {"my key": {"type": "Dsicrete"}}}, )"),
         "$.sim_sensor_space.spaces['my key'].type: unknown space type 'Dsicrete' (known: ['Discrete', "
         "'MultiDiscrete', 'Box', 'MultiBinary', 'Tuple', 'Dict'])"},
    };
}

TEST(OrchestrationValidation, EveryBadInputIsOneValueErrorNamingFilePathAndProblem) {
    for (const auto& bad : bad_files()) {
        SCOPED_TRACE(bad.name);
        expect_error<ValueError>([&] { from_text(bad.text); }, "orch.json: " + bad.message);
    }
}

// The library's own errors keep their text and gain the file and JSON path.
TEST(OrchestrationValidation, SpaceConstructionErrorsGetTheFileAndPathPrefixed) {
    struct Case { const char* space; std::function<void()> build; };
    const std::vector<Case> cases = {
        {R"({"type": "Discrete", "n": 0})", [] { spaces::Discrete(0); }},
        {R"({"type": "Box", "low": [2, 0], "high": 1})",
         [] { spaces::Box(NdArray::of<double>({2, 0}), NdArray::of<double>({1, 1})); }},
        {R"({"type": "MultiDiscrete", "nvec": [3, 0]})", [] { spaces::MultiDiscrete(std::vector<std::int64_t>{3, 0}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.space);
        std::string library_message;
        try {
            c.build();
        } catch (const ValueError& e) {
            library_message = e.what();
        }
        ASSERT_FALSE(library_message.empty()) << "the spaces library accepted it";
        expect_error<ValueError>([&] { from_text(with_agents(kSkill, R"("sim_sensor_space": )" + std::string(c.space) + ", ")); },
                                 "orch.json: $.sim_sensor_space: " + library_message);
    }
}

TEST(OrchestrationValidation, InvalidJsonNamesTheFileAndTheParserPosition) {
    try {
        from_text(R"({"id": "o",)");
        FAIL() << "accepted invalid JSON";
    } catch (const ValueError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("orch.json: invalid JSON: parse error at line 1, column ", 0), 0u) << message;
        EXPECT_EQ(message.find("[json.exception"), std::string::npos) << message;
    }
}

// Files written by hand or by tools can be absurdly deep or large; each limit
// is one clear error, never a crash, an exhausted stack or a wrapped size.
TEST(OrchestrationValidation, ResourceLimitsAreClearErrors) {
    std::string deep_id = "0";
    for (int i = 0; i < 150; ++i) deep_id = "[" + deep_id + "]";
    std::string deep_path = "$.id";
    for (int i = 0; i < 99; ++i) deep_path += "[0]";

    // a0 -> a1 -> ... -> a69, written top-down or bottom-up.
    auto chain = [](bool top_down) {
        std::vector<std::string> agents;
        for (int i = 0; i < 70; ++i) {
            const std::string name = "\"a" + std::to_string(i) + "\"";
            agents.push_back(i == 69 ? "{\"name\": " + name + ", \"kind\": \"skill\"}"
                                     : "{\"name\": " + name + ", \"kind\": \"orchestrator\", \"children\": [\"a" +
                                           std::to_string(i + 1) + "\"]}");
        }
        if (!top_down) std::reverse(agents.begin(), agents.end());
        std::string list = "[";
        for (const auto& a : agents) list += (list.size() > 1 ? ", " : "") + a;
        return with_agents(list + "]");
    };
    const std::string limit = "; a space may have at most 16777216 entries";
    const auto sensors_of = [](const std::string& space, int count) {
        std::string list;
        for (int i = 0; i < count; ++i)
            list += (i ? ", " : "") + std::string(R"({"name": "s)") + std::to_string(i) + R"(", "space": )" + space + "}";
        return with_sensor(list);
    };
    const std::vector<BadFile> cases = {
        {"nesting", R"({"id": )" + deep_id + R"(, "sensors": [], "agents": []})",
         deep_path + ": nested deeper than 100 levels"},
        {"number beyond a double", with_agents(kSkill, R"("sim_sensor_space": {"type": "Discrete", "n": 1e400}, )"),
         "invalid JSON: number overflow parsing '1e400'"},
        {"tuple whose flat size overflows",
         with_agents(kSkill, R"("sim_sensor_space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 4611686018427387904}, {"type": "Discrete", "n": 4611686018427387904}]}, )"),
         "$.sim_sensor_space.spaces[0]: Discrete space n 4611686018427387904 is too large (its one-hot form and its "
         "mask have n entries)" + limit},
        {"multibinary beyond 64 bits",
         with_agents(kSkill, R"("sim_sensor_space": {"type": "MultiBinary", "shape": [4294967296, 4294967296]}, )"),
         "$.sim_sensor_space: MultiBinary shape (4294967296, 4294967296) is too large" + limit},
        {"box beyond any array",
         with_agents(kSkill, R"("sim_sensor_space": {"type": "Box", "low": 0, "high": 1, "shape": [4611686018427387904, 4]}, )"),
         "$.sim_sensor_space: Box shape (4611686018427387904, 4) is too large" + limit},
        // Sizes a few bytes can claim, refused before anything is allocated.
        {"box of 300 million", with_sensor(R"({"name": "x", "space": {"type": "Box", "low": 0, "high": 1, "shape": [300000000]}})"),
         "$.sensors[0].space: Box shape (300000000,) has 300000000 elements" + limit},
        {"discrete of 400 million", with_agents(R"([{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 400000000}}])"),
         "$.agents[0].action_space: Discrete space n 400000000 is too large (its one-hot form and its mask have n "
         "entries)" + limit},
        {"multidiscrete one-hot", with_sensor(R"({"name": "x", "space": {"type": "MultiDiscrete", "nvec": [16777216, 1]}})"),
         "$.sensors[0].space: MultiDiscrete nvec sums to 16777217, the length of its one-hot form and its mask" + limit},
        {"sensors that fit one by one", sensors_of(R"({"type": "MultiBinary", "n": 10000000})", 2),
         "$.sensors: the sensors have a flat size of at least 20000000 together" + limit},
        {"agents nested too deep, top-down", chain(true), "$.agents[63].children[0]: agents nested deeper than 64 levels"},
        {"agents nested too deep, bottom-up", chain(false), "$.agents[64].children[0]: agents nested deeper than 64 levels"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        expect_error<ValueError>([&] { from_text(bad.text); }, "orch.json: " + bad.message);
    }
}

TEST(OrchestrationValidation, CommentsAreAllowed) {
    auto orch = from_text("// the smallest file\n" + with_agents("[{\"name\": \"a\", /* only one */ \"kind\": \"skill\"}]"));
    EXPECT_EQ(orch->get_top_agent()->get_name(), "a");
}

// --- files and paths ---------------------------------------------------------------

TEST(OrchestrationFiles, MissingFileAndFolderAreReportedAsSuch) {
    tarvik_test::TempDir dir;
    const std::string missing = (dir / "nope.json").string();
    expect_error<FileNotFoundError>([&] { Orchestration::load(missing); }, "orchestration file not found: " + missing);
    expect_error<ValueError>([&] { Orchestration::load(dir.path().string()); },
                             dir.path().string() + ": is a folder, not an orchestration file");
    const std::string broken = dir.write("broken.json", "{").string();
    try {
        Orchestration::load(broken);
        FAIL() << "accepted a broken file";
    } catch (const ValueError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(broken + ": invalid JSON: ", 0), 0u) << e.what();
    }
}

// A read that fails part-way is the system's error, not cut-off JSON; an
// endless device stops at the size limit instead of filling memory.
TEST(OrchestrationFiles, ReadErrorsAndEndlessFilesAreReportedWithThePath) {
    expect_error<RuntimeError>([] { Orchestration::load("/proc/self/mem"); },
                               "/proc/self/mem: cannot be read: " + std::string(std::strerror(EIO)));
    expect_error<ValueError>([] { Orchestration::load("/dev/zero"); },
                             "/dev/zero: larger than 64 MiB, not an orchestration file");
}

TEST(OrchestrationFiles, CheckpointsAndPluginsResolveAgainstTheFilesFolder) {
    tarvik_test::TempDir dir;
    const auto file = dir.write("sub/orch.json", with_agents(R"([
        {"name": "top", "kind": "orchestrator", "children": ["rel", "abs"], "checkpoint": "models/../ckpt/"},
        {"name": "rel", "kind": "skill", "checkpoint": "ckpt"},
        {"name": "abs", "kind": "skill", "checkpoint": "/abs/./x/../y"}])",
                                                             R"("plugins": ["lib/libp.so", "/opt/q/../libq.so"], )"));
    auto orch = Orchestration::load(file.string());
    const std::string folder = (dir.path() / "sub").string();
    EXPECT_EQ(orch->source(), file.string());
    EXPECT_EQ(orch->get_node_by_name("top")->get_checkpoint_uri(), folder + "/ckpt");
    EXPECT_EQ(orch->get_node_by_name("rel")->get_checkpoint_uri(), folder + "/ckpt");
    EXPECT_EQ(orch->get_node_by_name("abs")->get_checkpoint_uri(), "/abs/y");
    EXPECT_EQ(orch->plugins(), (std::vector<std::string>{folder + "/lib/libp.so", "/opt/libq.so"}));

    // A relative base folder is taken from the working directory.
    auto from_relative = Orchestration::from_json(with_agents(R"([{"name": "a", "kind": "skill", "checkpoint": "m"}])"),
                                                  "rel/dir", "text");
    EXPECT_EQ(from_relative->get_node_by_name("a")->get_checkpoint_uri(), (fs::current_path() / "rel/dir/m").string());
}

// --- nodes ---------------------------------------------------------------------------

TEST(OrchestrationNodes, KindsAreClassesAndControllersAreFlagged) {
    auto orch = from_text(with_agents(R"([
        {"name": "o", "kind": "orchestrator", "children": ["s", "g", "c", "oc", "set", "pop"]},
        {"name": "s", "kind": "skill"}, {"name": "g", "kind": "agent"},
        {"name": "c", "kind": "controller", "controller": "k"},
        {"name": "oc", "kind": "orchestrator", "children": ["s"], "controller": "k"},
        {"name": "set", "kind": "coordinated_set", "children": ["s"]},
        {"name": "pop", "kind": "coordinated_population", "children": ["g"]}])"));
    struct Expect { const char* name; const char* cls; bool orchestrator, set, population, controller; };
    for (const auto& e : {Expect{"o", "AgentOrchestrator", true, false, false, false},
                          Expect{"s", "Agent", false, false, false, false},
                          Expect{"g", "Agent", false, false, false, false},
                          Expect{"c", "Agent", false, false, false, true},
                          Expect{"oc", "AgentOrchestrator", true, false, false, true},
                          Expect{"set", "AgentCoordinatedSet", false, true, false, false},
                          Expect{"pop", "AgentCoordinatedPopulation", false, false, true, false}}) {
        SCOPED_TRACE(e.name);
        auto node = orch->get_node_by_name(e.name);
        EXPECT_EQ(node->class_name(), e.cls);
        EXPECT_NE(dynamic_cast<const Agent*>(node.get()), nullptr);
        EXPECT_EQ(dynamic_cast<const AgentOrchestrator*>(node.get()) != nullptr, e.orchestrator);
        EXPECT_EQ(dynamic_cast<const AgentCoordinatedSet*>(node.get()) != nullptr, e.set);
        EXPECT_EQ(dynamic_cast<const AgentCoordinatedPopulation*>(node.get()) != nullptr, e.population);
        EXPECT_EQ(node->is_controller(), e.controller);
    }
    EXPECT_EQ(orch->get_top_agent()->get_name(), "o");
    EXPECT_FALSE(orch->perceptors.has_value());
    expect_error<KeyError>([&] { orch->get_node_by_name("zz"); }, "no node named 'zz' in orchestration 'o' (orch.json)");
}

TEST(OrchestrationNodes, AgentOperationsOnAPerceptorNodeAreAttributeErrors) {
    auto orch = from_text(with_agents(kSkill, R"("perceptors": [{"name": "p", "implementation": "i"}], )"));
    auto node = orch->get_node_by_name("p");
    EXPECT_FALSE(node->is_controller());
    EXPECT_FALSE(node->is_remote());
    struct Op { const char* name; std::function<void()> call; };
    const std::vector<Op> ops = {
        {"get_children", [&] { node->get_children(); }},
        {"get_checkpoint_uri", [&] { node->get_checkpoint_uri(); }},
        {"get_action_space", [&] { node->get_action_space(); }},
        {"set_action_space", [&] { node->set_action_space(nullptr); }},
        {"get_sim_sensor_space", [&] { node->get_sim_sensor_space(); }},
        {"set_sim_sensor_space", [&] { node->set_sim_sensor_space(nullptr); }},
        {"has_custom_action_space", [&] { node->has_custom_action_space(); }},
    };
    for (const auto& op : ops) {
        SCOPED_TRACE(op.name);
        expect_error<AttributeError>(op.call, std::string("'PerceptorNode' object has no attribute '") + op.name + "'");
    }
    // A plain GraphNode is not a perceptor either: its implementation lookups fail too.
    GraphNode bare("n");
    expect_error<AttributeError>([&] { bare.get_impl_cls(); }, "'GraphNode' object has no attribute 'get_impl_cls'");
    expect_error<AttributeError>([&] { bare.is_remote(); }, "'GraphNode' object has no attribute 'is_remote'");
}

TEST(OrchestrationNodes, SpacesSensorsAndSourcesAreBuiltAsWritten) {
    auto orch = from_text(R"({"id": "o",
        "sim_sensor_space": {"type": "Dict", "spaces": {
            "b": {"type": "Box", "low": [0, 1], "high": 5},
            "a": {"type": "Box", "low": "-inf", "high": "inf", "shape": [2, 1], "dtype": "float64"},
            "m": {"type": "MultiDiscrete", "nvec": [[2, 3], [4, 5]]},
            "t": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 3, "start": 1}, {"type": "MultiBinary", "shape": [2, 2]}]}}},
        "sensors": [
            {"name": "x", "space": {"type": "Box", "low": [-2, 0], "high": [2, 4]}, "normalization": {"type": "scale"}},
            {"name": "y", "space": {"type": "Box", "low": 0, "high": 1, "shape": [2]}, "source": {"index": 3},
             "normalization": {"type": "standard", "mean": [1, 2], "std": 0.5}},
            {"name": "z", "space": {"type": "MultiBinary", "n": 3}, "source": {"key": "raw_z"}},
            {"name": "w", "space": {"type": "Dict", "spaces": {"v": )" + kBox2 + R"(}}, "allow_non_finite": true}],
        "agents": [{"name": "a", "kind": "skill"}]})");
    const auto& dict = orch->sim_sensor_space;
    ASSERT_NE(dict, nullptr);
    const auto& entries = dict->mapping_spaces();
    ASSERT_EQ(entries.size(), 4u);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(entries[0].first, "b");
    EXPECT_TRUE(entries[0].second->equals(spaces::Box(NdArray::of<double>({0, 1}), NdArray::of<double>({5, 5}))));
    EXPECT_EQ(entries[1].first, "a");
    EXPECT_TRUE(entries[1].second->equals(spaces::Box(-inf, inf, Shape{2, 1}, DType::Float64)));
    EXPECT_TRUE(entries[2].second->equals(
        spaces::MultiDiscrete(NdArray::from_vector<std::int64_t>({2, 3, 4, 5}, Shape{2, 2}))));
    EXPECT_TRUE(entries[3].second->equals(spaces::Tuple(
        {std::make_shared<spaces::Discrete>(3, 1), std::make_shared<spaces::MultiBinary>(Shape{2, 2})})));
    // Agents share the orchestration's simulator space.
    EXPECT_EQ(orch->get_node_by_name("a")->get_sim_sensor_space(), dict);

    ASSERT_EQ(orch->sensors.size(), 4u);
    EXPECT_FALSE(orch->sensors[0]->allow_non_finite);
    EXPECT_TRUE(orch->sensors[3]->allow_non_finite) << "a Box inside a Dict may be non-finite";
    const Sensor& x = *orch->sensors[0];
    EXPECT_EQ(x.source.kind, SensorSource::Kind::key);
    EXPECT_EQ(x.source.key, "x");
    EXPECT_EQ(x.normalization.kind, Normalization::Kind::scale);
    EXPECT_TRUE(x.normalization.a.equals(NdArray::of<double>({-2, 0})));  // the space's bounds
    EXPECT_TRUE(x.normalization.b.equals(NdArray::of<double>({2, 4})));
    const Sensor& y = *orch->sensors[1];
    EXPECT_EQ(y.source.kind, SensorSource::Kind::index);
    EXPECT_EQ(y.source.index, 3);
    EXPECT_EQ(y.normalization.kind, Normalization::Kind::standard);
    EXPECT_TRUE(y.normalization.a.equals(NdArray::of<double>({1, 2})));
    EXPECT_TRUE(y.normalization.b.equals(NdArray::of<double>({0.5, 0.5})));  // broadcast to the shape
    EXPECT_EQ(orch->sensors[2]->source.key, "raw_z");
    EXPECT_EQ(orch->sensors[2]->normalization.kind, Normalization::Kind::none);
}

// --- the every-kind example -----------------------------------------------------------------

class EveryKindExample : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string(TARVIK_SOURCE_DIR) + "/examples/orchestrations/every_kind/orchestration.json";
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        std::string json = text.str();
        // The example names no plugin; the test plugin registers its implementations.
        const std::string id = R"("id": "every_kind",)";
        const auto at = json.find(id);
        ASSERT_NE(at, std::string::npos);
        json.insert(at + id.size(), R"( "plugins": [")" + plugin_path("test_plugin") + "\"],");
        orch_ = Orchestration::from_json(json, fs::path(path_).parent_path(), path_);
        run_sync(orch_->init());
    }
    std::string path_;
    OrchestrationPtr orch_;
};

TEST_F(EveryKindExample, LoadsAsIsWithoutPlugins) {
    auto plain = Orchestration::load(path_);
    EXPECT_EQ(plain->id(), "every_kind");
    EXPECT_TRUE(plain->plugins().empty());
    EXPECT_FALSE(plain->is_initialized());
}

// The format document shows the example with comments; it must stay the same
// orchestration as the file.
TEST_F(EveryKindExample, CommentedVersionInTheFormatDocumentIsTheSameOrchestration) {
    std::ifstream in(std::string(TARVIK_SOURCE_DIR) + "/docs/orchestration-format.md");
    std::stringstream text;
    text << in.rdbuf();
    const std::string doc = text.str();
    const std::string open = "```jsonc\n";
    const auto begin = doc.find(open);
    ASSERT_NE(begin, std::string::npos);
    const auto end = doc.find("\n```", begin + open.size());
    ASSERT_NE(end, std::string::npos);
    auto documented = Orchestration::from_json(doc.substr(begin + open.size(), end - begin - open.size()),
                                               fs::path(path_).parent_path(), path_);
    auto plain = Orchestration::load(path_);
    EXPECT_EQ(documented->repr(), plain->repr());
    ASSERT_EQ(documented->nodes().size(), plain->nodes().size());
    for (std::size_t i = 0; i < plain->nodes().size(); ++i) {
        const auto& a = *documented->nodes()[i];
        const auto& b = *plain->nodes()[i];
        EXPECT_EQ(a.repr(), b.repr());
        if (dynamic_cast<const Agent*>(&b)) {
            EXPECT_EQ(a.get_children(), b.get_children());
            EXPECT_EQ(a.get_checkpoint_uri(), b.get_checkpoint_uri());
            EXPECT_EQ(spaces::repr(a.get_action_space()), spaces::repr(b.get_action_space()));
        }
    }
}

TEST_F(EveryKindExample, AnswersEveryAgentOperation) {
    const std::string folder = fs::path(path_).parent_path().lexically_normal().string();
    EXPECT_TRUE(orch_->is_initialized());
    EXPECT_EQ(orch_->get_top_agent()->get_name(), "mission");
    EXPECT_EQ(orch_->repr(), "<Orchestration 'every_kind' from " + path_ + ": 8 agents, 1 perceptors, 4 sensors>");

    struct Expect {
        const char* name;
        const char* cls;
        std::vector<std::string> children;
        bool controller, remote, custom;
        std::optional<std::string> checkpoint;
        const char* impl;        // "" for none
        const char* impl_class;  // class of a new instance
        const char* action_space;
    };
    const std::vector<Expect> agents = {
        {"mission", "AgentOrchestrator", {"navigate", "dock"}, false, false, false, folder + "/checkpoints",
         "mission_teacher", "MissionTeacher", "Discrete"},  // a choice among its children
        {"navigate", "AgentOrchestrator", {"drive", "avoid"}, true, false, false, std::nullopt, "route_planner",
         "RoutePlanner", "Discrete"},
        {"drive", "Agent", {}, false, false, false, folder + "/checkpoints", "drive_teacher", "DriveTeacher", "Box"},
        {"avoid", "Agent", {}, false, false, false, folder + "/checkpoints/avoid", "", "", "Discrete"},
        {"dock", "Agent", {}, true, false, false, std::nullopt, "docking_controller", "DockingController",
         "MultiDiscrete"},
        {"fleet", "AgentCoordinatedSet", {"scout"}, false, false, false, std::nullopt, "", "", "None"},
        {"swarm", "AgentCoordinatedPopulation", {"scout"}, false, false, false, std::nullopt, "", "", "None"},
        {"scout", "Agent", {}, false, true, true, std::nullopt, "scout_teacher", "ScoutTeacher", "Tuple"},
    };
    ASSERT_EQ(orch_->nodes().size(), agents.size() + 1);
    for (std::size_t i = 0; i < agents.size(); ++i) {
        const auto& e = agents[i];
        SCOPED_TRACE(e.name);
        auto node = orch_->get_node_by_name(e.name);
        EXPECT_EQ(orch_->nodes()[i], node);  // file order
        EXPECT_EQ(node->class_name(), e.cls);
        EXPECT_EQ(node->get_children(), e.children);
        EXPECT_EQ(node->is_controller(), e.controller);
        EXPECT_EQ(node->is_remote(), e.remote);
        EXPECT_EQ(node->has_custom_action_space(), e.custom);
        EXPECT_EQ(node->get_checkpoint_uri(), e.checkpoint);
        EXPECT_EQ(node->get_sim_sensor_space(), orch_->sim_sensor_space);
        auto space = node->get_action_space();
        EXPECT_EQ(space ? space->type_name() : "None", e.action_space);
        auto cls = node->get_impl_cls();
        auto instance = node->get_impl_cls_instance();
        if (std::string(e.impl).empty()) {
            EXPECT_EQ(cls, nullptr);
            EXPECT_EQ(instance, nullptr);
            continue;
        }
        ASSERT_NE(cls, nullptr);
        EXPECT_EQ(cls->name(), e.impl);
        EXPECT_EQ(cls->kind(), e.controller ? ImplKind::controller : ImplKind::teacher);
        EXPECT_EQ(cls->origin(), plugin_path("test_plugin"));
        ASSERT_NE(instance, nullptr);
        EXPECT_EQ(instance->class_name(), e.impl_class);
    }
    // Implementations come from the plugin and behave as it defines them.
    auto mission = std::dynamic_pointer_cast<Teacher>(orch_->get_node_by_name("mission")->get_impl_cls_instance());
    ASSERT_NE(mission, nullptr);
    EXPECT_EQ(run_sync(mission->filtered_sensor_space()), Value(List{"position", "battery"}));
    EXPECT_EQ(orch_->registry().get("mission_teacher")->version(), "2.1.0");
}

TEST_F(EveryKindExample, AnswersSensorAndPerceptorQueries) {
    ASSERT_TRUE(orch_->perceptors.has_value());
    ASSERT_EQ(orch_->perceptors->size(), 1u);
    const auto& perceptor = orch_->perceptors->front();
    EXPECT_EQ(orch_->get_node_by_name("goal_perceptor"), perceptor);
    EXPECT_EQ(orch_->nodes().back(), perceptor);
    EXPECT_FALSE(perceptor->is_remote());
    EXPECT_EQ(perceptor->sensors(), std::vector<std::string>{"distance_to_goal"});
    EXPECT_EQ(perceptor->get_impl_cls()->kind(), ImplKind::perceptor);
    auto instance = std::dynamic_pointer_cast<Perceptor>(perceptor->get_impl_cls_instance());
    ASSERT_NE(instance, nullptr);
    EXPECT_TRUE(run_sync(instance->compute_sensors(Value(Dict{}))).as_dict().contains("distance_to_goal"));

    ASSERT_EQ(orch_->sensors.size(), 4u);
    EXPECT_EQ(orch_->sensors[1]->source.key, "velocity");
    EXPECT_EQ(orch_->sensors[3]->source.perceptor, "goal_perceptor");
}

// --- plugins -------------------------------------------------------------------------------

class PluginLoading : public ::testing::Test {
protected:
    // An orchestration whose one agent uses the test plugin's "drive_teacher".
    OrchestrationPtr load(const std::vector<std::string>& plugins, const std::string& extra = "") {
        std::string list;
        for (const auto& p : plugins) list += (list.empty() ? "\"" : ", \"") + p + "\"";
        file_ = dir_.write("orch.json", R"({"id": "p", "plugins": [)" + list + "], " + extra +
                                            R"("sensors": [], "agents": [{"name": "drive", "kind": "skill", "teacher": "drive_teacher"}]})")
                    .string();
        auto orch = Orchestration::load(file_);
        orch->registry().add_teacher("host_teacher", [] { return std::make_shared<PlainTeacher>(); });
        return orch;
    }
    static int entry_calls() {
        // RTLD_NOLOAD: only finds the library if init() left it loaded.
        void* handle = dlopen(plugin_path("test_plugin").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (!handle) return -1;
        auto calls = reinterpret_cast<int (*)()>(dlsym(handle, "tarvik_test_plugin_calls"));
        dlclose(handle);  // drops only the reference taken here
        return calls ? calls() : -1;
    }
    tarvik_test::TempDir dir_;
    std::string file_;
};

TEST_F(PluginLoading, InitCallsTheEntryPointOnceAndRecordsThePluginAsOrigin) {
    auto orch = load({plugin_path("test_plugin")});
    run_sync(orch->init());
    const int calls = entry_calls();
    ASSERT_GT(calls, 0);
    EXPECT_TRUE(orch->is_initialized());
    EXPECT_EQ(orch->registry().get("drive_teacher")->origin(), plugin_path("test_plugin"));
    EXPECT_EQ(orch->registry().get("host_teacher")->origin(), "host");
    // Later host registrations are the host's again.
    EXPECT_EQ(orch->registry().origin(), "host");

    run_sync(orch->init());  // already initialised: nothing happens
    EXPECT_EQ(entry_calls(), calls);

    // Another orchestration gets its own registry, filled by a new call.
    auto other = load({plugin_path("test_plugin")});
    run_sync(other->init());
    EXPECT_EQ(entry_calls(), calls + 1);
    EXPECT_NE(&other->registry(), &orch->registry());
}

TEST_F(PluginLoading, ANameRegisteredByTwoPluginsFailsAndRestoresTheRegistry) {
    auto orch = load({plugin_path("test_plugin"), plugin_path("dup_plugin")});
    const std::string message = "implementation 'drive_teacher' is registered twice: by " + plugin_path("test_plugin") +
                                " and by " + plugin_path("dup_plugin");
    expect_error<ValueError>([&] { run_sync(orch->init()); }, message);
    EXPECT_FALSE(orch->is_initialized());
    EXPECT_EQ(orch->registry().names(), std::vector<std::string>{"host_teacher"});
    EXPECT_EQ(orch->registry().origin(), "host");
    // A retry meets the same problem, not leftovers of the first attempt.
    expect_error<ValueError>([&] { run_sync(orch->init()); }, message);
}

TEST_F(PluginLoading, BrokenPluginListsAreReportedWithTheirPathAndLeaveTheRegistryAlone) {
    const std::string missing = (dir_ / "libmissing.so").string();
    const std::string not_a_library = dir_.write("libtext.so", "not a library").string();
    struct Case { const char* name; std::vector<std::string> plugins; std::function<void(Orchestration&)> check; };
    const std::vector<Case> cases = {
        {"missing file", {plugin_path("test_plugin"), missing},
         [&](Orchestration& o) {
             expect_error<FileNotFoundError>([&] { run_sync(o.init()); },
                                             file_ + ": $.plugins[1]: plugin library not found: " + missing);
         }},
        {"no entry point", {plugin_path("no_entry_plugin")},
         [&](Orchestration& o) {
             expect_error<ImportError>([&] { run_sync(o.init()); },
                                       file_ + ": $.plugins[0]: plugin library " + plugin_path("no_entry_plugin") +
                                           " does not export the entry point 'tarvik_register'");
         }},
        {"not a library", {not_a_library},
         [&](Orchestration& o) {
             try {
                 run_sync(o.init());
                 ADD_FAILURE() << "loaded a text file";
             } catch (const ImportError& e) {
                 const std::string prefix = file_ + ": $.plugins[0]: cannot load plugin library " + not_a_library + ": ";
                 EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto orch = load(c.plugins);
        c.check(*orch);
        EXPECT_FALSE(orch->is_initialized());
        EXPECT_EQ(orch->registry().names(), std::vector<std::string>{"host_teacher"});
    }
}

TEST_F(PluginLoading, EveryImplementationNameMustBeRegisteredAsTheRightKind) {
    // No plugin: only the host's registrations exist.
    auto orch = load({}, R"("perceptors": [{"name": "p", "implementation": "goal_distance"}], )");
    expect_error<ValueError>([&] { run_sync(orch->init()); },
                             file_ + ": $.agents[0].teacher: no teacher named 'drive_teacher' is registered (known: "
                                     "['host_teacher'])");
    orch->registry().add_controller("drive_teacher", [] { return std::make_shared<PlainController>(); });
    expect_error<ValueError>([&] { run_sync(orch->init()); },
                             file_ + ": $.agents[0].teacher: no teacher named 'drive_teacher' is registered (known: "
                                     "['host_teacher']); 'drive_teacher' is a controller, registered by host");

    // With the plugin the agent resolves; the perceptor check comes next.
    auto with_plugin = load({plugin_path("dup_plugin")}, R"("perceptors": [{"name": "p", "implementation": "nope"}], )");
    expect_error<ValueError>([&] { run_sync(with_plugin->init()); },
                             file_ + ": $.perceptors[0].implementation: no perceptor named 'nope' is registered "
                                     "(known: [])");
    // The plugin's classes went away with the failed init.
    EXPECT_EQ(with_plugin->registry().names(), std::vector<std::string>{"host_teacher"});
}

TEST_F(PluginLoading, RemoteNodesMayNameImplementationsOnlyAHostHas) {
    auto orch = load({}, R"("perceptors": [{"name": "p", "implementation": "far_radar", "remote": true}], )");
    // The agent's local teacher must still exist here.
    expect_error<ValueError>([&] { run_sync(orch->init()); },
                             file_ + ": $.agents[0].teacher: no teacher named 'drive_teacher' is registered (known: "
                                     "['host_teacher'])");
    EXPECT_FALSE(orch->registry().find("far_radar")) << "a failed init leaves no stand-in behind";

    orch->registry().add_teacher("drive_teacher", [] { return std::make_shared<PlainTeacher>(); });
    run_sync(orch->init());
    auto radar = orch->perceptors->front()->get_impl_cls();
    EXPECT_EQ(radar->kind(), ImplKind::perceptor);
    EXPECT_EQ(radar->version(), "") << "no version: transports ask for the latest";
    expect_error<RuntimeError>([&] { radar->instantiate(); },
                               "perceptor 'far_radar' is not registered in this process: it runs only on an "
                               "implementation host (a 'remote' target)");
    EXPECT_EQ(orch->registry().origin(), "host");
}

// --- implementation instances ------------------------------------------------------------------

class ImplInstances : public ::testing::Test {
protected:
    void SetUp() override {
        orch_ = from_text(with_agents(R"([
            {"name": "o", "kind": "orchestrator", "children": ["t", "c", "none"], "controller": "ctl"},
            {"name": "t", "kind": "skill", "teacher": "tch"},
            {"name": "c", "kind": "controller", "controller": "ctl"},
            {"name": "none", "kind": "skill"}])"));
    }
    void register_both() {
        orch_->registry().add_teacher("tch", [] { return std::make_shared<PlainTeacher>(); });
        orch_->registry().add_controller("ctl", [] { return std::make_shared<PlainController>(); });
    }
    OrchestrationPtr orch_;
};

TEST_F(ImplInstances, EachCallMakesANewInstanceOfTheAgentsKind) {
    register_both();
    run_sync(orch_->init());
    auto t = orch_->get_node_by_name("t");
    auto first = t->get_impl_cls_instance();
    auto second = t->get_impl_cls_instance();
    EXPECT_NE(first, second);
    EXPECT_NE(std::dynamic_pointer_cast<Teacher>(first), nullptr);
    for (const char* name : {"c", "o"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(std::dynamic_pointer_cast<Controller>(orch_->get_node_by_name(name)->get_impl_cls_instance()), nullptr);
    }
    EXPECT_EQ(orch_->get_node_by_name("none")->get_impl_cls_instance(), nullptr);
}

TEST_F(ImplInstances, LookupFailuresNameTheAgentAndTheImplementation) {
    auto t = orch_->get_node_by_name("t");
    expect_error<KeyError>([&] { t->get_impl_cls(); }, "no implementation named 'tch' (known: [])");

    orch_->registry().add_controller("tch", [] { return std::make_shared<PlainController>(); });
    expect_error<TypeError>([&] { t->get_impl_cls_instance(); },
                            "Agent 't' uses 'tch' as its teacher, but 'tch' is registered as a controller");

    orch_->registry().add_controller("ctl", []() -> std::shared_ptr<Controller> { return nullptr; });
    expect_error<RuntimeError>([&] { orch_->get_node_by_name("c")->get_impl_cls_instance(); },
                               "the factory of controller 'ctl' (registered by host) returned no object");

    // Nodes only hold the registry weakly: once the orchestration is gone they say so.
    orch_.reset();
    expect_error<RuntimeError>([&] { t->get_impl_cls(); },
                               "Agent 't' cannot resolve implementation 'tch': it belongs to no live orchestration");
}

}  // namespace
