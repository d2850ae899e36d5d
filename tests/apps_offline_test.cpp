// The programs run offline: a run writes nothing outside the paths it was
// given, not under the user's home folder (where ONNX Runtime's usage
// reporting would keep a device id and an event database), not in the
// temporary folder and not in the working folder.
#include <gtest/gtest.h>

#include "apps_support.hpp"

namespace {

using namespace apps_test;

// Every entry under `root`, folders included.
std::vector<std::string> entries(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) found.push_back(entry.path().string());
    return found;
}

TEST(Offline, RunsAndInspectionsWriteNothingOutsideTheirPaths) {
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"tarvik-run", TARVIK_RUN_EXE, {example_file("cartpole"), "--episodes", "1", "--max-steps", "20", "--quiet"}},
        {"tarvik-inspect", TARVIK_INSPECT_EXE, {example_file("pendulum")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tarvik_test::TempDir home, tmp, cwd;
        // The working folder is set by a shell, which then becomes the program.
        std::string command = "cd '" + cwd.path().string() + "' && exec '" + c.program + "'";
        for (const auto& arg : c.args) command += " '" + arg + "'";
        const auto result = run_program("/bin/sh", {"-c", command},
                                        {{"HOME", home.path().string()},
                                         {"TMPDIR", tmp.path().string()},
                                         {"XDG_CACHE_HOME", ""},
                                         {"ORT_DISABLE_TELEMETRY", ""}});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(entries(home.path()), std::vector<std::string>{});
        EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{});
        EXPECT_EQ(entries(cwd.path()), std::vector<std::string>{});
    }
}

}  // namespace
