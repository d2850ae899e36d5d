// Shared by the command-line host tests: running the built programs as child
// processes with their output captured, and the bundled examples' locations.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

extern char** environ;

namespace apps_test {

namespace fs = std::filesystem;

inline fs::path examples_dir() { return fs::path(TARVIK_SOURCE_DIR) / "examples"; }
inline std::string example_file(const std::string& name) {
    return (examples_dir() / name / "orchestration.json").string();
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ProcessResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Where a child's standard output goes: a file read back afterwards, another
// path (such as /dev/full), nowhere at all (the descriptor closed), or a pipe
// whose reader has gone.
struct Output {
    std::string path;  // empty: captured
    bool closed = false;
    bool broken_pipe = false;
};

// Runs `program` with `args`; stdout and stderr go to files (not pipes, so a
// chatty child can never block on a full pipe) that are read back afterwards.
// `environment` entries are added to (or replace) this process's environment;
// an empty value removes the variable.
inline ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& environment = {},
                                 const Output& output = {}) {
    tarvik_test::TempDir capture;
    const std::string out_path = (capture / "stdout").string();
    const std::string err_path = (capture / "stderr").string();

    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> changes = environment;
    // Under the leak checker, a child would append its suppression report to
    // stderr, which the tests compare exactly.
    if (const char* lsan = std::getenv("LSAN_OPTIONS"); lsan && !changes.count("LSAN_OPTIONS"))
        changes["LSAN_OPTIONS"] = std::string(lsan) + ":print_suppressions=0";
    std::vector<std::string> env_text;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (!changes.count(name)) env_text.push_back(text);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    int pipe_ends[2] = {-1, -1};
    if (output.broken_pipe && pipe(pipe_ends) == 0) {
        close(pipe_ends[0]);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    } else if (output.closed)
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.path.empty() ? out_path.c_str() : output.path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_ends[1] >= 0) close(pipe_ends[1]);
    ProcessResult result;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": error " << spawned;
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (fs::exists(out_path)) result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

inline ProcessResult run_tarvik_run(const std::vector<std::string>& args,
                                    const std::map<std::string, std::string>& environment = {},
                                    const Output& output = {}) {
    return run_program(TARVIK_RUN_EXE, args, environment, output);
}
inline ProcessResult run_tarvik_inspect(const std::vector<std::string>& args,
                                        const std::map<std::string, std::string>& environment = {},
                                        const Output& output = {}) {
    return run_program(TARVIK_INSPECT_EXE, args, environment, output);
}

// A copy of an example folder (orchestration, models, plugin sources) in
// `into`/<name>; returns the copied orchestration file. The plugin is named by
// bare file name, so the copy still finds it beside the runtime's libraries.
inline std::string copy_example(const std::string& name, const fs::path& into) {
    fs::copy(examples_dir() / name, into / name, fs::copy_options::recursive);
    return (into / name / "orchestration.json").string();
}

// Every file under `root` with its bytes, to prove that nothing was written.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[entry.path().string()] = read_file(entry.path());
    return files;
}

inline std::size_t count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

}  // namespace apps_test
