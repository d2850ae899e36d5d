// execute() and close().
#include <cmath>
#include <span>
#include <sstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runvane_support.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"

namespace runvane_test {
namespace {

// --- execute -------------------------------------------------------------------------

class Execute : public ::testing::Test {
protected:
    Runvane runvane{Value(), std::make_shared<AwaitingNetworkMgr>()};
    TestOrchestration test;
    std::shared_ptr<RecordingProcessor> processor = recording_processor(test);
};

TEST_F(Execute, BeforeAnyPackageIsARuntimeError) {
    expect_error<RuntimeError>([&] { run_sync(runvane.execute(readings())); },
                               "No agent processor available. Call package() first.");
    // Loading alone does not package.
    run_sync(runvane.load_orchestration(test.orchestration));
    expect_error<RuntimeError>([&] { run_sync(runvane.execute(readings())); },
                               "No agent processor available. Call package() first.");
}

TEST_F(Execute, HandsEverythingToTheProcessorAndItsAnswerBack) {
    runvane.agent_processor = processor;

    // Temporaries only: the processor's copies must own what they hold once
    // the caller's values are gone.
    const Value action = run_sync(runvane.execute(
        readings(), {.sim_action_mask = NdArray::of<std::int8_t>({1, 0, 1, 1}),
                     .previous_action = NdArray::of<std::int64_t>({2, 1})}));

    EXPECT_EQ(action, Value(Tuple{1, 2}));
    ASSERT_EQ(processor->executed.size(), 1u);
    const auto& call = processor->executed[0];
    EXPECT_EQ(call.sim_sensors, readings());
    EXPECT_EQ(call.args.sim_action_mask, Value(NdArray::of<std::int8_t>({1, 0, 1, 1})));
    EXPECT_EQ(call.args.previous_action, Value(NdArray::of<std::int64_t>({2, 1})));
    EXPECT_FALSE(call.args.explore);
    EXPECT_FALSE(call.args.is_coordinated);
    EXPECT_FALSE(call.args.return_as_teacher_dict);
    EXPECT_TRUE(call.args.agent_group_action.is_none());
}

TEST_F(Execute, ExploreArrivesAsItsTruthValue) {
    runvane.agent_processor = processor;
    struct Case {
        const char* name;
        Value explore;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"the number 1", 1, true},       {"the number 0", 0, false},          {"0.5", 0.5, true},
        {"a word", "yes", true},         {"an empty string", "", false},      {"None", Value(), false},
        {"an empty list", List{}, false}, {"a one-element array", NdArray::of<float>({2.0f}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        processor->executed.clear();
        run_sync(runvane.execute(readings(), {.explore = c.explore}));
        ASSERT_EQ(processor->executed.size(), 1u);
        EXPECT_EQ(processor->executed[0].args.explore, c.expected);
    }
}

TEST_F(Execute, AnAmbiguousExploreFailsAtTheCallBeforeAnythingRuns) {
    runvane.agent_processor = processor;
    expect_error<ValueError>(
        [&] { (void)runvane.execute(readings(), {.explore = NdArray::of<float>({1.0f, 0.0f})}); },
        "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()");
    EXPECT_TRUE(processor->executed.empty());
}

TEST_F(Execute, TheProcessorIsReadWhenTheStepRuns) {
    // A step created before package() but awaited after it reaches the new processor.
    Task<Value> step = runvane.execute(readings());
    runvane.agent_processor = processor;
    EXPECT_EQ(run_sync(std::move(step)), Value(Tuple{1, 2}));
    EXPECT_EQ(processor->executed.size(), 1u);
}

TEST_F(Execute, AProcessorFailurePropagatesUnchanged) {
    class Failing : public RecordingProcessor {
    public:
        using RecordingProcessor::RecordingProcessor;
        Task<Value> _execute(Value, ExecuteArgs = {}) override {
            throw IndexError("sensor 7 out of range");
            co_return Value();
        }
    };
    runvane.agent_processor = std::make_shared<Failing>(processor->context);
    expect_error<IndexError>([&] { run_sync(runvane.execute(readings())); }, "sensor 7 out of range");
}

// --- readings in a host's flat buffer -------------------------------------------------

// The facade's orchestration with a top controller that answers with the
// sensor values it was given, so that actions show how readings were read.
class FlatBuffers : public ::testing::Test {
protected:
    void SetUp() override {
        register_fake_controller(orchestration->registry(), "dock_ctrl", [](FakeController& c) {
            c.on_compute_action = [](const Value& obs, const Value&) {
                return Value(Tuple{obs.as_dict().at("position"), obs.as_dict().at("battery")});
            };
        });
        register_fake_controller(orchestration->registry(), "hold_ctrl");
        run_sync(runvane.load_orchestration(orchestration));
        run_sync(runvane.package());
    }

    // Each form's action, or its error as "<kind>: <message>".
    template <class Step>
    static std::string outcome(Step step) {
        try {
            return repr(run_sync(step()));
        } catch (const Error& e) {
            return std::string(e.kind()) + ": " + e.what();
        }
    }
    std::vector<std::string> outcomes(const std::vector<double>& values) {
        const std::vector<float> narrow(values.begin(), values.end());
        return {outcome([&] { return runvane.execute(Value(NdArray::from_vector(values))); }),
                outcome([&] { return runvane.execute(std::span<const double>(values)); }),
                outcome([&] { return runvane.execute(std::span<const float>(narrow), RunvaneExecuteArgs{}); })};
    }

    OrchestrationPtr orchestration = orchestration_from_json(kOrchestration);
    Runvane runvane{Value(), std::make_shared<AwaitingNetworkMgr>()};
};

TEST_F(FlatBuffers, StepAndFailLikeTheFlatVectorForm) {
    const std::string mapped = outcome([&] { return runvane.execute(readings()); });
    struct Case {
        const char* name;
        std::vector<double> values;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"in sensor order", {0.5, -1.0, 3}, mapped},
        {"one value short", {0.5, -1.0},
         "ValueError: sensor 'battery' reads 1 values from position 2 of flat readings that have 2 values"},
        {"empty", {},
         "ValueError: sensor 'position' reads 2 values from position 0 of flat readings that have 0 values"},
        {"not finite", {0.5, std::nan(""), 3}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> got = outcomes(c.values);
        if (!c.expected.empty()) EXPECT_EQ(got[0], c.expected);
        EXPECT_EQ(got[1], got[0]) << "float64 buffer";
        EXPECT_EQ(got[2], got[0]) << "float32 buffer";
    }
    EXPECT_EQ(outcomes({0.5, std::nan(""), 3})[0].rfind("ValueError: sensor 'position' reading is not finite", 0), 0u);
}

TEST_F(FlatBuffers, TheActionOutlivesTheBuffer) {
    // Float64 entries are converted for the float32 Box (read in place);
    // float32 ones would be kept as they are, so that buffer is copied.
    std::vector<double> wide{0.5, -1.0, 3};
    std::vector<float> narrow{0.5f, -1.0f, 3.0f};
    const Value from_wide = run_sync(runvane.execute(std::span<const double>(wide)));
    const Value from_narrow = run_sync(runvane.execute(std::span<const float>(narrow)));
    wide.assign({9.0, 9.0, 1});
    narrow.assign({9.0f, 9.0f, 1.0f});
    EXPECT_EQ(repr(from_wide), repr(run_sync(runvane.execute(readings()))));
    EXPECT_EQ(repr(from_narrow), repr(from_wide));
}

// --- steps in flight together -----------------------------------------------------------

// A two-level orchestration with real models and a teacher on every agent
// that yields to its event loop before answering, so that steps in flight at
// once interleave at every await. mission picks nav when a > 0, else grab;
// nav picks drive when b > 0, else halt; drive acts 1, halt 2, grab 3.
const char* kTwoLevels = R"({
  "id": "concurrent-steps",
  "sensors": [
    {"name": "a", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [1]}, "normalization": {"type": "scale"}},
    {"name": "b", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [1]}}
  ],
  "agents": [
    {"name": "mission", "kind": "orchestrator", "children": ["nav", "grab"], "checkpoint": "m", "teacher": "yielding"},
    {"name": "nav", "kind": "orchestrator", "children": ["drive", "halt"], "checkpoint": "m", "teacher": "yielding"},
    {"name": "drive", "kind": "skill", "checkpoint": "m", "teacher": "yielding", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "halt", "kind": "skill", "checkpoint": "m", "teacher": "yielding", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "grab", "kind": "skill", "checkpoint": "m", "teacher": "yielding", "action_space": {"type": "Discrete", "n": 4}}
  ],
  "top_agent": "mission"
})";

// Stateless, so it may serve steps on several threads. Its sensors are a
// new mapping with the same entries, which the processors cannot tell from
// an edited one.
class YieldingTeacher : public Teacher {
    static Task<void> yield() {
        co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
    }
    Task<Value> transform_sensors(const Value& obs, const Value&) override {
        co_await yield();
        co_return Value(Dict::from_unique(obs.as_dict().items()));
    }
    Task<Value> compute_action_mask(const Value&, const Value&) override {
        co_await yield();
        co_return Value();
    }
    Task<Value> transform_action(const Value&, const Value& action) override {
        co_await yield();
        co_return action;
    }
};

// Which agents keep their yielding teacher: every one (every step awaits and
// interleaves), the skills only (the orchestrators step directly and hand
// the step on), or none (whole steps are direct).
enum class Taught { all, skills, none };

std::string with_teachers(Taught taught) {
    const std::string teacher = ", \"teacher\": \"yielding\"";
    std::istringstream lines(kTwoLevels);
    std::string json, line;
    while (std::getline(lines, line)) {
        const bool orchestrator = line.find("\"orchestrator\"") != std::string::npos;
        if (const auto at = line.find(teacher);
            at != std::string::npos && (taught == Taught::none || (taught == Taught::skills && orchestrator)))
            line.erase(at, teacher.size());
        json += line + "\n";
    }
    return json;
}

class ConcurrentSteps : public ::testing::TestWithParam<Taught> {
protected:
    void SetUp() override {
        linear_policy({.obs_size = 2, .weights = {1, 0, -1, 0}, .bias = {0, 0}, .io = {.mask_size = 2}})
            .write(dir / "m" / "mission.onnx");
        linear_policy({.obs_size = 2, .weights = {0, 1, 0, -1}, .bias = {0, 0}, .io = {.mask_size = 2}})
            .write(dir / "m" / "nav.onnx");
        fixed_logits_policy({.obs_size = 2, .logits = {0, 5, 1}, .io = {.mask_size = 3}}).write(dir / "m" / "drive.onnx");
        fixed_logits_policy({.obs_size = 2, .logits = {0, 1, 5}, .io = {.mask_size = 3}}).write(dir / "m" / "halt.onnx");
        fixed_logits_policy({.obs_size = 2, .logits = {0, 0, 0, 2}, .io = {.mask_size = 4}})
            .write(dir / "m" / "grab.onnx");
        auto orchestration = Orchestration::load(dir.write("orchestration.json", with_teachers(GetParam())).string());
        orchestration->registry().add_teacher("yielding", [] { return std::make_shared<YieldingTeacher>(); });
        run_sync(runvane.load_orchestration(orchestration));
        run_sync(runvane.package());
    }

    // Step i's readings, cycling through the four quadrants (actions 1, 2, 3, 3).
    static Value step_readings(int i) {
        Dict d;
        d.set("a", List{i % 4 < 2 ? 1.5 : -1.5});
        d.set("b", List{i % 2 == 0 ? 0.5 : -0.5});
        return d;
    }

    // `steps` steps of one host, each given the previous one's action.
    static Task<std::vector<Value>> host(Runvane& runvane, int steps) {
        std::vector<Value> actions;
        Value action;
        for (int i = 0; i < steps; ++i) {
            RunvaneExecuteArgs args{.previous_action = action};
            action = co_await runvane.execute(step_readings(i), std::move(args));
            actions.push_back(action);
        }
        co_return actions;
    }

    static std::vector<Value> expected(int steps) {
        std::vector<Value> out;
        for (int i = 0; i < steps; ++i) out.push_back(Value(std::vector<int>{1, 2, 3, 3}[i % 4]));
        return out;
    }

    TempDir dir;
    Runvane runvane{Value(), std::make_shared<AwaitingNetworkMgr>()};
};

TEST_P(ConcurrentSteps, InterleavedOnOneLoopGiveTheSequentialActions) {
    constexpr int kSteps = 24;
    std::vector<Value> sequential;
    for (int i = 0; i < kSteps; ++i) sequential.push_back(run_sync(runvane.execute(step_readings(i))));
    ASSERT_EQ(sequential, expected(kSteps));

    // Every step starts before any finishes; the teachers' yields interleave them.
    boost::asio::io_context io;
    std::vector<Value> interleaved(kSteps);
    int failures = 0;
    for (int i = 0; i < kSteps; ++i) {
        boost::asio::co_spawn(io, runvane.execute(step_readings(i)), [&, i](std::exception_ptr e, Value action) {
            if (e) ++failures;
            interleaved[static_cast<std::size_t>(i)] = std::move(action);
        });
    }
    io.run();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(interleaved, sequential);
}

TEST_P(ConcurrentSteps, HostsOnSeveralThreadsShareOneFacade) {
    constexpr int kThreads = 4, kSteps = 400;
    std::vector<std::vector<Value>> actions(kThreads);
    std::vector<std::exception_ptr> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            boost::asio::io_context io;
            boost::asio::co_spawn(io, host(runvane, kSteps), [&, t](std::exception_ptr e, std::vector<Value> result) {
                failures[static_cast<std::size_t>(t)] = e;
                actions[static_cast<std::size_t>(t)] = std::move(result);
            });
            io.run();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        if (failures[static_cast<std::size_t>(t)]) ADD_FAILURE() << error_text(failures[static_cast<std::size_t>(t)]);
        EXPECT_EQ(actions[static_cast<std::size_t>(t)], expected(kSteps));
    }
}

INSTANTIATE_TEST_SUITE_P(Teachers, ConcurrentSteps, ::testing::Values(Taught::all, Taught::skills, Taught::none),
                         [](const auto& info) {
                             return std::string(info.param == Taught::all      ? "EveryAgentTaught"
                                                : info.param == Taught::skills ? "SkillsTaught"
                                                                               : "NoTeachers");
                         });

// --- close -----------------------------------------------------------------------------

// A network manager whose stop_all answers as scripted and which journals
// "stop_all called", "stop_all ran" (the awaitable's body) and "stop_watchdogs".
class ScriptedStopMgr : public NetworkMgr {
public:
    enum class Stop { task, plain, failing_task, throws };
    explicit ScriptedStopMgr(Stop stop)
        : NetworkMgr(TrainerConfig(default_trainer_settings())), stop_(stop) {}
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();

    MaybeTask<Value> stop_all() override {
        journal->add("stop_all called");
        switch (stop_) {
            case Stop::plain: return Value("stopped synchronously");
            case Stop::throws: throw RuntimeError("cannot reach the simulator manager");
            case Stop::task:
            case Stop::failing_task: break;
        }
        return run(journal, stop_ == Stop::failing_task);
    }
    void stop_watchdogs() override {
        journal->add("stop_watchdogs");
        NetworkMgr::stop_watchdogs();
    }

private:
    static Task<Value> run(std::shared_ptr<Journal> journal, bool fail) {
        journal->add("stop_all ran");
        if (fail) throw RuntimeError("agent manager refused to stop");
        co_return Value();
    }
    Stop stop_;
};

using Entries = std::vector<std::string>;

class Close : public ::testing::Test {
protected:
    LogCapture logs{kLogger};
    std::vector<std::string> info() const { return logs.messages(LogLevel::info); }
};

TEST_F(Close, AnAwaitableStopIsAwaitedBeforeTheWatchdogsStop) {
    auto manager = std::make_shared<ScriptedStopMgr>(ScriptedStopMgr::Stop::task);
    Runvane runvane{Value(), manager};
    run_sync(runvane.close());
    EXPECT_EQ(manager->journal->entries, (Entries{"stop_all called", "stop_all ran", "stop_watchdogs"}));
    EXPECT_FALSE(manager->watchdogs_running());
    EXPECT_EQ(info(), Entries{"Inference engine closed"});
}

TEST_F(Close, APlainStopResultIsNotAwaited) {
    // Awaiting a plain value would be a TypeError; close must not try.
    auto manager = std::make_shared<ScriptedStopMgr>(ScriptedStopMgr::Stop::plain);
    Runvane runvane{Value(), manager};
    run_sync(runvane.close());
    EXPECT_EQ(manager->journal->entries, (Entries{"stop_all called", "stop_watchdogs"}));
    EXPECT_EQ(info(), Entries{"Inference engine closed"});
}

TEST_F(Close, AFailedStopStillStopsTheWatchdogsAndPropagates) {
    struct Case {
        ScriptedStopMgr::Stop stop;
        const char* message;
        Entries journal;
    };
    const std::vector<Case> cases = {
        {ScriptedStopMgr::Stop::failing_task, "agent manager refused to stop",
         {"stop_all called", "stop_all ran", "stop_watchdogs"}},
        {ScriptedStopMgr::Stop::throws, "cannot reach the simulator manager", {"stop_all called", "stop_watchdogs"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        logs.clear();
        auto manager = std::make_shared<ScriptedStopMgr>(c.stop);
        Runvane runvane{Value(), manager};
        expect_error<RuntimeError>([&] { run_sync(runvane.close()); }, c.message);
        EXPECT_EQ(manager->journal->entries, c.journal);
        EXPECT_FALSE(manager->watchdogs_running());
        EXPECT_TRUE(info().empty()) << "a failed close is not reported as closed";
    }
}

TEST_F(Close, WithoutANetworkManagerOnlyLogs) {
    Runvane runvane;
    runvane.network_mgr.reset();
    run_sync(runvane.close());
    EXPECT_EQ(info(), Entries{"Inference engine closed"});
}

TEST_F(Close, LeavesTheFieldsSoExecuteStillReachesTheProcessor) {
    auto manager = std::make_shared<ScriptedStopMgr>(ScriptedStopMgr::Stop::task);
    Runvane runvane{Value(), manager};
    TestOrchestration test;
    run_sync(runvane.load_orchestration(test.orchestration));
    auto processor = recording_processor(test);
    runvane.agent_processor = processor;

    run_sync(runvane.close());

    EXPECT_EQ(runvane.orchestration, test.orchestration);
    EXPECT_EQ(runvane.agent_processor, processor);
    EXPECT_EQ(run_sync(runvane.execute(readings())), Value(Tuple{1, 2}));
}

}  // namespace
}  // namespace runvane_test
