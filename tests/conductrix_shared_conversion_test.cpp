// An orchestrator hands the sensors it converted from a step's readings to
// the child it runs in the same step, so that the child does not convert the
// same readings again. The child must see exactly what its own conversion
// would give, and must convert afresh whenever anything the conversion
// depends on may differ: other readings (a new mapping, or the same one
// written in place between steps), another sensor list, another simulator
// sensor space, perceptors, or a conversion left over from another step or
// another orchestration.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "support/expect_error.hpp"
#include "support/fakes.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/space_utils.hpp"
#include "tarvik_inference/conductrix.hpp"

namespace conductrix_test {
namespace {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

// Controller-type orchestrators over controller-type skills: no models, and
// every level's controller sees that level's converted sensors (no teachers).
const char* kLevels = R"({
  "id": "shared-conversion",
  "sensors": [
    {"name": "a", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [2]}, "normalization": {"type": "scale"}},
    {"name": "b", "space": {"type": "Box", "low": -5.0, "high": 5.0, "shape": [1]}}
  ],
  "agents": [
    {"name": "top", "kind": "orchestrator", "children": ["mid", "leaf"], "controller": "chooser"},
    {"name": "mid", "kind": "orchestrator", "children": ["leaf", "other"], "controller": "chooser"},
    {"name": "leaf", "kind": "controller", "controller": "actor", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "other", "kind": "controller", "controller": "actor", "action_space": {"type": "Discrete", "n": 3}}
  ],
  "top_agent": "top"
})";

Value mapping(double a0, double a1, double b) {
    Dict d;
    NdArray a = NdArray::zeros(DType::Float64, Shape{2});
    a.mutable_data<double>()[0] = a0;
    a.mutable_data<double>()[1] = a1;
    d.set("a", Value(a));
    d.set("b", List{b});
    return d;
}

Value flat(double a0, double a1, double b) { return Value(NdArray::of<double>({a0, a1, b})); }

// Waits a moment before choosing, so that concurrent steps interleave.
class SlowChooser : public Controller {
public:
    explicit SlowChooser(std::vector<std::string>& events) : events(events) {}
    std::vector<std::string>& events;
    Task<Value> compute_action(const Value&, const Value&) override {
        events.push_back("choose");
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, std::chrono::milliseconds(5));
        co_await timer.async_wait(boost::asio::use_awaitable);
        co_return Value(0);
    }
};

class SharedConversion : public ::testing::Test {
public:  // the cases below reach in through a reference
    void SetUp() override { build(); }

    // A fresh orchestration and processor tree; `slow` makes the choosers wait.
    void build(bool slow = false) {
        orchestration = orchestration_from_json(kLevels, ".");
        if (slow) {
            orchestration->registry().add_controller("chooser", [this] {
                return std::make_shared<SlowChooser>(events);
            });
        } else {
            choosers = register_fake_controller(orchestration->registry(), "chooser", [this](FakeController& c) {
                c.on_compute_action = [this, &c](const Value&, const Value&) {
                    // Only the top level's choice runs the change.
                    if (during_choice && &c == choosers->all.at(0).get()) during_choice();
                    return Value(0);
                };
            });
        }
        actors = register_fake_controller(orchestration->registry(), "actor", [this](FakeController& c) {
            c.on_compute_action = [this](const Value&, const Value&) {
                events.push_back("act");
                return Value(0);
            };
        });
        run_sync(orchestration->init());
        auto* create_actuon = import_module(kMoldrixModule).function<CreateActuonFn>(kCreateActuonSymbol);
        top = std::dynamic_pointer_cast<Conductrix>(run_sync(create_actuon(
            AgentProcessorContext{.orchestration = orchestration, .agent = orchestration->get_top_agent()})));
        ASSERT_NE(top, nullptr);
        mid = std::dynamic_pointer_cast<Conductrix>(top->get_child_processor_by_name("mid"));
        ASSERT_NE(mid, nullptr);
        leaf = mid->get_child_processor_by_name("leaf");
        ASSERT_NE(leaf, nullptr);
    }

    // What the controller of each level saw in the last step.
    Value top_saw() const { return choosers->all.at(0)->last("compute_action").at(0); }
    Value mid_saw() const { return choosers->all.at(1)->last("compute_action").at(0); }
    Value leaf_saw() const {
        for (const auto& actor : actors->all)
            if (actor->count("compute_action")) return actor->last("compute_action").at(0);
        ADD_FAILURE() << "no skill acted";
        return Value();
    }

    // The conversion the leaf would make on its own.
    Value fresh(const Value& readings) const {
        return space_utils::convert_sim_sensors_without_perceptors(readings, leaf->sim_sensor_space,
                                                                   orchestration->sensors);
    }

    static bool shared(const Value& a, const Value& b) { return a.as_dict().shares_items_with(b.as_dict()); }

    OrchestrationPtr orchestration;
    std::shared_ptr<Made<FakeController>> choosers, actors;
    std::function<void()> during_choice;
    std::vector<std::string> events;
    std::shared_ptr<Conductrix> top, mid;
    ProcessorPtr leaf;
};

TEST_F(SharedConversion, EveryLevelSeesTheTopLevelsConversionForMappingAndFlatReadings) {
    for (const Value& readings : {mapping(1.0, -2.0, 3.0), flat(1.0, -2.0, 3.0)}) {
        SCOPED_TRACE(readings.type_name());
        EXPECT_EQ(top->execute(readings), Value(0));
        EXPECT_EQ(top_saw(), fresh(readings));
        EXPECT_TRUE(shared(mid_saw(), top_saw()));
        EXPECT_TRUE(shared(leaf_saw(), top_saw()));
        // The teacher dict carries the leaf's own sensors and the outermost choice.
        Value result = top->execute(readings, {.return_as_teacher_dict = true});
        EXPECT_EQ(result.as_dict().at("tarvik_obs"), fresh(readings));
        EXPECT_EQ(result.as_dict().at("top_orchestrator_action"), Value(0));
    }
}

TEST_F(SharedConversion, ReadingsWrittenInPlaceBetweenStepsAreConvertedAgain) {
    Value readings = mapping(1.0, 2.0, 3.0);
    NdArray a = readings.as_dict().at("a").as_array();  // shares the readings' buffer
    top->execute(readings);
    a.mutable_data<double>()[0] = -4.0;
    top->execute(readings);
    EXPECT_EQ(leaf_saw(), fresh(mapping(-4.0, 2.0, 3.0)));
    EXPECT_TRUE(shared(leaf_saw(), top_saw()));

    // The leaf run on its own afterwards has nothing left from the walk.
    a.mutable_data<double>()[1] = 4.5;
    leaf->execute(readings);
    EXPECT_EQ(leaf_saw(), fresh(mapping(-4.0, 4.5, 3.0)));
    EXPECT_FALSE(shared(leaf_saw(), top_saw()));
}

TEST_F(SharedConversion, TheChildConvertsAgainWhenWhatTheConversionDependsOnChanges) {
    struct Case {
        const char* name;
        Value readings;
        std::function<void(SharedConversion&)> change;  // run while the top level chooses
        std::function<void(SharedConversion&, const Value&)> check;
    };
    const Case cases[] = {
        {"another sensor list, same sensors reversed", mapping(1.0, 2.0, 3.0),
         [](SharedConversion& t) {
             t.orchestration->sensors = SensorList(t.orchestration->sensors.rbegin(), t.orchestration->sensors.rend());
         },
         [](SharedConversion& t, const Value& readings) {
             EXPECT_EQ(t.leaf_saw().as_dict().keys(), (std::vector<std::string>{"b", "a"}));
             EXPECT_EQ(t.leaf_saw(), t.fresh(readings));
         }},
        {"another simulator sensor space of the same layout", flat(1.0, 2.0, 3.0),
         [](SharedConversion& t) {
             spaces::SpaceEntries entries;
             for (const auto& sensor : t.orchestration->sensors) entries.emplace_back(sensor->name, sensor->space);
             t.leaf->sim_sensor_space = std::make_shared<spaces::Dict>(std::move(entries));
         },
         [](SharedConversion& t, const Value& readings) { EXPECT_EQ(t.leaf_saw(), t.fresh(readings)); }},
        {"perceptors on the child", mapping(1.0, 2.0, 3.0),
         [](SharedConversion& t) { t.leaf->perceptors.push_back(std::make_shared<FakePerceptor>()); },
         [](SharedConversion& t, const Value& readings) {
             auto perceptor = std::dynamic_pointer_cast<FakePerceptor>(t.leaf->perceptors.at(0));
             EXPECT_EQ(perceptor->count("compute_sensors"), 1u);
             EXPECT_EQ(t.leaf_saw(), t.fresh(readings));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        build();
        during_choice = [&] { c.change(*this); };
        top->execute(c.readings);
        EXPECT_FALSE(shared(leaf_saw(), top_saw()));
        c.check(*this, c.readings);
    }
}

TEST_F(SharedConversion, AnotherSimulatorSpaceFailsTheChildsOwnConversion) {
    // Flat readings are measured against the space: the child's space takes
    // four values, so its own conversion of three fails, as it must.
    spaces::SpaceEntries entries;
    entries.emplace_back("a", std::make_shared<spaces::Box>(-5.0, 5.0, Shape{3}));
    entries.emplace_back("b", std::make_shared<spaces::Box>(-5.0, 5.0, Shape{1}));
    const SpacePtr wider = std::make_shared<spaces::Dict>(std::move(entries));
    during_choice = [&] { leaf->sim_sensor_space = wider; };
    expect_error<ValueError>([&] { top->execute(flat(1.0, 2.0, 3.0)); },
                             "flat sensor readings have 3 values, but the sim sensor space " + wider->repr() +
                                 " takes 4");
    EXPECT_EQ(actors->all.at(0)->count("compute_action") + actors->all.at(1)->count("compute_action"), 0u);
}

TEST_F(SharedConversion, AConversionIsNeverHandedToALaterStep) {
    Value readings = mapping(1.0, 2.0, 3.0);
    NdArray a = readings.as_dict().at("a").as_array();

    // The child fails before converting: what it was handed is taken back.
    leaf->_is_initialized = false;
    expect_error<RuntimeError>([&] { top->execute(readings); }, "Actuon._execute() called before init() completed");
    leaf->_is_initialized = true;
    a.mutable_data<double>()[0] = 0.5;
    leaf->execute(readings);
    EXPECT_EQ(leaf_saw(), fresh(mapping(0.5, 2.0, 3.0)));

    // The top level fails after converting (no such child), then takes a
    // step in which it records nothing (a perceptor): its old record stays unused.
    during_choice = [] { throw IndexError("chooser failed"); };
    expect_error<IndexError>([&] { top->execute(readings); }, "chooser failed");
    during_choice = nullptr;
    top->perceptors.push_back(std::make_shared<FakePerceptor>());
    a.mutable_data<double>()[1] = -0.5;
    top->execute(readings);
    EXPECT_EQ(leaf_saw(), fresh(mapping(0.5, -0.5, 3.0)));
    EXPECT_FALSE(shared(leaf_saw(), top_saw()));
}

TEST_F(SharedConversion, InterleavedStepsOfTwoOrchestrationsKeepTheirOwnReadings) {
    build(true);
    auto first = std::make_tuple(top, leaf, orchestration, actors);
    build(true);
    auto second = std::make_tuple(top, leaf, orchestration, actors);

    const Value r1 = mapping(1.0, 2.0, 3.0), r2 = mapping(-1.0, -2.0, -3.0);
    boost::asio::io_context io;
    int done = 0;
    auto run = [&](std::shared_ptr<Conductrix> p, Value r) -> Task<void> {
        co_await p->_execute(std::move(r));
        ++done;
    };
    boost::asio::co_spawn(io, run(std::get<0>(first), r1), boost::asio::detached);
    boost::asio::co_spawn(io, run(std::get<0>(second), r2), boost::asio::detached);
    io.run();
    ASSERT_EQ(done, 2);

    for (const auto& [tree, readings] : {std::make_pair(first, r1), std::make_pair(second, r2)}) {
        actors = std::get<3>(tree);
        orchestration = std::get<2>(tree);
        leaf = std::get<1>(tree);
        EXPECT_EQ(leaf_saw(), fresh(readings));
    }
    // The steps were in progress at once: both top levels chose before either leaf acted.
    EXPECT_EQ(events, (std::vector<std::string>{"choose", "choose", "choose", "choose", "act", "act"}));
}

}  // namespace
}  // namespace conductrix_test
