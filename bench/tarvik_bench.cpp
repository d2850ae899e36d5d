// tarvik_bench: the cost of one step, next to the bare model runs it contains.
//
// For each policy size (tiny: 4 -> 64 -> 64 -> 2, medium: 200 -> 256 -> 256 ->
// 16) the program measures, in one process and in this order:
//   bare/<size>/skill_model, bare/<size>/orchestrator_model
//       one ONNX Runtime run of the model file, same session options, inputs
//       built once: the floor;
//   grafex/<size>            GrafexEngine::get_action_dist_inputs;
//   actuon_step/<size>       one skill step, readings to action, with a
//                            teacher mask and a simulator mask;
//   orchestration_step/<size> one step of orchestrator (model) + skill (model);
//   runvane_execute/<size>   Runvane::execute on that orchestration;
//   sync_execute/<size>      the processors' synchronous execute (fresh loop).
// Asynchronous rows are awaited inside one coroutine that runs the whole
// measurement on one io_context, so the loop's start-up is not in the step.
//
// Counters of every row: step_us (time per step), allocs (heap allocations
// per step, counted by the replaced operator new and aligned_alloc), bare_us (the sum of the medians
// of the bare runs the step contains), over_us (step_us - bare_us),
// over_per_level_us (over_us / model levels) and x_bare (step_us / bare_us).
// A summary table of medians over the repetitions and the state of the goals
// follow the usual output.
//
//   tarvik_bench [--benchmark_filter=tiny] [--benchmark_repetitions=N] ...
//   TARVIK_BENCH_ITERATIONS=1000 tarvik_bench ...   (fixed step counts, for profilers)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "alloc_counter.hpp"
#include "scenario.hpp"
#include "tarvik_core/logging.hpp"

namespace tarvik_bench {
namespace {

using Clock = std::chrono::steady_clock;
using tarvik_core::Task;
using tarvik_core::Value;

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// Counters of every reported run, by benchmark name, in the order the rows
// ran: the value of each repetition, and the medians the library computes
// over them (only those reach the console with aggregates-only display).
struct Row {
    std::string name;
    std::map<std::string, std::vector<double>> counters;
    std::map<std::string, double> medians;
};
std::vector<Row>& rows() {
    static std::vector<Row> all;
    return all;
}
Row* find_row(const std::string& name) {
    for (auto& row : rows())
        if (row.name == name) return &row;
    return nullptr;
}

// The console output, plus a copy of each reported repetition's counters for
// the bare floors and the summary.
class CapturingReporter : public benchmark::ConsoleReporter {
public:
    CapturingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool repetition = run.run_type == Run::RT_Iteration;
            if (!repetition && run.aggregate_name != "median") continue;
            Row* row = find_row(run.run_name.function_name);
            if (!row) row = &rows().emplace_back(Row{run.run_name.function_name, {}, {}});
            for (const auto& [key, counter] : run.counters) {
                if (repetition) row->counters[key].push_back(counter.value);
                else row->medians[key] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// The median of a counter over a row's repetitions; -1 when the row did not
// run or has no such counter.
double row_median(const std::string& name, const std::string& counter) {
    const Row* row = find_row(name);
    if (!row) return -1.0;
    if (auto m = row->medians.find(counter); m != row->medians.end()) return m->second;
    auto it = row->counters.find(counter);
    return it == row->counters.end() || it->second.empty() ? -1.0 : median(it->second);
}

// Median step time of a bare row. When the row did not run (filtered out),
// the floor is measured here: nine batches of runs, the median batch.
double bare_floor_us(const std::string& bare_row, BareSession& session) {
    if (const double known = row_median(bare_row, "step_us"); known > 0.0) return known;
    for (int i = 0; i < 200; ++i) benchmark::DoNotOptimize(session.run());
    std::vector<double> batches;
    for (int b = 0; b < 9; ++b) {
        constexpr int kRuns = 500;
        const auto t0 = Clock::now();
        for (int i = 0; i < kRuns; ++i) benchmark::DoNotOptimize(session.run());
        batches.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kRuns);
    }
    return median(batches);
}

// Time and allocations of the timed loop, turned into the row's counters.
class Meter {
public:
    void start() {
        allocations_ = allocations();
        start_ = Clock::now();
    }
    void stop() {
        const auto end = Clock::now();
        allocations_ = allocations() - allocations_;
        elapsed_us_ = std::chrono::duration<double, std::micro>(end - start_).count();
    }
    // `bare_us` 0 marks a bare row itself.
    void report(benchmark::State& state, double bare_us, int levels) const {
        const double steps = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
        const double step_us = elapsed_us_ / steps;
        state.counters["step_us"] = step_us;
        state.counters["allocs"] = static_cast<double>(allocations_) / steps;
        if (bare_us <= 0.0) return;
        state.counters["bare_us"] = bare_us;
        state.counters["over_us"] = step_us - bare_us;
        state.counters["over_per_level_us"] = (step_us - bare_us) / levels;
        state.counters["x_bare"] = step_us / bare_us;
    }

private:
    Clock::time_point start_;
    std::uint64_t allocations_ = 0;
    double elapsed_us_ = 0.0;
};

// Awaits `step()` once per iteration inside one coroutine on one io_context.
Task<void> awaited_steps(benchmark::State& state, const std::function<Task<Value>()>& step) {
    for (auto _ : state) {
        Value action = co_await step();
        benchmark::DoNotOptimize(action);
    }
}

// Every timed loop runs inside this one function, kept out of line so that a
// profiler can collect exactly the measured steps:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*measured_loop*'
[[gnu::noinline]] void measured_loop(Meter& meter, const std::function<void()>& loop) {
    meter.start();
    loop();
    meter.stop();
}

void measure_sync(benchmark::State& state, Meter& meter, const std::function<void()>& step) {
    measured_loop(meter, [&] {
        for (auto _ : state) step();
    });
}

void measure_awaited(benchmark::State& state, Meter& meter, const std::function<Task<Value>()>& step) {
    boost::asio::io_context io(1);
    std::exception_ptr failure;
    boost::asio::co_spawn(io, awaited_steps(state, step), [&](std::exception_ptr e) { failure = e; });
    // The loop's start-up and the coroutine's first resumption happen inside
    // run(); both are once per measurement, not per step.
    measured_loop(meter, [&] { io.run(); });
    if (failure) std::rethrow_exception(failure);
}

// One model level (skill) or two (orchestrator + skill).
struct Floors {
    double skill_us;
    double orchestration_us;
};

Floors floors_of(Scenario& s) {
    const std::string& label = s.size.label;
    const double skill = bare_floor_us("bare/" + label + "/skill_model", s.bare_skill());
    const double top = bare_floor_us("bare/" + label + "/orchestrator_model", s.bare_orchestrator());
    return {skill, skill + top};
}

void guarded(benchmark::State& state, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void bench_bare(benchmark::State& state, const PolicySize* size, bool orchestrator_model) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        BareSession& session = orchestrator_model ? s.bare_orchestrator() : s.bare_skill();
        Meter meter;
        measure_sync(state, meter, [&] { benchmark::DoNotOptimize(session.run()); });
        meter.report(state, 0.0, 1);
    });
}

void bench_grafex(benchmark::State& state, const PolicySize* size) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        const double bare = floors_of(s).skill_us;
        Meter meter;
        auto& engine = s.engine();
        measure_sync(state, meter, [&] {
            tarvik_core::NdArray logits = engine.get_action_dist_inputs(s.observation, &s.model_mask);
            benchmark::DoNotOptimize(logits);
        });
        meter.report(state, bare, 1);
    });
}

tarvik_inference::ExecuteArgs step_args(const Scenario& s) {
    return tarvik_inference::ExecuteArgs{.sim_action_mask = s.sim_action_mask};
}

void bench_actuon(benchmark::State& state, const PolicySize* size) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        const double bare = floors_of(s).skill_us;
        Meter meter;
        auto& skill = s.skill();
        measure_awaited(state, meter, [&] { return skill._execute(s.readings, step_args(s)); });
        meter.report(state, bare, 1);
    });
}

void bench_orchestration(benchmark::State& state, const PolicySize* size) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        const double bare = floors_of(s).orchestration_us;
        Meter meter;
        auto& orchestrator = s.orchestrator();
        measure_awaited(state, meter, [&] { return orchestrator._execute(s.readings, step_args(s)); });
        meter.report(state, bare, 2);
    });
}

void bench_runvane(benchmark::State& state, const PolicySize* size) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        const double bare = floors_of(s).orchestration_us;
        Meter meter;
        auto& runvane = s.runvane();
        measure_awaited(state, meter, [&] {
            return runvane.execute(s.readings, tarvik_inference::RunvaneExecuteArgs{.sim_action_mask = s.sim_action_mask});
        });
        meter.report(state, bare, 2);
    });
}

void bench_sync_execute(benchmark::State& state, const PolicySize* size) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*size);
        const double bare = floors_of(s).orchestration_us;
        Meter meter;
        auto& orchestrator = s.orchestrator();
        measure_sync(state, meter, [&] {
            Value action = orchestrator.execute(s.readings, {.sim_action_mask = s.sim_action_mask});
            benchmark::DoNotOptimize(action);
        });
        meter.report(state, bare, 2);
    });
}

// TARVIK_BENCH_ITERATIONS=N fixes every row's iteration count, for runs
// under a profiler where timing-driven counts make no sense.
benchmark::IterationCount fixed_iterations() {
    const char* text = std::getenv("TARVIK_BENCH_ITERATIONS");
    return text ? std::max<benchmark::IterationCount>(std::atoll(text), 0) : 0;
}

void register_all() {
    for (const PolicySize* size : {&tiny_policy(), &medium_policy()}) {
        const std::string l = size->label;
        auto add = [](const std::string& name, auto fn) {
            auto* b = benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond)->UseRealTime();
            if (const auto n = fixed_iterations(); n > 0) b->Iterations(n);
        };
        add("bare/" + l + "/skill_model", [size](benchmark::State& st) { bench_bare(st, size, false); });
        add("bare/" + l + "/orchestrator_model", [size](benchmark::State& st) { bench_bare(st, size, true); });
        add("grafex/" + l, [size](benchmark::State& st) { bench_grafex(st, size); });
        add("actuon_step/" + l, [size](benchmark::State& st) { bench_actuon(st, size); });
        add("orchestration_step/" + l, [size](benchmark::State& st) { bench_orchestration(st, size); });
        add("runvane_execute/" + l, [size](benchmark::State& st) { bench_runvane(st, size); });
        add("sync_execute/" + l, [size](benchmark::State& st) { bench_sync_execute(st, size); });
    }
}

void print_summary() {
    if (rows().empty()) return;
    std::printf("\nMedians over the repetitions (times in microseconds per step):\n\n");
    std::printf("| row | step | bare | overhead | per level | x bare | allocs |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows()) {
        const bool bare = row_median(row.name, "bare_us") < 0.0;
        auto cell = [&](const char* counter, const char* format) {
            char buf[32] = "";
            if (!bare) std::snprintf(buf, sizeof buf, format, row_median(row.name, counter));
            return std::string(buf);
        };
        std::printf("| %s | %.2f | %s | %s | %s | %s | %.1f |\n", row.name.c_str(), row_median(row.name, "step_us"),
                    cell("bare_us", "%.2f").c_str(), cell("over_us", "%.2f").c_str(),
                    cell("over_per_level_us", "%.2f").c_str(), cell("x_bare", "%.3f").c_str(),
                    row_median(row.name, "allocs"));
    }

    std::printf("\nGoals:\n");
    auto goal = [](const std::string& row, const char* counter, double limit, const char* what) {
        const double value = row_median(row, counter);
        if (value < 0.0) return;
        std::printf("  %-28s %-34s %8.3f (limit %.3f): %s\n", row.c_str(), what, value, limit,
                    value <= limit ? "met" : "NOT met");
    };
    for (const char* row : {"actuon_step/tiny", "orchestration_step/tiny", "runvane_execute/tiny"})
        goal(row, "over_per_level_us", 2.0, "overhead per level (us)");
    goal("runvane_execute/tiny", "x_bare", 1.3, "whole step / bare runs");
    goal("runvane_execute/medium", "x_bare", 1.05, "whole step / bare runs");
}

}  // namespace
}  // namespace tarvik_bench

int main(int argc, char** argv) {
    // Steadier defaults than a single run; later flags on the command line
    // override them.
    std::vector<char*> args{argv[0]};
    std::string defaults[] = {"--benchmark_repetitions=7", "--benchmark_min_time=0.2",
                              "--benchmark_display_aggregates_only=true"};
    for (auto& flag : defaults) args.push_back(flag.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());

    tarvik_core::set_default_log_level(tarvik_core::LogLevel::warning);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    tarvik_bench::register_all();
    tarvik_bench::CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    tarvik_bench::print_summary();
    benchmark::Shutdown();
    return 0;
}
