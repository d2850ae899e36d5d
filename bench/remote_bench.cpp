// tarvik_remote_bench: what crossing a process boundary costs.
//
// Rows, all on one tiny policy (4 -> 64 -> 64 -> 2, tests/support's model
// builder) and one orchestration: a skill that sees sensor "a" (2 values,
// read) and sensor "b" (2 values, derived from "a" by the perceptor "mirror"):
//   remote/step/in_process      Runvane::execute, the perceptor local;
//   remote/step/in_process_proxy the perceptor "remote" through the in-process
//                               transport (a proxy, no network);
//   remote/step/loopback        the perceptor served by an implementation host
//                               (HostServer, this process) over loopback TCP;
//   remote/call/loopback        one remote compute_sensors call on its own;
//   serve/clients:N             a serving endpoint (ServeServer, this process)
//                               stepped by N client threads, each with its own
//                               session and connection, for a fixed time.
// Step rows await every step inside one coroutine on one io_context and
// report the median and 99th percentile of the steps (p50_us, p99_us); serve
// rows report steps_per_s and the clients' p50_us and p99_us per Execute.
// Clients and servers share this machine's cores: the serve rows measure
// the whole loop, client work included. Every row also reports cpu_us, the
// CPU time of the whole process per step (all threads), which moves far less
// with the machine's load than the wall-clock figures; serve rows turn it
// into capacity_2cores, the steps per second two otherwise idle cores hold.
//
//   tarvik_remote_bench [--benchmark_filter=serve] ...
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "support/model_builder.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_inference/runvane.hpp"
#include "tarvik_remote/host.hpp"
#include "tarvik_remote/serve.hpp"
#include "tarvik_remote/serve_client.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace tarvik_core;
using tarvik_inference::Runvane;

// Derives "b" from "a": the same two values, negated.
class MirrorPerceptor : public Perceptor {
public:
    Task<Value> compute_sensors(const Value& sensors) override {
        const NdArray& a = sensors.as_dict().at("a").as_array();
        NdArray b = NdArray::zeros(DType::Float64, Shape{2});
        for (std::int64_t i = 0; i < 2; ++i) b.mutable_data<double>()[i] = -a.item(i);
        co_return Value(Dict{{"b", Value(std::move(b))}});
    }
};

void register_mirror(Registry& registry) { registry.add_perceptor("mirror", [] { return std::make_shared<MirrorPerceptor>(); }); }

// The model, the orchestration files and the readings, in a private folder.
struct Setup {
    Setup() {
        std::string pattern = (fs::temp_directory_path() / "tarvik-remote-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        dir = pattern;
        tarvik_test::mlp_policy({.n_in = 4, .hidden = {64, 64}, .n_out = 2, .seed = 3,
                                 .io = {.obs_name = "observation", .mask_size = 2}})
            .write(dir / "pilot.onnx");
        readings = Dict{{"a", NdArray::of<double>({0.25, -0.5})}};
        tarvik_remote::Catalog catalog;
        Registry registry;
        register_mirror(registry);
        catalog.add(registry);
        host = std::make_unique<tarvik_remote::HostServer>(catalog, tarvik_remote::HostOptions{.listen = "127.0.0.1:0"});
    }
    ~Setup() {
        host.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The orchestration with the perceptor local or remote.
    OrchestrationPtr orchestration(bool remote) const {
        const std::string text = R"({"id": "remote-bench",
          "sensors": [
            {"name": "a", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2]}},
            {"name": "b", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2]},
             "source": {"perceptor": "mirror"}}],
          "perceptors": [{"name": "mirror", "implementation": "mirror", "remote": )" +
                                 std::string(remote ? "true" : "false") + R"(, "sensors": ["b"]}],
          "agents": [{"name": "pilot", "kind": "skill", "checkpoint": ".",
                      "action_space": {"type": "Discrete", "n": 2}}],
          "top_agent": "pilot"})";
        auto orchestration = Orchestration::from_json(text, dir, "remote-bench");
        register_mirror(orchestration->registry());
        return orchestration;
    }

    fs::path dir;
    Value readings;
    std::unique_ptr<tarvik_remote::HostServer> host;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

std::unique_ptr<Runvane> packaged(OrchestrationPtr orchestration, Value config) {
    auto runvane = std::make_unique<Runvane>(std::move(config));
    run_sync(runvane->load_orchestration(std::move(orchestration)));
    run_sync(runvane->package());
    return runvane;
}

Dict remote_target() {
    return Dict{{"target", Dict{{"remote", Dict{{"address", setup().host->address()}}}}}};
}

// CPU time of the whole process (every thread: clients, servers, gRPC's own)
// in microseconds. Per step it is the work a step costs, whatever else runs
// on the machine; wall-clock rates move with the machine's load.
double process_cpu_us() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0.0;
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

void report_latencies(benchmark::State& state, std::vector<double>& micros) {
    state.counters["p50_us"] = percentile(micros, 0.50);
    state.counters["p99_us"] = percentile(micros, 0.99);
}

// Awaits `step()` once per iteration, all inside one coroutine on one loop.
template <class Step>
void measure(benchmark::State& state, Step step) {
    std::vector<double> micros;
    const double cpu_before = process_cpu_us();
    boost::asio::io_context loop;
    std::exception_ptr failure;
    boost::asio::co_spawn(
        loop,
        [&]() -> Task<void> {
            for (auto _ : state) {
                const auto began = Clock::now();
                benchmark::DoNotOptimize(co_await step());
                micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - began).count());
            }
        },
        [&](std::exception_ptr e) { failure = e; });
    loop.run();
    if (failure) std::rethrow_exception(failure);
    state.counters["cpu_us"] = (process_cpu_us() - cpu_before) / static_cast<double>(micros.size());
    report_latencies(state, micros);
}

void step_row(benchmark::State& state, bool remote_node, Value config) {
    auto runvane = packaged(setup().orchestration(remote_node), std::move(config));
    const Value& readings = setup().readings;
    measure(state, [&] { return runvane->execute(readings); });
    run_sync(runvane->close());
}

void BM_StepInProcess(benchmark::State& state) { step_row(state, false, Value()); }
void BM_StepInProcessProxy(benchmark::State& state) { step_row(state, true, Value()); }
void BM_StepLoopback(benchmark::State& state) { step_row(state, true, remote_target()); }

void BM_CallLoopback(benchmark::State& state) {
    NetworkMgr manager{TrainerConfig(remote_target())};
    auto orchestration = setup().orchestration(true);
    run_sync(orchestration->init());
    const std::string url = network_util::get_tarvik_url(orchestration->perceptors->front()->get_impl_cls());
    auto perceptor =
        std::move(manager.call_remote_perceptor_mgr("create_with_client", {}, Dict{{"env_init", url}})).value()
            .as_tuple()[1]
            .as<Perceptor>("a perceptor proxy");
    const Value sensors = setup().readings;
    measure(state, [&] { return perceptor->compute_sensors(sensors); });
    (void)manager.stop_all();
    manager.stop_watchdogs();
}

// The serving endpoint, started once for every serve row.
tarvik_remote::ServeServer& serve_server() {
    static std::unique_ptr<tarvik_remote::ServeServer> server = [] {
        const fs::path file = setup().dir / "serve.json";
        std::ofstream(file) << R"({"id": "serve-bench",
          "sensors": [{"name": "a", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [4]}}],
          "agents": [{"name": "pilot", "kind": "skill", "checkpoint": ".",
                      "action_space": {"type": "Discrete", "n": 2}}],
          "top_agent": "pilot"})";
        return std::make_unique<tarvik_remote::ServeServer>(tarvik_remote::ServeOptions{
            .orchestration = file.string(), .listen = "127.0.0.1:0", .max_sessions = 64});
    }();
    return *server;
}

void BM_Serve(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    const auto duration = std::chrono::milliseconds(1500);
    const std::string address = serve_server().address();
    const Value readings = Dict{{"a", NdArray::of<double>({0.25, -0.5, 0.1, 0.9})}};
    for (auto _ : state) {
        std::vector<std::vector<double>> micros(clients);
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        Clock::time_point began;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                tarvik_remote::ServeClient client(address);
                client.open();
                client.execute(readings);  // warm: the session's first step
                ++ready;
                while (!go) std::this_thread::yield();
                const auto until = began + duration;
                for (auto now = Clock::now(); now < until;) {
                    client.execute(readings);
                    const auto done = Clock::now();
                    micros[c].push_back(std::chrono::duration<double, std::micro>(done - now).count());
                    now = done;
                }
                client.close();
            });
        while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double cpu_before = process_cpu_us();
        began = Clock::now();
        go = true;
        for (auto& thread : threads) thread.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        std::vector<double> all;
        for (auto& m : micros) all.insert(all.end(), m.begin(), m.end());
        const double cpu_per_step = (process_cpu_us() - cpu_before) / static_cast<double>(all.size());
        state.counters["steps_per_s"] = static_cast<double>(all.size()) / seconds;
        state.counters["cpu_us"] = cpu_per_step;
        // What two cores would hold if they did nothing else.
        state.counters["capacity_2cores"] = 2e6 / cpu_per_step;
        report_latencies(state, all);
        state.SetIterationTime(seconds);
    }
}

BENCHMARK(BM_StepInProcess)->Name("remote/step/in_process")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_StepInProcessProxy)->Name("remote/step/in_process_proxy")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_StepLoopback)->Name("remote/step/loopback")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CallLoopback)->Name("remote/call/loopback")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Serve)
    ->Name("serve/clients")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Session set-up logs at info level; the rows want a quiet terminal.
    for (const char* name : {"tarvik_inference.runvane", "tarvik_inference.moldrix", "tarvik_inference.grafex",
                             "tarvik_inference.actuon", "tarvik_remote.serve", "tarvik_remote.host"})
        get_logger(name).set_level(LogLevel::warning);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
