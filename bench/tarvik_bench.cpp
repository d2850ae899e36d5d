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
//   paced/<size>             a paced control loop: each step follows a 1 ms
//                            pause, alternating one awaited step of the top
//                            processor (timed inside the host's loop) with
//                            one synchronous execute; step_us is the
//                            synchronous step, async_us the awaited one,
//                            sync_over_async_us the median of their
//                            differences. Cold caches after each pause make
//                            fixed per-call costs show more than back to back.
// Asynchronous rows are awaited inside one coroutine that runs the whole
// measurement on one io_context, so the loop's start-up is not in the step.
//
//   growth/depth<d>          one step of a chain of d tiny levels;
//   growth/sensors<N>[_teacher] one skill step over 1,000 values in N sensors,
//                            without a teacher or with one that rebuilds the mapping.
//
// Every step is timed on its own, and after every batch of steps the bare
// runs the step contains are run as many times (the Recorder), so each step
// row carries its own floor measured under the same load. Counters: step_us,
// bare_us, over_us, over_per_level_us, x_bare (median of the batches'
// ratios) with x_p10 and x_p90 (their spread), allocs (heap allocations per
// step, counted by the replaced operator new and aligned_alloc), bare_allocs
// (those of the interleaved bare runs) and own_allocs (the difference: the
// runtime's own). A summary table of medians over the repetitions, the state
// of the goals and the cost-growth table follow the usual output.
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
#include <thread>
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

// A bare model run a step contains, `runs` times per step.
struct Floor {
    BareSession* session;
    int runs;
};

// TARVIK_BENCH_ITERATIONS=N fixes every row's iteration count, for runs
// under a profiler where timing-driven counts make no sense; such runs do
// not interleave the floors (the profiler counts the bare rows on their own).
benchmark::IterationCount fixed_iterations() {
    const char* text = std::getenv("TARVIK_BENCH_ITERATIONS");
    return text ? std::max<benchmark::IterationCount>(std::atoll(text), 0) : 0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double at = p * static_cast<double>(values.size() - 1);
    const auto lo = static_cast<std::size_t>(at);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (at - static_cast<double>(lo));
}

// Times every step on its own and, after every batch of steps, the same
// number of bare runs of the models the step contains, so that each batch
// has its own floor measured under the same machine load. A row's ratio is
// the median of its batches' ratios, and the spread their 10th and 90th
// percentiles. Allocations are counted for the steps and for the bare runs
// separately; what the steps make beyond the bare runs is the runtime's own.
class Recorder {
public:
    static constexpr int kBatch = 64;

    Recorder(benchmark::State& state, std::vector<Floor> floors)
        : state_(state), floors_(std::move(floors)), profiling_(fixed_iterations() > 0) {}

    void before_step() {
        allocations_at_ = allocations();
        if (!profiling_) start_ = Clock::now();
    }
    void after_step() {
        if (!profiling_) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
            state_.SetIterationTime(seconds);
            batch_seconds_ += seconds;
        }
        step_allocations_ += allocations() - allocations_at_;
        ++steps_;
        if (++in_batch_ == kBatch) close_batch();
    }

    // `levels` model levels per step; a row without floors is a bare row.
    void report(int levels) {
        // A row too slow for a whole batch still gets its floor.
        if (in_batch_ > 0) close_batch();
        const double steps = static_cast<double>(std::max<std::uint64_t>(steps_, 1));
        state_.counters["allocs"] = static_cast<double>(step_allocations_) / steps;
        if (profiling_) return;
        state_.counters["step_us"] = median(step_us_);
        if (floors_.empty() || bare_us_.empty()) return;
        std::vector<double> over, ratio;
        for (std::size_t i = 0; i < step_us_.size(); ++i) {
            over.push_back(step_us_[i] - bare_us_[i]);
            ratio.push_back(step_us_[i] / bare_us_[i]);
        }
        const double bare_allocs = static_cast<double>(bare_allocations_) / static_cast<double>(bare_steps_);
        state_.counters["bare_us"] = median(bare_us_);
        state_.counters["over_us"] = median(over);
        state_.counters["over_per_level_us"] = median(over) / levels;
        state_.counters["x_bare"] = median(ratio);
        state_.counters["x_p10"] = percentile(ratio, 0.1);
        state_.counters["x_p90"] = percentile(ratio, 0.9);
        state_.counters["bare_allocs"] = bare_allocs;
        state_.counters["own_allocs"] = static_cast<double>(step_allocations_) / steps - bare_allocs;
    }

private:
    void close_batch() {
        if (!profiling_) {
            step_us_.push_back(batch_seconds_ * 1e6 / in_batch_);
            if (!floors_.empty()) {
                const std::uint64_t a0 = allocations();
                const auto t0 = Clock::now();
                for (int i = 0; i < in_batch_; ++i)
                    for (const Floor& floor : floors_)
                        for (int r = 0; r < floor.runs; ++r) benchmark::DoNotOptimize(floor.session->run());
                const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
                bare_allocations_ += allocations() - a0;
                bare_steps_ += static_cast<std::uint64_t>(in_batch_);
                bare_us_.push_back(us / in_batch_);
            }
        }
        in_batch_ = 0;
        batch_seconds_ = 0.0;
    }

    benchmark::State& state_;
    std::vector<Floor> floors_;
    bool profiling_;
    Clock::time_point start_;
    std::uint64_t allocations_at_ = 0;
    std::uint64_t step_allocations_ = 0, bare_allocations_ = 0;
    std::uint64_t steps_ = 0, bare_steps_ = 0;
    int in_batch_ = 0;
    double batch_seconds_ = 0.0;
    std::vector<double> step_us_, bare_us_;
};

// Every timed loop runs inside this one function, kept out of line so that a
// profiler can collect exactly the measured steps:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*measured_loop*'
[[gnu::noinline]] void measured_loop(const std::function<void()>& loop) { loop(); }

void measure_sync(benchmark::State& state, Recorder& recorder, const std::function<void()>& step) {
    measured_loop([&] {
        for (auto _ : state) {
            recorder.before_step();
            step();
            recorder.after_step();
        }
    });
}

// Awaits `step()` once per iteration inside one coroutine on one io_context.
Task<void> awaited_steps(benchmark::State& state, Recorder& recorder, const std::function<Task<Value>()>& step) {
    for (auto _ : state) {
        recorder.before_step();
        Value action = co_await step();
        recorder.after_step();
        benchmark::DoNotOptimize(action);
    }
}

void measure_awaited(benchmark::State& state, Recorder& recorder, const std::function<Task<Value>()>& step) {
    boost::asio::io_context io(1);
    std::exception_ptr failure;
    boost::asio::co_spawn(io, awaited_steps(state, recorder, step), [&](std::exception_ptr e) { failure = e; });
    // The loop's start-up and the coroutine's first resumption happen inside
    // run(); both are once per measurement, not per step.
    measured_loop([&] { io.run(); });
    if (failure) std::rethrow_exception(failure);
}

// The bare runs of one step: the skill's model, and one orchestrator model
// per level above it.
std::vector<Floor> floors_of(Scenario& s, int levels) {
    std::vector<Floor> floors{{&s.bare_skill(), 1}};
    if (levels > 1) floors.push_back({&s.bare_orchestrator(), levels - 1});
    return floors;
}

void guarded(benchmark::State& state, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void bench_bare(benchmark::State& state, const ScenarioSpec* scenario_spec, bool orchestrator_model) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        BareSession& session = orchestrator_model ? s.bare_orchestrator() : s.bare_skill();
        Recorder recorder(state, {});
        measure_sync(state, recorder, [&] { benchmark::DoNotOptimize(session.run()); });
        recorder.report(1);
    });
}

void bench_grafex(benchmark::State& state, const ScenarioSpec* scenario_spec) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        auto& engine = s.engine();
        Recorder recorder(state, floors_of(s, 1));
        measure_sync(state, recorder, [&] {
            tarvik_core::NdArray logits = engine.get_action_dist_inputs(s.observation, &s.model_mask);
            benchmark::DoNotOptimize(logits);
        });
        recorder.report(1);
    });
}

tarvik_inference::ExecuteArgs step_args(const Scenario& s) {
    return tarvik_inference::ExecuteArgs{.sim_action_mask = s.sim_action_mask};
}

// One awaited step of `processor` per iteration; `levels` model levels.
void bench_processor(benchmark::State& state, const ScenarioSpec* scenario_spec, bool top, int levels) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        auto& processor = top ? s.top() : s.skill();
        Recorder recorder(state, floors_of(s, levels));
        measure_awaited(state, recorder, [&] { return processor._execute(s.readings, step_args(s)); });
        recorder.report(levels);
    });
}

void bench_runvane(benchmark::State& state, const ScenarioSpec* scenario_spec) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        auto& runvane = s.runvane();
        Recorder recorder(state, floors_of(s, scenario_spec->depth));
        measure_awaited(state, recorder, [&] {
            return runvane.execute(s.readings, tarvik_inference::RunvaneExecuteArgs{.sim_action_mask = s.sim_action_mask});
        });
        recorder.report(scenario_spec->depth);
    });
}

void bench_sync_execute(benchmark::State& state, const ScenarioSpec* scenario_spec) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        auto& top = s.top();
        Recorder recorder(state, floors_of(s, scenario_spec->depth));
        measure_sync(state, recorder, [&] {
            Value action = top.execute(s.readings, {.sim_action_mask = s.sim_action_mask});
            benchmark::DoNotOptimize(action);
        });
        recorder.report(scenario_spec->depth);
    });
}

// One awaited step of the top processor, timed inside the coroutine so that
// the host loop's own start-up is not part of it.
Task<void> timed_awaited_step(tarvik_inference::BaseAgentProcessor& top, const Scenario& s, double& us) {
    const auto start = Clock::now();
    Value action = co_await top._execute(s.readings, step_args(s));
    us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    benchmark::DoNotOptimize(action);
}

constexpr auto kPace = std::chrono::milliseconds(1);
constexpr benchmark::IterationCount kPacedSteps = 300;

void bench_paced(benchmark::State& state, const ScenarioSpec* scenario_spec) {
    guarded(state, [&] {
        Scenario& s = Scenario::of(*scenario_spec);
        auto& top = s.top();
        boost::asio::io_context host_loop(1);
        std::vector<double> sync_us, async_us, difference;
        std::uint64_t sync_allocations = 0;
        for (auto _ : state) {
            std::this_thread::sleep_for(kPace);
            double awaited = 0.0;
            std::exception_ptr failure;
            host_loop.restart();
            boost::asio::co_spawn(host_loop, timed_awaited_step(top, s, awaited),
                                  [&](std::exception_ptr e) { failure = e; });
            host_loop.run();
            if (failure) std::rethrow_exception(failure);

            std::this_thread::sleep_for(kPace);
            const std::uint64_t allocations_at = allocations();
            const auto start = Clock::now();
            Value action = top.execute(s.readings, {.sim_action_mask = s.sim_action_mask});
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            sync_allocations += allocations() - allocations_at;
            benchmark::DoNotOptimize(action);
            state.SetIterationTime(seconds);
            sync_us.push_back(seconds * 1e6);
            async_us.push_back(awaited);
            difference.push_back(seconds * 1e6 - awaited);
        }
        state.counters["step_us"] = median(sync_us);
        state.counters["async_us"] = median(async_us);
        state.counters["sync_over_async_us"] = median(difference);
        state.counters["allocs"] = static_cast<double>(sync_allocations) / static_cast<double>(sync_us.size());
    });
}

// The cost-growth scenarios: depth 1 to 5, and 4 to 1,000 sensors over the
// same 1,000 values with and without a teacher that rebuilds the mapping.
const std::vector<ScenarioSpec>& growth_specs() {
    static const std::vector<ScenarioSpec> specs = [] {
        std::vector<ScenarioSpec> out;
        for (int depth = 1; depth <= 5; ++depth) out.push_back(depth_spec(depth));
        for (bool teacher : {false, true})
            for (std::int64_t sensors : {4, 10, 100, 1000}) out.push_back(sensors_spec(sensors, teacher));
        return out;
    }();
    return specs;
}

void register_all() {
    auto add = [](const std::string& name, auto fn) {
        auto* b = benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond);
        if (const auto n = fixed_iterations(); n > 0) b->Iterations(n)->UseRealTime();
        else b->UseManualTime();
    };
    for (const ScenarioSpec* scenario_spec : {&tiny_policy(), &medium_policy()}) {
        const std::string l = scenario_spec->label;
        add("bare/" + l + "/skill_model", [scenario_spec](benchmark::State& st) { bench_bare(st, scenario_spec, false); });
        add("bare/" + l + "/orchestrator_model", [scenario_spec](benchmark::State& st) { bench_bare(st, scenario_spec, true); });
        add("grafex/" + l, [scenario_spec](benchmark::State& st) { bench_grafex(st, scenario_spec); });
        add("actuon_step/" + l, [scenario_spec](benchmark::State& st) { bench_processor(st, scenario_spec, false, 1); });
        add("orchestration_step/" + l, [scenario_spec](benchmark::State& st) { bench_processor(st, scenario_spec, true, 2); });
        add("runvane_execute/" + l, [scenario_spec](benchmark::State& st) { bench_runvane(st, scenario_spec); });
        add("sync_execute/" + l, [scenario_spec](benchmark::State& st) { bench_sync_execute(st, scenario_spec); });
    }
    // The pauses make these rows slow: a fixed number of steps each.
    for (const ScenarioSpec* scenario_spec : {&tiny_policy(), &medium_policy()}) {
        benchmark::RegisterBenchmark(("paced/" + scenario_spec->label).c_str(),
                                     [scenario_spec](benchmark::State& st) { bench_paced(st, scenario_spec); })
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(kPacedSteps)
            ->UseManualTime();
    }
    for (const ScenarioSpec& scenario_spec : growth_specs()) {
        const ScenarioSpec* p = &scenario_spec;
        add("growth/" + scenario_spec.label, [p](benchmark::State& st) { bench_runvane(st, p); });
    }
}

void print_summary() {
    if (rows().empty()) return;
    std::printf("\nMedians over the repetitions (times in microseconds per step; x bare is the median of the\n"
                "batches' ratios to their own interleaved bare runs, with the 10th to 90th percentile beside it):\n\n");
    std::printf("| row | step | bare | overhead | per level | x bare | spread | allocs | in bare runs | own |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows()) {
        const bool bare = row_median(row.name, "bare_us") < 0.0;
        auto cell = [&](const char* counter, const char* format) {
            char buf[32] = "";
            if (!bare) std::snprintf(buf, sizeof buf, format, row_median(row.name, counter));
            return std::string(buf);
        };
        std::string spread;
        if (!bare) spread = cell("x_p10", "%.3f") + " to " + cell("x_p90", "%.3f");
        std::printf("| %s | %.2f | %s | %s | %s | %s | %s | %.1f | %s | %s |\n", row.name.c_str(),
                    row_median(row.name, "step_us"), cell("bare_us", "%.2f").c_str(), cell("over_us", "%.2f").c_str(),
                    cell("over_per_level_us", "%.2f").c_str(), cell("x_bare", "%.3f").c_str(), spread.c_str(),
                    row_median(row.name, "allocs"), cell("bare_allocs", "%.1f").c_str(),
                    cell("own_allocs", "%.1f").c_str());
    }

    std::printf("\nGoals:\n");
    auto verdict = [](const std::string& what, double value, double limit) {
        std::printf("  %-58s %9.3f (limit %.3f): %s\n", what.c_str(), value, limit, value <= limit ? "met" : "NOT met");
    };
    auto goal = [&](const std::string& row, const char* counter, double limit, const char* what) {
        if (find_row(row)) verdict(row + " " + what, row_median(row, counter), limit);
    };
    for (const char* row : {"actuon_step/tiny", "orchestration_step/tiny", "runvane_execute/tiny"})
        goal(row, "over_per_level_us", 0.5, "overhead per level (us)");
    goal("runvane_execute/tiny", "x_bare", 1.15, "whole step / bare runs");
    goal("runvane_execute/medium", "x_bare", 1.05, "whole step / bare runs");
    for (const char* row : {"runvane_execute/tiny", "runvane_execute/medium"})
        goal(row, "own_allocs", 0.0, "allocations in our code");
    for (const char* size : {"tiny", "medium"}) {
        const double sync = row_median(std::string("sync_execute/") + size, "step_us");
        const double async = row_median(std::string("orchestration_step/") + size, "step_us");
        if (sync > 0.0 && async > 0.0)
            verdict(std::string("sync_execute/") + size + " beyond orchestration_step (us)", sync - async, 1.0);
    }
    for (const char* size : {"tiny", "medium"})
        goal(std::string("paced/") + size, "sync_over_async_us", 1.0, "sync beyond async (us)");
    for (const char* teacher : {"", "_teacher"}) {
        const double at100 = row_median(std::string("growth/sensors100") + teacher, "over_us");
        const double at1000 = row_median(std::string("growth/sensors1000") + teacher, "over_us");
        if (at100 > 0.0 && at1000 > 0.0)
            verdict(std::string("growth/sensors1000") + teacher + " / sensors100 overhead", at1000 / at100, 10.0);
    }

    std::printf("\nCost growth (overhead beyond the bare runs, us per step):\n\n| levels | 1 | 2 | 3 | 4 | 5 |\n"
                "|---|---:|---:|---:|---:|---:|\n| overhead |");
    for (int depth = 1; depth <= 5; ++depth)
        std::printf(" %.2f |", row_median("growth/depth" + std::to_string(depth), "over_us"));
    std::printf("\n\n| sensors over 1,000 values | 4 | 10 | 100 | 1,000 |\n|---|---:|---:|---:|---:|\n");
    for (const char* teacher : {"", "_teacher"}) {
        std::printf("| %s |", *teacher ? "teacher rebuilding the mapping" : "no teacher");
        for (int sensors : {4, 10, 100, 1000})
            std::printf(" %.2f |", row_median("growth/sensors" + std::to_string(sensors) + teacher, "over_us"));
        std::printf("\n");
    }
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
