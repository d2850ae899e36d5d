// The observation written directly from the converted sensors (no teacher,
// or a teacher that passes the sensors through) must be the observation the
// general path builds (filtered mapping, normalised copies, flattening), bit
// for bit, whatever the filter, after the processor's fields change between
// steps or while a step awaits its mask, and with failures in the same order.
#include <cstring>

#include "kernova_support.hpp"
#include "tarvik_core/space_utils.hpp"

namespace kernova_test {
namespace {

// A teacher that hands back a fresh copy of the sensors: the same values in
// a mapping of its own, which sends the step down the general path.
void copy_sensors(FakeTeacher& teacher) {
    teacher.on_transform_sensors = [](const Value& obs) { return Value(Dict::from_entries(obs.as_dict().items())); };
}

// Runs `edit` while the step awaits the teacher's mask.
class EditingTeacher : public FakeTeacher {
public:
    std::function<void()> edit;
    Task<Value> compute_action_mask(const Value& obs, const Value& previous_action) override {
        if (edit) edit();
        co_return co_await FakeTeacher::compute_action_mask(obs, previous_action);
    }
};

std::vector<float> floats(const Value& sensors_filtered) {
    const NdArray& a = sensors_filtered.as_dict().at("observation").as_array();
    EXPECT_EQ(a.dtype(), DType::Float32);
    const auto v = a.values<float>();
    return {v.begin(), v.end()};
}

void expect_same_bits(const std::vector<float>& direct, const std::vector<float>& general) {
    ASSERT_EQ(direct.size(), general.size());
    EXPECT_EQ(std::memcmp(direct.data(), general.data(), direct.size() * sizeof(float)), 0)
        << ::testing::PrintToString(direct) << " vs " << ::testing::PrintToString(general);
}

class DirectObservation : public ProcessorTest {
protected:
    // Two processors of the taught skill: one whose teacher passes sensors
    // through, one whose teacher copies them.
    void SetUp() override {
        ProcessorTest::SetUp();
        direct = make("skill");
        general = make("skill");
        copy_sensors(*teachers->last());
    }

    static void use_filter(BaseAgentProcessor& p, const std::vector<std::string>& keys) {
        p.filter_keys = keys;
        p.filtered_brennor_sensor_space = space_utils::filter_space(p.brennor_sensor_space, keys);
    }

    static std::vector<float> step(BaseAgentProcessor& p, const Value& raw = readings()) {
        SensorsResult result = run_sync(p.process_sim_sensors(raw));
        return floats(result.first);
    }

    std::shared_ptr<PipelineProcessor> direct, general;
};

TEST_F(DirectObservation, AgreesWithTheGeneralPathForEveryFilter) {
    const std::vector<std::vector<std::string>> filters = {
        {"pos", "mode", "speed"}, {"speed", "pos"}, {"speed", "pos", "speed"}, {"mode"}, {"mode", "speed"},
    };
    Dict edge = readings().as_dict();
    edge.set("pos", List{-2.0, 2.0});
    edge.set("speed", List{1e-3});
    for (const auto& keys : filters) {
        SCOPED_TRACE(::testing::PrintToString(keys));
        use_filter(*direct, keys);
        use_filter(*general, keys);
        for (const Value& raw : {readings(), Value(edge)}) expect_same_bits(step(*direct, raw), step(*general, raw));
    }
    // With the filter of init, the known observation.
    use_filter(*direct, {"pos", "mode", "speed"});
    const auto full = step(*direct);
    EXPECT_EQ(std::vector<double>(full.begin(), full.end()), kObservation);
}

TEST_F(DirectObservation, FieldsChangedBetweenStepsTakeEffect) {
    EXPECT_EQ(step(*direct).size(), 6u);
    use_filter(*direct, {"speed"});
    EXPECT_EQ(step(*direct), (std::vector<float>{1.0f}));
    // Only the key list changes: every sensor is still normalised by it.
    direct->filter_keys = {"pos", "mode", "speed"};
    EXPECT_EQ(step(*direct), (std::vector<float>{1.0f}));
    use_filter(*direct, {"pos", "mode", "speed"});
    EXPECT_EQ(step(*direct).size(), 6u);
}

TEST_F(DirectObservation, FilteredSpaceReplacedWhileTheMaskIsComputed) {
    // The sample is filtered and normalised before the mask with the keys of
    // that moment; the space in place after the mask flattens it.
    auto run = [&](bool copying) {
        auto p = make("plain");
        auto teacher = std::make_shared<EditingTeacher>();
        if (copying) copy_sensors(*teacher);
        teacher->edit = [p = p.get()] {
            p->filtered_brennor_sensor_space = space_utils::filter_space(p->brennor_sensor_space, {"speed", "pos"});
            p->filter_keys = {"mode"};
        };
        p->teacher = teacher;
        return step(*p);
    };
    const auto direct_result = run(false);
    expect_same_bits(direct_result, run(true));
    EXPECT_EQ(direct_result, (std::vector<float>{1.0f, 0.25f, -0.5f}));
}

TEST_F(DirectObservation, SensorListChangedWhileTheTeacherTransforms) {
    // The readings were converted with the list of before the teacher's
    // await; the plan is checked against the list of after it. Both paths
    // must then give the same observation or the same error.
    auto run = [&](bool copying) -> std::string {
        auto p = make("skill");
        auto& teacher = *teachers->last();
        auto& sensors = p->context.orchestration->sensors;
        const auto original = sensors;
        teacher.on_transform_sensors = [&sensors, copying](const Value& obs) {
            sensors.erase(sensors.begin());
            return copying ? Value(Dict::from_entries(obs.as_dict().items())) : obs;
        };
        std::string outcome;
        try {
            outcome = ::testing::PrintToString(step(*p));
        } catch (const std::exception& e) {
            outcome = std::string("error: ") + e.what();
        }
        sensors = original;
        return outcome;
    };
    const std::string direct_outcome = run(false);
    EXPECT_EQ(direct_outcome, run(true));
}

TEST(DirectObservationFailures, FlatteningFailsAfterTheMaskOnBothPaths) {
    auto orchestration = orchestration_from_json(R"({
      "id": "flatten-failure",
      "sensors": [
        {"name": "pos", "space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [2]},
         "normalization": {"type": "scale"}},
        {"name": "gears", "space": {"type": "MultiDiscrete", "nvec": [2, 3]}}
      ],
      "agents": [{"name": "skill", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}, "teacher": "t"}]
    })");
    auto teachers = register_fake_teacher(orchestration->registry(), "t");
    run_sync(orchestration->init());
    Dict raw;
    raw.set("pos", List{0.0, 1.0});
    raw.set("gears", List{1, 5});  // converts (whole numbers) but is outside nvec
    std::vector<std::string> messages;
    for (bool copying : {false, true}) {
        SCOPED_TRACE(copying ? "general" : "direct");
        auto p = std::make_shared<PipelineProcessor>(
            AgentProcessorContext{.orchestration = orchestration, .agent = orchestration->get_node_by_name("skill")});
        run_sync(p->init());
        auto teacher = teachers->last();
        if (copying) copy_sensors(*teacher);
        try {
            run_sync(p->process_sim_sensors(Value(raw)));
            ADD_FAILURE() << "flattening should fail";
        } catch (const ValueError& e) {
            messages.push_back(e.what());
        }
        EXPECT_EQ(teacher->count("compute_action_mask"), 1u) << "the mask comes before flattening";
    }
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], messages[1]);
    EXPECT_EQ(messages[0], "MultiDiscrete([2 3]) sample [1 5] has component 1 = 5, outside 0 <= x < 3");
}

}  // namespace
}  // namespace kernova_test
