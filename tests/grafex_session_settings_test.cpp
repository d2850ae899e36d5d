// Model-session settings: how a host's configuration and an orchestration file
// give them, which source wins, and that an engine's session runs with them.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/expect_error.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/context.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_inference/grafex.hpp"

namespace {

using tarvik_core::Dict;
using tarvik_core::List;
using tarvik_core::ModelSessionSettings;
using tarvik_core::Value;
using tarvik_test::expect_error;

using Providers = std::vector<std::string>;

const std::string kAllowed =
    "(allowed: ['execution_providers', 'intra_op_threads', 'inter_op_threads', 'allow_spinning'])";

TEST(ModelSessionSettings, TheHostsSettingsAreReadOrRejectedNamingTheKey) {
    const tarvik_core::TrainerConfig config(Dict{{"model_session", Dict{{"execution_providers", List{"XProvider"}},
                                                                         {"intra_op_threads", 2},
                                                                         {"inter_op_threads", 0},
                                                                         {"allow_spinning", true}}}});
    EXPECT_EQ(config.model_session(), (ModelSessionSettings{.execution_providers = Providers{"XProvider"},
                                                            .intra_op_threads = 2,
                                                            .inter_op_threads = 0,
                                                            .allow_spinning = true}));
    EXPECT_EQ(tarvik_core::TrainerConfig(Dict{}).model_session(), ModelSessionSettings{});

    struct Case {
        Value settings;
        bool type_error;
        std::string message;
    };
    const std::string range = "expected a thread count from 0 to 1024, got ";
    const std::vector<Case> cases = {
        {List{}, true, "model_session: expected a mapping, got list"},
        {Dict{{"threads", 1}}, true, "model_session got an unexpected setting 'threads' " + kAllowed},
        {Dict{{"intra_op_threads", true}}, true, "model_session.intra_op_threads: expected an int, got bool"},
        {Dict{{"intra_op_threads", -1}}, false, "model_session.intra_op_threads: " + range + "-1"},
        {Dict{{"inter_op_threads", 1025}}, false, "model_session.inter_op_threads: " + range + "1025"},
        {Dict{{"allow_spinning", 1}}, true, "model_session.allow_spinning: expected a bool, got int"},
        {Dict{{"execution_providers", "XProvider"}}, true,
         "model_session.execution_providers: expected a list of provider names, got str"},
        {Dict{{"execution_providers", List{"XProvider", 3}}}, true,
         "model_session.execution_providers[1]: expected a str, got int"},
        {Dict{{"execution_providers", List{"XProvider", "XProvider"}}}, false,
         "model_session.execution_providers: 'XProvider' is listed twice"},
        {Dict{{"execution_providers", List{""}}}, false, "model_session.execution_providers: provider 0 is an empty name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto make = [&] { tarvik_core::TrainerConfig config(Dict{{"model_session", c.settings}}); };
        if (c.type_error) expect_error<tarvik_core::TypeError>(make, c.message);
        else expect_error<tarvik_core::ValueError>(make, c.message);
    }
}

std::string orchestration_text(const std::string& model_session) {
    return R"({"id": "settings", "sensors": [], "agents": [{"name": "a", "kind": "skill"}])" +
           (model_session.empty() ? std::string() : R"(, "model_session": )" + model_session) + "}";
}

TEST(ModelSessionSettings, TheFilesSectionIsReadOrRejectedWithItsJsonPath) {
    auto load = [](const std::string& section) {
        return tarvik_core::Orchestration::from_json(orchestration_text(section), ".", "o.json");
    };
    EXPECT_EQ(load("")->model_session, ModelSessionSettings{});
    EXPECT_EQ(load(R"({"execution_providers": ["XProvider"], "intra_op_threads": 2, "allow_spinning": true})")
                  ->model_session,
              (ModelSessionSettings{
                  .execution_providers = Providers{"XProvider"}, .intra_op_threads = 2, .allow_spinning = true}));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[]", "$.model_session: expected an object, got array"},
        {R"({"threads": 2})", "$.model_session.threads: unknown key 'threads' " + kAllowed},
        {R"({"intra_op_threads": -1})",
         "$.model_session.intra_op_threads: expected a thread count from 0 to 1024, got -1"},
        {R"({"inter_op_threads": 1.5})", "$.model_session.inter_op_threads: expected an integer, got 1.5"},
        {R"({"allow_spinning": "yes"})", "$.model_session.allow_spinning: expected a boolean, got string"},
        {R"({"execution_providers": ["XProvider", "XProvider"]})",
         "$.model_session.execution_providers[1]: 'XProvider' is listed twice (also at "
         "$.model_session.execution_providers[0])"},
    };
    for (const auto& [section, message] : cases) {
        SCOPED_TRACE(section);
        expect_error<tarvik_core::ValueError>([&] { load(section); }, "o.json: " + message);
    }
}

TEST(ModelSessionSettings, TheHostWinsOverTheFileAndTheFileOverTheDefaultsKeyByKey) {
    auto orchestration = tarvik_core::Orchestration::from_json(
        orchestration_text(R"({"execution_providers": ["XProvider"], "intra_op_threads": 4})"), ".", "o.json");
    tarvik_core::AgentProcessorContext context{.orchestration = orchestration};
    context.model_session = {.intra_op_threads = 2, .allow_spinning = true};
    EXPECT_EQ(tarvik_core::model_session_settings(context),
              (ModelSessionSettings{.execution_providers = Providers{"XProvider"},
                                    .intra_op_threads = 2,
                                    .inter_op_threads = 1,
                                    .allow_spinning = true}));
    EXPECT_EQ(tarvik_core::model_session_settings(tarvik_core::AgentProcessorContext{}),
              ModelSessionSettings::defaults());
}

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

TEST(ModelSessionSettings, AnEnginesSessionRunsOnTheThreadsItWasGiven) {
    tarvik_test::TempDir dir;
    const auto path = tarvik_test::mlp_policy({.n_in = 4, .hidden = {8}, .n_out = 2}).write(dir / "m.onnx").string();
    tarvik_inference::GrafexEngine first(path);  // the process's runtime environment exists from here on
    EXPECT_EQ(first.settings(), ModelSessionSettings::defaults());

    // The intra-op pool has one thread fewer than the count: the caller runs
    // its share itself.
    for (const int intra : {1, 3}) {
        SCOPED_TRACE(intra);
        const std::size_t before = thread_count();
        tarvik_inference::GrafexEngine engine(path, ModelSessionSettings{.intra_op_threads = intra});
        EXPECT_EQ(thread_count() - before, static_cast<std::size_t>(intra - 1));
        EXPECT_EQ(engine.settings(),
                  ModelSessionSettings{.intra_op_threads = intra}.or_else(ModelSessionSettings::defaults()));
    }
}

}  // namespace
