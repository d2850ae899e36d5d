// Relayon: remote calls hand their awaitables to the caller, and stop_all
// stops the four remote managers strictly in order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fakes.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/relayon.hpp"

namespace {

using namespace tarvik_core;
using tarvik_inference::Relayon;
using tarvik_test::Journal;

// What a scripted remote manager does when a method is invoked.
enum class Answer {
    task,          // an awaitable that records that it ran
    failing_task,  // an awaitable that fails when it runs
    plain,         // a plain value, not awaitable
    refuse,        // invoking the method itself fails
};

Task<Value> remote_operation(std::shared_ptr<Journal> journal, std::string who, bool fail) {
    journal->add(who + " ran");
    if (fail) throw RuntimeError(who + " refused to stop");
    co_return Value(who + " done");
}

// A remote manager that journals every invocation ("agent.stop_all(0 args)")
// and every operation that actually runs ("agent ran").
class ScriptedManager : public RemoteManager {
public:
    ScriptedManager(RemoteManagerKind kind, std::shared_ptr<Journal> journal)
        : RemoteManager(kind), journal_(std::move(journal)), name_(remote_manager_name(kind)) {}

    Answer answer = Answer::task;

    MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) override {
        journal_->add(name_ + "." + method + "(" + std::to_string(args.size() + kwargs.size()) + " args)");
        switch (answer) {
            case Answer::task: return remote_operation(journal_, name_, false);
            case Answer::failing_task: return remote_operation(journal_, name_, true);
            case Answer::plain: return Value(name_ + " plain");
            case Answer::refuse: break;
        }
        throw RuntimeError(name_ + " unreachable");
    }

private:
    std::shared_ptr<Journal> journal_;
    std::string name_;
};

class RelayonTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto kind : {RemoteManagerKind::sim, RemoteManagerKind::agent, RemoteManagerKind::perceptor,
                          RemoteManagerKind::controller}) {
            auto manager = std::make_shared<ScriptedManager>(kind, journal);
            relayon->set_remote_manager(kind, manager);
            managers.push_back(manager);
        }
    }
    ScriptedManager& manager(RemoteManagerKind kind) { return *managers[static_cast<std::size_t>(kind)]; }

    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<Relayon> relayon =
        std::make_shared<Relayon>(TrainerConfig(default_trainer_settings()));
    std::vector<std::shared_ptr<ScriptedManager>> managers;
};

using Entries = std::vector<std::string>;

// --- _call_method --------------------------------------------------------------

TEST_F(RelayonTest, CallMethodReturnsAnAsyncCallablesAwaitableWithoutStartingIt) {
    auto started = std::make_shared<bool>(false);
    NetworkMgr::RemoteMethod attr = [started](const List& args, const Dict&) -> MaybeTask<Value> {
        return [](std::shared_ptr<bool> flag, Value first) -> Task<Value> {
            *flag = true;
            co_return first;
        }(started, args[0]);
    };

    MaybeTask<Value> result = relayon->_call_method(attr, List{7}, Dict{});
    ASSERT_TRUE(result.is_awaitable());
    EXPECT_FALSE(*started) << "the operation must not run before the caller awaits it";

    EXPECT_EQ(run_sync(std::move(result).task()), Value(7));
    EXPECT_TRUE(*started);
}

TEST_F(RelayonTest, CallMethodReturnsAPlainCallablesResultWithTheArgumentsItWasGiven) {
    List seen_args;
    Dict seen_kwargs;
    NetworkMgr::RemoteMethod attr = [&](const List& args, const Dict& kwargs) -> MaybeTask<Value> {
        seen_args = args;
        seen_kwargs = kwargs;
        return Value(42);
    };

    MaybeTask<Value> result = relayon->_call_method(attr, List{1, "x"}, Dict{{"version", "2.0"}});
    ASSERT_FALSE(result.is_awaitable());
    EXPECT_EQ(std::move(result).value(), Value(42));
    EXPECT_EQ(Value(seen_args), Value(List{1, "x"}));
    EXPECT_EQ(Value(seen_kwargs), Value(Dict{{"version", "2.0"}}));
}

TEST_F(RelayonTest, CallMethodWithoutAttrIsATypeError) {
    try {
        relayon->_call_method(NetworkMgr::RemoteMethod{}, List{}, Dict{});
        FAIL() << "expected TypeError";
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "_call_method() missing required argument 'attr'");
    }
}

TEST_F(RelayonTest, CallMethodLetsAFailureOfAttrItselfEscapeAtTheCall) {
    NetworkMgr::RemoteMethod attr = [](const List&, const Dict&) -> MaybeTask<Value> {
        throw ValueError("no such client");
    };
    try {
        relayon->_call_method(attr, List{}, Dict{});
        FAIL() << "expected ValueError";
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "no such client");
    }
}

// --- remote calls through the inherited operations -------------------------------

TEST_F(RelayonTest, RemoteCallInsideARunningLoopRunsOnlyWhenTheCallerAwaits) {
    // The base manager would refuse here (it cannot block a running loop).
    auto scenario = [](std::shared_ptr<Relayon> relayon, std::shared_ptr<Journal> journal) -> Task<Value> {
        MaybeTask<Value> pending = relayon->call_remote_perceptor_mgr("reset", List{1, 2});
        EXPECT_EQ(journal->entries, Entries{"perceptor.reset(2 args)"});
        co_return co_await std::move(pending).task();
    };
    EXPECT_EQ(run_sync(scenario(relayon, journal)), Value("perceptor done"));
    EXPECT_EQ(journal->entries, (Entries{"perceptor.reset(2 args)", "perceptor ran"}));
}

TEST_F(RelayonTest, RemoteCallToAnOrdinaryMethodGivesItsResultDirectly) {
    manager(RemoteManagerKind::sim).answer = Answer::plain;
    MaybeTask<Value> result = relayon->call_sim_mgr("status");
    ASSERT_FALSE(result.is_awaitable());
    EXPECT_EQ(std::move(result).value(), Value("simulator plain"));
}

// --- stop_all ----------------------------------------------------------------------

TEST_F(RelayonTest, StopAllDoesNothingUntilAwaited) {
    MaybeTask<Value> stopping = relayon->stop_all();
    ASSERT_TRUE(stopping.is_awaitable());
    EXPECT_TRUE(journal->entries.empty());
    EXPECT_TRUE(run_sync(std::move(stopping).task()).is_none());
}

TEST_F(RelayonTest, StopAllStopsEachManagerAfterThePreviousOneFinished) {
    run_sync(std::move(relayon->stop_all()).task());
    // Each manager is asked only once the previous stop has completed, each
    // with "stop_all" and no further arguments.
    EXPECT_EQ(journal->entries, (Entries{"simulator.stop_all(0 args)", "simulator ran",
                                         "agent.stop_all(0 args)", "agent ran",
                                         "perceptor.stop_all(0 args)", "perceptor ran",
                                         "controller.stop_all(0 args)", "controller ran"}));
}

TEST_F(RelayonTest, StopAllEndsAtTheFirstFailureAndAsksNoLaterManager) {
    struct Case {
        const char* name;
        RemoteManagerKind failing;
        Answer answer;
        const char* kind;
        const char* message;
        Entries journal;
    };
    const std::vector<Case> cases = {
        {"simulator's stop fails", RemoteManagerKind::sim, Answer::failing_task, "RuntimeError",
         "simulator refused to stop", {"simulator.stop_all(0 args)", "simulator ran"}},
        {"agent's stop fails", RemoteManagerKind::agent, Answer::failing_task, "RuntimeError",
         "agent refused to stop",
         {"simulator.stop_all(0 args)", "simulator ran", "agent.stop_all(0 args)", "agent ran"}},
        {"agent cannot be asked", RemoteManagerKind::agent, Answer::refuse, "RuntimeError", "agent unreachable",
         {"simulator.stop_all(0 args)", "simulator ran", "agent.stop_all(0 args)"}},
        {"perceptor answers with a plain value", RemoteManagerKind::perceptor, Answer::plain, "TypeError",
         "object str can't be used in 'await' expression",
         {"simulator.stop_all(0 args)", "simulator ran", "agent.stop_all(0 args)", "agent ran",
          "perceptor.stop_all(0 args)"}},
        {"controller's stop fails", RemoteManagerKind::controller, Answer::failing_task, "RuntimeError",
         "controller refused to stop",
         {"simulator.stop_all(0 args)", "simulator ran", "agent.stop_all(0 args)", "agent ran",
          "perceptor.stop_all(0 args)", "perceptor ran", "controller.stop_all(0 args)", "controller ran"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal->entries.clear();
        for (auto& m : managers) m->answer = Answer::task;
        manager(c.failing).answer = c.answer;

        MaybeTask<Value> stopping = relayon->stop_all();
        try {
            run_sync(std::move(stopping).task());
            ADD_FAILURE() << "expected " << c.kind;
        } catch (const Error& e) {
            EXPECT_STREQ(e.kind(), c.kind);
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(journal->entries, c.journal);
    }
}

// The real in-process managers: proxies created before stop_all refuse
// afterwards, and stopping works from inside a running loop.
class QuietTeacher : public Teacher {};

TEST(RelayonInprocess, StopAllStopsProxiesMadeByTheRemoteManagers) {
    auto relayon = std::make_shared<Relayon>(TrainerConfig(default_trainer_settings()));
    auto teacher_cls = std::make_shared<const ImplClass>(
        "quiet_teacher", ImplKind::teacher, [] { return std::make_shared<QuietTeacher>(); }, "1.0.0", "host");

    auto scenario = [](std::shared_ptr<Relayon> relayon, ImplClassPtr cls) -> Task<std::string> {
        Dict kwargs;
        kwargs.set("env_init", network_util::get_tarvik_url(cls));
        Value made = co_await std::move(relayon->call_remote_agent_mgr("create_with_client", {}, kwargs)).task();
        auto proxy = made.as_tuple()[1].as<Teacher>("teacher proxy");
        co_await proxy->reset();  // works while running
        co_await std::move(relayon->stop_all()).task();
        try {
            co_await proxy->reset();
        } catch (const RuntimeError& e) {
            co_return e.what();
        }
        co_return "proxy still answers";
    };
    EXPECT_EQ(run_sync(scenario(relayon, teacher_cls)), "remote teacher 'quiet_teacher' was stopped");
}

}  // namespace
