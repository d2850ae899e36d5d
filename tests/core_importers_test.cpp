// Modules of other languages named by orchestration files: the "imports" key,
// and the importer hook that init() runs after the plugins.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/importers.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/orchestration.hpp"

namespace {

using namespace tarvik_core;
using tarvik_test::expect_error;

class ImportedTeacher : public Teacher {};

std::string file_with_imports(const std::string& imports) {
    return R"({"id": "imp", "imports": )" + imports + R"(,
      "sensors": [],
      "agents": [{"name": "a", "kind": "skill", "teacher": "from_lua",
                  "action_space": {"type": "Discrete", "n": 2}}]})";
}

// Installs an importer for "lua" for the duration of a test.
class Importers : public ::testing::Test {
protected:
    void TearDown() override { install_importer("lua", nullptr); }
};

TEST_F(Importers, ImportsRunInFileOrderAfterPluginsAndRegisterWithTheirOrigin) {
    std::vector<std::string> seen;
    install_importer("lua", [&](const ModuleImport& request, Registry& registry) {
        seen.push_back(request.module + " " + request.json_path + " " + request.base_dir);
        if (request.module == "teachers")
            registry.add_teacher("from_lua", [] { return std::make_shared<ImportedTeacher>(); });
    });
    auto orch = Orchestration::from_json(file_with_imports(R"({"lua": ["base", "teachers"]})"), "/x", "mem");
    EXPECT_EQ(orch->implementation_names(), std::vector<std::string>{"from_lua"});
    run_sync(orch->init());
    EXPECT_EQ(seen, (std::vector<std::string>{"base $.imports.lua[0] /x", "teachers $.imports.lua[1] /x"}));
    EXPECT_EQ(orch->registry().get("from_lua")->origin(), "lua module teachers");
    EXPECT_EQ(orch->registry().origin(), "host");
}

TEST_F(Importers, MissingImporterOrFailingImportLeavesTheOrchestrationAsItWas) {
    auto orch = Orchestration::from_json(file_with_imports(R"({"lua": ["teachers"]})"), "/x", "mem");
    expect_error<ImportError>([&] { run_sync(orch->init()); },
                              "mem: $.imports.lua[0]: cannot import lua module 'teachers': no importer for lua "
                              "modules is installed (a lua host must load this orchestration)");

    install_importer("lua", [](const ModuleImport&, Registry& registry) {
        registry.add_teacher("from_lua", [] { return std::make_shared<ImportedTeacher>(); });
        throw ValueError("syntax error at line 3");
    });
    try {
        run_sync(orch->init());
        ADD_FAILURE() << "init succeeded";
    } catch (const ImportError& e) {
        EXPECT_STREQ(e.what(), "mem: $.imports.lua[0]: cannot import lua module 'teachers': syntax error at line 3");
        ASSERT_TRUE(e.cause());
        expect_error<ValueError>([&] { std::rethrow_exception(e.cause()); }, "syntax error at line 3");
    }
    EXPECT_FALSE(orch->is_initialized());
    EXPECT_EQ(orch->registry().find("from_lua"), nullptr);
    EXPECT_EQ(orch->registry().origin(), "host");
}

TEST_F(Importers, ImportsMustBeAnObjectOfModuleLists) {
    struct Case { const char* imports; const char* message; };
    for (const auto& c : {Case{R"(["x"])", "mem: $.imports: expected an object, got array"},
                          Case{R"({"lua": "x"})", "mem: $.imports.lua: expected an array, got string"},
                          Case{R"({"lua": ["x", "x"]})", "mem: $.imports.lua[1]: 'x' is listed twice (also at $.imports.lua[0])"},
                          Case{R"({"lua": [""]})", "mem: $.imports.lua[0]: expected a non-empty string"}}) {
        SCOPED_TRACE(c.imports);
        expect_error<ValueError>([&] { Orchestration::from_json(file_with_imports(c.imports), "/x", "mem"); },
                                 c.message);
    }
}

}  // namespace
