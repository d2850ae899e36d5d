// tarvik-run: the command line, the console output and the JSON report of the
// run host (the episode loop itself is in episode_runner.hpp).
//
//   tarvik-run [ORCHESTRATION] [--sim SIMULATOR] [--sim-plugin LIBRARY]...
//              [--sim-timeout SECONDS] [--episodes N] [--max-steps N]
//              [--seed N] [--json] [--quiet] [--log-level LEVEL]
//
// SIMULATOR is a built-in name, plugin:NAME or exec:COMMAND
// (simulator_choice.hpp).
//
// Without ORCHESTRATION the bundled cart-pole example runs
// (<examples>/cartpole/orchestration.json, where <examples> is
// $TARVIK_EXAMPLES_DIR or the source tree's examples folder).
//
// Output: a heading, one line per completed episode and a summary on stdout;
// --quiet leaves only the summary; --json replaces all of it with one JSON
// object, printed after a failure too (the episodes that finished and the
// error). A progress bar goes to stderr for runs longer than about two
// seconds, only when stderr is a terminal and without --quiet.
//
// Exit status: 0 success, 2 a bad command line, 1 any other failure, with one
// line "tarvik-run: error: <message>" on stderr and no summary. Output that
// cannot be written (a full disk, a closed pipe) is a failure too.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "tarvik_apps/episode_runner.hpp"

namespace tarvik_apps {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// For main(), before anything else: writes to a pipe whose reader went away
// fail with EPIPE instead of killing the process, and every closed standard
// descriptor (0, 1, 2) gets /dev/null, so that no file the program opens later
// takes its number and receives output meant for the terminal. False when
// standard output was closed: the program has nowhere to put its results.
bool prepare_standard_streams();

// Runs the program. `progress_allowed` says whether `err` is a terminal.
int run_command(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool progress_allowed);

// The orchestration the host runs when none is given.
std::string default_orchestration_path();

// One line per completed episode, without the newline.
std::string format_episode_line(const EpisodeResult& episode);
// The multi-line summary, ending in a newline.
std::string format_summary(const RunSummary& summary);
// The report as one JSON object: the episodes, the summary (null unless the
// run completed) and the error (null unless it failed).
nlohmann::ordered_json report_json(const RunReport& report, const std::optional<std::string>& error = std::nullopt);

}  // namespace tarvik_apps
