// The facade's constructor and load_orchestration.
#include <dlfcn.h>

#include "runvane_support.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_inference/relayon.hpp"

namespace runvane_test {
namespace {

// --- constructor ------------------------------------------------------------------

TEST(RunvaneConstruction, WithoutArgumentsUsesTheDefaultSettingsAndItsOwnRelayon) {
    Runvane runvane;
    EXPECT_EQ(Value(runvane.config.settings()), Value(default_trainer_settings()));
    EXPECT_EQ(runvane.config.local_address(), "127.0.0.1:1337");
    auto relayon = std::dynamic_pointer_cast<Relayon>(runvane.network_mgr);
    ASSERT_NE(relayon, nullptr) << "expected a Relayon, got " << runvane.network_mgr->class_name();
    // The Relayon is built from the facade's configuration.
    EXPECT_EQ(Value(relayon->config().settings()), Value(runvane.config.settings()));
    EXPECT_EQ(runvane.orchestration, nullptr);
    EXPECT_EQ(runvane.agent_processor, nullptr);
}

TEST(RunvaneConstruction, AGivenManagerIsKeptAndTheConfigurationIsStillBuilt) {
    auto manager = std::make_shared<AwaitingNetworkMgr>();
    Dict settings{{"target", Dict{{"local", Dict{{"address", "localhost:4242"}}}}}};
    Runvane runvane(settings, manager);
    EXPECT_EQ(runvane.network_mgr, manager);
    EXPECT_EQ(std::dynamic_pointer_cast<Relayon>(runvane.network_mgr), nullptr);
    EXPECT_EQ(runvane.config.local_address(), "localhost:4242");
    EXPECT_EQ(manager->config().local_address(), "127.0.0.1:1337") << "the given manager must not be rebuilt";
}

TEST(RunvaneConstruction, ConfigThatIsNotAMappingIsATypeErrorNamingIt) {
    struct Case {
        Value config;
        const char* type;
    };
    const std::vector<Case> cases = {
        {List{Dict{}}, "list"}, {Tuple{}, "tuple"}, {Value("target"), "str"}, {Value(0), "int"},
        {Value(false), "bool"}, {Value(NdArray::of<float>({1.0f})), "ndarray"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        expect_error<TypeError>([&] { Runvane runvane(c.config); },
                                std::string("config must be a mapping or None, got ") + c.type);
    }
}

TEST(RunvaneConstruction, SettingsTheConfigurationRejectsFailTheConstructor) {
    expect_error<TypeError>([] { Runvane runvane(Dict{{"target", default_trainer_settings().at("target")}, {"speed", 3}}); },
                            "TrainerConfig got an unexpected keyword argument 'speed'");
    // Even with a manager supplied the configuration is checked.
    expect_error<ValueError>(
        [] {
            Runvane runvane(Dict{{"target", Dict{{"cluster", Dict{}}}}}, std::make_shared<AwaitingNetworkMgr>());
        },
        "unsupported target 'cluster': only 'local' and 'remote' are available");
}

TEST(RunvaneConstruction, TheCallersMappingIsNotModified) {
    // The configuration fills in the default target; that must not leak back.
    Dict empty;
    Runvane from_empty(empty);
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(from_empty.config.settings().contains("target"));

    Dict settings{{"target", Dict{{"local", Dict{{"address", "localhost:9000"}}}}}};
    Runvane from_settings(settings);
    EXPECT_EQ(Value(settings), Value(Dict{{"target", Dict{{"local", Dict{{"address", "localhost:9000"}}}}}}));
}

// --- load_orchestration ------------------------------------------------------------

// How often the test plugin's entry point has run in this process: a plugin
// registered by init() counts once.
int plugin_registrations() {
    const std::string path = std::string(TARVIK_TEST_PLUGIN_DIR) + "/libtest_plugin.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        ADD_FAILURE() << "cannot open " << path << ": " << dlerror();
        return -1;
    }
    auto* calls = reinterpret_cast<int (*)()>(dlsym(handle, "tarvik_test_plugin_calls"));
    const int n = calls ? calls() : -1;
    dlclose(handle);
    return n;
}

std::string plugin_orchestration_json(const std::string& id) {
    return R"({"id": ")" + id + R"(", "plugins": [")" + std::string(TARVIK_TEST_PLUGIN_DIR) +
           R"(/libtest_plugin.so"],
  "sensors": [{"name": "battery", "space": {"type": "Discrete", "n": 5}}],
  "agents": [{"name": "dock", "kind": "controller", "controller": "docking_controller",
              "action_space": {"type": "MultiDiscrete", "nvec": [3, 3]}}],
  "top_agent": "dock"})";
}

class LoadOrchestration : public ::testing::Test {
protected:
    Runvane runvane{Value(), std::make_shared<AwaitingNetworkMgr>()};
    LogCapture logs{kLogger};
};

TEST_F(LoadOrchestration, APathLoadsInitialisesAndLogsTheFile) {
    TempDir dir;
    const auto file = dir.write("orchestration.json", plugin_orchestration_json("from-file"));
    const int before = plugin_registrations();

    run_sync(runvane.load_orchestration(file.string()));

    ASSERT_NE(runvane.orchestration, nullptr);
    EXPECT_EQ(runvane.orchestration->id(), "from-file");
    EXPECT_EQ(runvane.orchestration->source(), file.string());
    EXPECT_TRUE(runvane.orchestration->is_initialized());
    EXPECT_NE(runvane.orchestration->registry().find("docking_controller"), nullptr);
    EXPECT_EQ(plugin_registrations(), before + 1);
    EXPECT_EQ(logs.messages(LogLevel::info), std::vector<std::string>{"Loaded orchestration: from-file"});
}

TEST_F(LoadOrchestration, AnUninitialisedObjectIsAdoptedAndInitialised) {
    auto orchestration = orchestration_from_json(plugin_orchestration_json("object"));
    const int before = plugin_registrations();

    run_sync(runvane.load_orchestration(orchestration));

    EXPECT_EQ(runvane.orchestration, orchestration);
    EXPECT_TRUE(orchestration->is_initialized());
    EXPECT_EQ(plugin_registrations(), before + 1);
    EXPECT_EQ(logs.messages(LogLevel::info), std::vector<std::string>{"Loaded orchestration: object"});
}

TEST_F(LoadOrchestration, AnInitialisedObjectIsNotInitialisedAgain) {
    auto orchestration = orchestration_from_json(plugin_orchestration_json("ready"));
    run_sync(orchestration->init());
    const int before = plugin_registrations();
    const auto controllers = orchestration->registry().names(ImplKind::controller);

    run_sync(runvane.load_orchestration(orchestration));

    EXPECT_EQ(runvane.orchestration, orchestration);
    EXPECT_EQ(plugin_registrations(), before);
    EXPECT_EQ(orchestration->registry().names(ImplKind::controller), controllers);
    EXPECT_EQ(logs.messages(LogLevel::info), std::vector<std::string>{"Loaded orchestration: ready"});
}

TEST_F(LoadOrchestration, AFailedInitLeavesTheNewOrchestrationStoredAndTheProcessorInPlace) {
    TestOrchestration packaged;
    auto previous = recording_processor(packaged);
    runvane.agent_processor = previous;
    run_sync(runvane.load_orchestration(packaged.orchestration));
    logs.clear();

    // Names a controller nobody registered: init() fails.
    auto broken = orchestration_from_json(R"({"id": "broken",
      "sensors": [{"name": "battery", "space": {"type": "Discrete", "n": 5}}],
      "agents": [{"name": "a", "kind": "controller", "controller": "ghost",
                  "action_space": {"type": "Discrete", "n": 2}}],
      "top_agent": "a"})");
    expect_error<ValueError>([&] { run_sync(runvane.load_orchestration(broken)); },
                             "test orchestration: $.agents[0].controller: no controller named 'ghost' is "
                             "registered (known: [])");

    EXPECT_EQ(runvane.orchestration, broken);
    EXPECT_FALSE(broken->is_initialized());
    EXPECT_EQ(runvane.agent_processor, previous);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(LoadOrchestration, AFileThatCannotBeLoadedChangesNothing) {
    TestOrchestration loaded;
    run_sync(runvane.load_orchestration(loaded.orchestration));
    logs.clear();

    TempDir dir;
    const std::string missing = (dir / "missing.json").string();
    expect_error<FileNotFoundError>([&] { run_sync(runvane.load_orchestration(missing)); },
                                    "orchestration file not found: " + missing);
    EXPECT_EQ(runvane.orchestration, loaded.orchestration);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(LoadOrchestration, ANullObjectIsATypeError) {
    expect_error<TypeError>([&] { run_sync(runvane.load_orchestration(OrchestrationPtr{})); },
                            "load_orchestration() needs an orchestration or a path to an orchestration file, "
                            "got None");
    EXPECT_EQ(runvane.orchestration, nullptr);
}

}  // namespace
}  // namespace runvane_test
