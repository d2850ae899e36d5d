// ModelSessionSettings: how the runtime runs its models in ONNX Runtime.
//
// Three settings reach every model session: the execution providers to try,
// the thread counts, and whether ONNX Runtime's worker threads spin while
// they wait. Each field is optional, and an unset field takes its value from
// the next source in line, field by field:
//
//   the host's configuration ("model_session" in the Runvane / TrainerConfig
//   mapping)  >  the orchestration file's "model_session" section  >  defaults()
//
// So a host can pin the thread count of a deployment without editing its
// files, and a file can ask for a GPU that a host leaves alone.
//
// The defaults favour the latency of one step of a small policy: one thread,
// no spinning (docs/performance.md has the measurements behind them).
//
// Errors: from_value() raises TypeError for unknown keys and wrongly typed
// values, ValueError for values out of range, each naming the setting
// ("model_session.intra_op_threads: expected ...").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik_core {

class Value;

struct ModelSessionSettings {
    // Tried in order; "CPUExecutionProvider" is always there as the last
    // resort. A provider this ONNX Runtime lacks, or cannot set up on this
    // machine, is skipped with a warning.
    std::optional<std::vector<std::string>> execution_providers;
    // Threads one model run may use (ONNX Runtime's intra-op pool, counting
    // the caller's own thread); 0 lets ONNX Runtime choose (one per core).
    std::optional<int> intra_op_threads;
    // Threads that run independent branches of a graph at once. 1 runs the
    // nodes one after another; any other value turns on ONNX Runtime's
    // parallel execution (0: ONNX Runtime chooses the count).
    std::optional<int> inter_op_threads;
    // Whether idle worker threads spin instead of sleeping: lower wake-up
    // latency, paid for with busy cores.
    std::optional<bool> allow_spinning;

    static constexpr int kMaxThreads = 1024;

    // The values used where nothing else sets a field.
    static ModelSessionSettings defaults();
    // This one's fields where they are set, `fallback`'s elsewhere.
    ModelSessionSettings or_else(const ModelSessionSettings& fallback) const;
    // Reads a mapping such as {"intra_op_threads": 2, "allow_spinning": false};
    // None gives no settings. Messages start with `where` and the key.
    static ModelSessionSettings from_value(const Value& value, std::string_view where = "model_session");

    friend bool operator==(const ModelSessionSettings&, const ModelSessionSettings&) = default;
};

// The checks both readers share: what is wrong with a value, or nothing.
std::optional<std::string> thread_count_problem(std::int64_t count);
std::optional<std::string> execution_providers_problem(const std::vector<std::string>& providers);

}  // namespace tarvik_core
