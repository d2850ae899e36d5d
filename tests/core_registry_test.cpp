// The implementations registry, implementation classes, and the default
// operations of teachers and perceptors.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/implementations.hpp"

namespace {

using namespace tarvik_core;

using tarvik_test::expect_error;

class PlainTeacher : public Teacher {};
class PlainPerceptor : public Perceptor {};
class FixedController : public Controller {
public:
    Task<Value> compute_action(const Value&, const Value&) override { co_return Value(1); }
};

Registry::FactoryOf<Teacher> teacher_factory() {
    return [] { return std::make_shared<PlainTeacher>(); };
}

TEST(Registry, RecordsKindVersionAndTheOriginInForceWhenAdded) {
    Registry registry;
    registry.add_teacher("t", teacher_factory(), "3.2.1");
    registry.set_origin("/plugins/libx.so");
    registry.add_controller("c", [] { return std::make_shared<FixedController>(); });
    registry.add_perceptor("p", [] { return std::make_shared<PlainPerceptor>(); });

    struct Expect { const char* name; ImplKind kind; const char* version; const char* origin; };
    for (const auto& e : {Expect{"t", ImplKind::teacher, "3.2.1", "host"},
                          Expect{"c", ImplKind::controller, "1.0.0", "/plugins/libx.so"},
                          Expect{"p", ImplKind::perceptor, "1.0.0", "/plugins/libx.so"}}) {
        SCOPED_TRACE(e.name);
        auto cls = registry.get(e.name);
        ASSERT_NE(cls, nullptr);
        EXPECT_EQ(cls->kind(), e.kind);
        EXPECT_EQ(cls->version(), e.version);
        EXPECT_EQ(cls->origin(), e.origin);
    }
    EXPECT_EQ(registry.names(), (std::vector<std::string>{"c", "p", "t"}));
    EXPECT_EQ(registry.names(ImplKind::controller), std::vector<std::string>{"c"});
    EXPECT_EQ(registry.get("t")->repr(), "<ImplClass teacher 't' 3.2.1 from host>");
}

TEST(Registry, SameNameTwiceIsRejectedWhateverTheKindAndNamesBothOrigins) {
    Registry registry;
    registry.add_teacher("shared", teacher_factory());
    registry.set_origin("/p/libb.so");
    expect_error<ValueError>([&] { registry.add_controller("shared", [] { return std::make_shared<FixedController>(); }); },
                             "implementation 'shared' is registered twice: by host and by /p/libb.so");
    // The first registration is untouched.
    EXPECT_EQ(registry.get("shared")->kind(), ImplKind::teacher);
}

TEST(Registry, RejectsNamelessAndFactorylessRegistrations) {
    Registry registry;
    expect_error<ValueError>([&] { registry.add_teacher("", teacher_factory()); },
                             "a teacher cannot be registered without a name (by host)");
    expect_error<ValueError>([&] { registry.add_perceptor("p", nullptr); },
                             "implementation 'p' is registered without a factory (by host)");
    EXPECT_TRUE(registry.names().empty());
}

TEST(Registry, GetOfAnUnknownNameIsAKeyErrorListingTheKnownNames) {
    Registry registry;
    expect_error<KeyError>([&] { registry.get("x"); }, "no implementation named 'x' (known: [])");
    registry.add_teacher("b", teacher_factory());
    registry.add_teacher("a", teacher_factory());
    EXPECT_EQ(registry.find("x"), nullptr);
    expect_error<KeyError>([&] { registry.get("x"); }, "no implementation named 'x' (known: ['a', 'b'])");
}

TEST(Registry, ACopyIsASnapshotThatLaterAdditionsDoNotReach) {
    Registry registry;
    registry.add_teacher("a", teacher_factory());
    Registry snapshot = registry;
    registry.set_origin("/p/lib.so");
    registry.add_teacher("b", teacher_factory());
    EXPECT_EQ(snapshot.names(), std::vector<std::string>{"a"});
    EXPECT_EQ(snapshot.origin(), "host");
    registry = snapshot;
    EXPECT_EQ(registry.names(), std::vector<std::string>{"a"});
    // Restored, "b" can be added again without a duplicate error.
    registry.add_teacher("b", teacher_factory());
}

TEST(ImplClass, EveryInstantiationMakesANewObject) {
    Registry registry;
    registry.add_teacher("t", teacher_factory());
    auto cls = registry.get("t");
    auto first = cls->instantiate();
    auto second = cls->instantiate();
    EXPECT_NE(first, second);
    EXPECT_NE(std::dynamic_pointer_cast<Teacher>(first), nullptr);
}

TEST(ImplClass, AFactoryThatMakesNothingIsARuntimeErrorNamingTheImplementation) {
    Registry registry;
    registry.set_origin("/p/libbroken.so");
    registry.add_controller("none", []() -> std::shared_ptr<Controller> { return nullptr; });
    expect_error<RuntimeError>([&] { registry.get("none")->instantiate(); },
                               "the factory of controller 'none' (registered by /p/libbroken.so) returned no object");
}

TEST(ImplClass, AFailingFactoryPropagatesItsOwnError) {
    Registry registry;
    registry.add_teacher("boom", []() -> std::shared_ptr<Teacher> { throw ValueError("no GPU"); });
    expect_error<ValueError>([&] { registry.get("boom")->instantiate(); }, "no GPU");
}

// Processors call every operation unconditionally, so the defaults must pass
// values through untouched and answer "no opinion".
TEST(Defaults, TeacherPassesThroughAndPerceptorDerivesNothing) {
    PlainTeacher teacher;
    const Value obs(Dict{{"x", Value(1.5)}});
    const Value action(Tuple{Value(1), Value(2)});
    EXPECT_TRUE(run_sync(teacher.filtered_sensor_space()).is_none());
    EXPECT_EQ(run_sync(teacher.transform_sensors(obs, Value{})), obs);
    EXPECT_TRUE(run_sync(teacher.compute_action_mask(obs, action)).is_none());
    EXPECT_EQ(run_sync(teacher.transform_action(obs, action)), action);
    EXPECT_EQ(run_sync(teacher.compute_reward(obs, action, Value(0.25))), Value(0.25));
    EXPECT_EQ(run_sync(teacher.compute_success_criteria(obs, action)), Value(false));
    EXPECT_EQ(run_sync(teacher.compute_termination(obs, action)), Value(false));
    run_sync(teacher.reset());

    PlainPerceptor perceptor;
    const Value derived = run_sync(perceptor.compute_sensors(obs));
    ASSERT_TRUE(derived.is_dict());
    EXPECT_TRUE(derived.as_dict().empty());
}

}  // namespace
