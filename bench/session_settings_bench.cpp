// tarvik_bench_session: what the model-session settings do to one model run.
//
// For the tiny and the medium policy of tarvik_bench (the same seeded MLPs),
// one GrafexEngine per combination of intra-op threads, inter-op threads and
// spinning runs get_action_dist_inputs, in two ways:
//   back_to_back/<size>/intra:I/inter:J/spin:S
//       runs one after another, as fast as they come;
//   with_host_work/<size>/intra:I/inter:J/spin:S
//       a control loop: between runs the host computes for about 100 us
//       (standing in for the simulator or the robot's own work), and only
//       the runs are timed.
// Every row reports the median and the minimum over its repetitions.
// Counters: step_us (wall time per run), cpu_us (CPU time of the whole
// process per step, every thread counted: what spinning costs), and for the
// control loop host_us (the host's own work per step, which a spinning
// worker slows down by taking its core).
//
//   tarvik_bench_session [--benchmark_filter=tiny] [--benchmark_repetitions=N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/model_builder.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/model_session.hpp"
#include "tarvik_inference/grafex.hpp"

namespace tarvik_bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;

// The policies of tarvik_bench: tiny 4 -> 64 -> 64 -> 2, medium 200 -> 256 ->
// 256 -> 16.
struct PolicySize {
    std::string label;
    std::int64_t n_in;
    std::vector<std::int64_t> hidden;
    std::int64_t n_out;
};
const PolicySize kTiny{"tiny", 4, {64, 64}, 2};
const PolicySize kMedium{"medium", 200, {256, 256}, 16};

double process_cpu_us() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

// About 100 us of arithmetic on the calling thread, the same amount every
// call; the result is kept observable.
double host_work() {
    double x = 0.5;
    for (int i = 0; i < 60000; ++i) x = std::fma(x, 0.999999, 1e-7);
    return x;
}

// The policy models, written once into a private folder.
class Models {
public:
    static Models& get() {
        static Models models;
        return models;
    }
    ~Models() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& of(const PolicySize& size) {
        auto& path = paths_[size.label];
        if (path.empty()) {
            path = dir_ / (size.label + ".onnx");
            tarvik_test::mlp_policy({.n_in = size.n_in,
                                     .hidden = size.hidden,
                                     .n_out = size.n_out,
                                     .seed = 1,
                                     .io = {.obs_name = "observation", .mask_size = size.n_out}})
                .write(path);
        }
        return path;
    }

private:
    Models() {
        std::string pattern = (fs::temp_directory_path() / "tarvik-bench-session-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder from " + pattern);
        dir_ = pattern;
    }
    fs::path dir_;
    std::map<std::string, fs::path> paths_;
};

struct Setting {
    int intra;
    int inter;
    bool spin;
};

std::string row_name(const char* kind, const PolicySize& size, const Setting& s) {
    return std::string(kind) + "/" + size.label + "/intra:" + std::to_string(s.intra) +
           "/inter:" + std::to_string(s.inter) + "/spin:" + (s.spin ? "1" : "0");
}

void run_rows(benchmark::State& state, const PolicySize& size, const Setting& setting, bool with_host_work) {
    tarvik_inference::GrafexEngine engine(
        Models::get().of(size).string(),
        tarvik_core::ModelSessionSettings{
            .intra_op_threads = setting.intra, .inter_op_threads = setting.inter, .allow_spinning = setting.spin});
    const NdArray observation = NdArray::full(DType::Float32, Shape{size.n_in}, 0.25);
    const NdArray mask = NdArray::ones(DType::Float64, Shape{size.n_out});
    for (int i = 0; i < 100; ++i) benchmark::DoNotOptimize(engine.get_action_dist_inputs(observation, &mask));

    double run_us = 0, host_us = 0;
    const double cpu_start = process_cpu_us();
    const auto wall_start = Clock::now();
    for (auto _ : state) {
        if (with_host_work) {
            const auto h0 = Clock::now();
            benchmark::DoNotOptimize(host_work());
            host_us += std::chrono::duration<double, std::micro>(Clock::now() - h0).count();
        }
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(engine.get_action_dist_inputs(observation, &mask));
        run_us += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    const double wall_us = std::chrono::duration<double, std::micro>(Clock::now() - wall_start).count();
    const double cpu_us = process_cpu_us() - cpu_start;
    const double steps = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["step_us"] = run_us / steps;
    state.counters["cpu_us"] = cpu_us / steps;
    // CPU time over wall time: how many cores the loop kept busy.
    state.counters["cores"] = wall_us > 0 ? cpu_us / wall_us : 0;
    if (with_host_work) state.counters["host_us"] = host_us / steps;
}

void register_rows() {
    const std::vector<Setting> settings = {
        {1, 1, false}, {1, 1, true}, {2, 1, false}, {2, 1, true}, {0, 1, false}, {0, 1, true}, {1, 2, false},
    };
    for (const PolicySize* size : {&kTiny, &kMedium}) {
        for (const bool host : {false, true}) {
            for (const auto& setting : settings) {
                const auto name = row_name(host ? "with_host_work" : "back_to_back", *size, setting);
                benchmark::RegisterBenchmark(name.c_str(), [size, setting, host](benchmark::State& state) {
                    run_rows(state, *size, setting, host);
                })
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime()
                    // On a shared machine other work only ever adds time: the
                    // fastest repetition is the closest to the row's own cost.
                    ->ComputeStatistics("min", [](const std::vector<double>& v) {
                        return *std::min_element(v.begin(), v.end());
                    });
            }
        }
    }
}

}  // namespace
}  // namespace tarvik_bench

int main(int argc, char** argv) {
    tarvik_core::set_default_log_level(tarvik_core::LogLevel::warning);
    // Defaults first, so that flags given later override them.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    std::string min_time = "--benchmark_min_time=0.2";
    args.insert(args.begin() + 1, {repetitions.data(), aggregates.data(), min_time.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    tarvik_bench::register_rows();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
