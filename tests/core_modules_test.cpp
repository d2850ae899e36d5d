// Module loading: where modules are looked for, what a failed import says,
// caching, entry points; and the use-before-init guard.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/modelaid.hpp"
#include "tarvik_core/modules.hpp"

using namespace tarvik_core;
namespace fs = std::filesystem;

namespace {

using tarvik_test::expect_error;

// Where the build puts tarvik_core and every module.
std::string core_folder() { return fs::weakly_canonical(TARVIK_TEST_PLUGIN_DIR).string(); }

fs::path modelaid_library() { return fs::path(core_folder()) / "libtarvik_inference_modelaid.so"; }

// Sets TARVIK_MODULE_PATH for one test and restores it afterwards.
class ModuleImport : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("TARVIK_MODULE_PATH")) saved_ = old;
        ::unsetenv("TARVIK_MODULE_PATH");
    }
    void TearDown() override {
        if (saved_) ::setenv("TARVIK_MODULE_PATH", saved_->c_str(), 1);
        else ::unsetenv("TARVIK_MODULE_PATH");
    }
    void set_module_path(const std::string& value) { ::setenv("TARVIK_MODULE_PATH", value.c_str(), 1); }

    tarvik_test::TempDir first, second;

private:
    std::optional<std::string> saved_;
};

TEST_F(ModuleImport, MissingModuleNamesEveryFolderLookedInOrder) {
    set_module_path(first.path().string() + "::" + second.path().string() + ":");
    expect_error([] { import_module("tarvik_test.nowhere"); }, "ImportError",
                 "No module named 'tarvik_test.nowhere' (looked in: " + first.path().string() + ", " +
                     second.path().string() + ", " + core_folder() + ")");
}

TEST_F(ModuleImport, LoadsModelaidFromTheCoreFolderOnceAndExposesItsEntryPoint) {
    const Module& module = import_module("tarvik_inference.modelaid");
    EXPECT_EQ(module.name(), "tarvik_inference.modelaid");
    EXPECT_EQ(fs::path(module.path()), modelaid_library());
    EXPECT_EQ(&import_module("tarvik_inference.modelaid"), &module) << "a module is opened once per process";
    void* entry = module.symbol(kEnsureOnnxModelHasActionMaskSymbol);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(bind_ensure_onnx_model_has_action_mask()), entry);
}

TEST_F(ModuleImport, MissingEntryPointNamesModuleAndSymbol) {
    const Module& module = import_module("tarvik_inference.modelaid");
    expect_error([&] { module.symbol("tarvik_no_such_entry"); }, "ImportError",
                 "module 'tarvik_inference.modelaid' has no entry point 'tarvik_no_such_entry'");
}

TEST_F(ModuleImport, ModulePathIsSearchedAndFailuresAreNotCached) {
    set_module_path(first.path().string() + ":" + second.path().string());
    EXPECT_THROW(import_module("tarvik_test.late_arrival"), ImportError);
    // The module appears afterwards, in the second folder: the next import finds it.
    fs::copy_file(modelaid_library(), second.path() / "libtarvik_test_late_arrival.so");
    const Module& module = import_module("tarvik_test.late_arrival");
    EXPECT_EQ(fs::path(module.path()), second.path() / "libtarvik_test_late_arrival.so");
    EXPECT_NE(module.symbol(kEnsureOnnxModelHasActionMaskSymbol), nullptr);
}

TEST_F(ModuleImport, UnloadableFileIsReportedWithTheLoadersReason) {
    set_module_path(first.path().string() + ":" + second.path().string());
    const fs::path broken = second.write("libtarvik_test_broken.so", "not a shared library");
    try {
        import_module("tarvik_test.broken");
        FAIL() << "a file that is no library must not import";
    } catch (const ImportError& e) {
        const std::string prefix = "cannot load module 'tarvik_test.broken' from " + broken.string() + ": ";
        const std::string message = e.what();
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
        EXPECT_GT(message.size(), prefix.size()) << "the loader's own reason follows";
    }
}

TEST_F(ModuleImport, NamesThatCouldLeaveTheModuleFoldersAreRefused) {
    for (const char* name : {"", ".hidden", "trailing.", "a..b", "../../etc/passwd", "a/b", "tarvik inference"}) {
        SCOPED_TRACE(name);
        expect_error([&] { import_module(name); }, "ValueError",
                     "invalid module name '" + std::string(name) +
                         "': expected a dotted name such as 'tarvik_inference.grafex'");
    }
}

namespace demo {
class Conductrix {};
}  // namespace demo

TEST(InitGuard, UseBeforeInitNamesTheClassAndTheOperation) {
    expect_error([] { ensure_cls_is_initialized(typeid(demo::Conductrix), false, "execute"); }, "RuntimeError",
                 "Conductrix.execute() called before init() completed");
    EXPECT_NO_THROW(ensure_cls_is_initialized(typeid(demo::Conductrix), true, "execute"));
}

}  // namespace
