// Tasks: gather's ordering and failure rules, run_sync's refusal inside a
// running loop and its fresh-loop guarantee, awaiting plain values, and what
// counts as an ordinary error.
#include <chrono>
#include <functional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"

using namespace tarvik_core;
using namespace std::chrono_literals;

namespace {

Task<int> after(std::chrono::milliseconds delay, int value, std::vector<int>* finished) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, delay);
    co_await timer.async_wait(boost::asio::use_awaitable);
    finished->push_back(value);
    co_return value;
}

Task<int> failing_after(std::chrono::milliseconds delay, std::string message) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, delay);
    co_await timer.async_wait(boost::asio::use_awaitable);
    throw ValueError(message);
}

TEST(Gather, ResultsFollowInputOrderNotCompletionOrder) {
    std::vector<int> finished;
    auto results = run_sync([&]() -> Task<std::vector<int>> {
        std::vector<Task<int>> tasks;
        tasks.push_back(after(30ms, 1, &finished));
        tasks.push_back(after(10ms, 2, &finished));
        tasks.push_back(after(20ms, 3, &finished));
        co_return co_await gather(std::move(tasks));
    }());
    EXPECT_EQ(results, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(finished, (std::vector<int>{2, 3, 1})) << "the tasks really ran concurrently";
}

TEST(Gather, FailureWaitsForTheOthersAndRethrowsTheEarliestInOrder) {
    std::vector<int> finished;
    try {
        run_sync([&]() -> Task<void> {
            std::vector<Task<int>> tasks;
            tasks.push_back(after(30ms, 1, &finished));
            tasks.push_back(failing_after(20ms, "second"));
            tasks.push_back(failing_after(5ms, "third"));
            (void)co_await gather(std::move(tasks));
        }());
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "second");
    }
    EXPECT_EQ(finished, (std::vector<int>{1})) << "a failure does not cancel the other tasks";
}

TEST(Gather, EmptyAndVoidTasks) {
    EXPECT_TRUE(run_sync(gather(std::vector<Task<int>>{})).empty());
    int count = 0;
    run_sync([&]() -> Task<void> {
        std::vector<Task<void>> tasks;
        for (int i = 0; i < 3; ++i) tasks.push_back([](int* c) -> Task<void> { ++*c; co_return; }(&count));
        co_await gather(std::move(tasks));
    }());
    EXPECT_EQ(count, 3);
}

TEST(RunSync, RefusesInsideARunningLoopInsteadOfDeadlocking) {
    boost::asio::io_context ctx;
    std::exception_ptr seen;
    boost::asio::co_spawn(ctx, []() -> Task<void> {
        EXPECT_TRUE(in_running_loop());
        run_sync([]() -> Task<int> { co_return 1; }(), "execute");
        co_return;
    }(), [&](std::exception_ptr e) { seen = e; });
    ctx.run();
    ASSERT_TRUE(seen);
    try {
        std::rethrow_exception(seen);
    } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("execute() cannot be called from a running event loop", 0), 0u);
    }
    EXPECT_FALSE(in_running_loop());
}

void stop_loop(const boost::asio::any_io_executor& ex) {
    static_cast<boost::asio::io_context&>(boost::asio::query(ex, boost::asio::execution::context)).stop();
}

// Each call behaves as if it had a fresh loop: work a call leaves behind
// either finishes inside that call or is dropped, and never runs during the
// next call, however the first call ended.
TEST(RunSync, NothingLeftByOneCallRunsDuringTheNext) {
    using Journal = std::vector<std::string>;
    Journal journal;
    boost::asio::any_io_executor kept;
    auto record = [&journal] { journal.push_back("left-over ran"); };
    struct Case {
        const char* name;
        std::function<Task<int>()> first;
        const char* failure;  // what the first call raises, if anything
        Journal after_first;
        std::function<void()> between = {};
    };
    const std::vector<Case> cases = {
        {"detached work finishes inside its own call",
         [&]() -> Task<int> {
             auto ex = co_await boost::asio::this_coro::executor;
             boost::asio::co_spawn(ex, [&, ex]() -> Task<void> {
                 for (int i = 0; i < 3; ++i) co_await boost::asio::post(ex, boost::asio::use_awaitable);
                 record();
             }, boost::asio::detached);
             co_return 1;
         },
         nullptr, {"left-over ran"}},
        {"a handler that throws leaves queued work behind",
         [&]() -> Task<int> {
             auto ex = co_await boost::asio::this_coro::executor;
             boost::asio::post(ex, [] { throw ValueError("handler failed"); });
             boost::asio::post(ex, record);
             co_return 1;
         },
         "handler failed", {}},
        {"the loop stopped after the task finished",
         [&]() -> Task<int> {
             auto ex = co_await boost::asio::this_coro::executor;
             // A few turns later, once the task has delivered its result.
             boost::asio::co_spawn(ex, [&, ex]() -> Task<void> {
                 for (int i = 0; i < 3; ++i) co_await boost::asio::post(ex, boost::asio::use_awaitable);
                 stop_loop(ex);
                 boost::asio::post(ex, record);
             }, boost::asio::detached);
             co_return 1;
         },
         nullptr, {}},
        {"the loop stopped before the task finished",
         [&]() -> Task<int> {
             auto ex = co_await boost::asio::this_coro::executor;
             stop_loop(ex);
             co_await boost::asio::post(ex, boost::asio::use_awaitable);
             record();
             co_return 1;
         },
         "run_sync(): the event loop stopped before the task finished", {}},
        {"work posted through an executor kept from the call",
         [&]() -> Task<int> {
             kept = co_await boost::asio::this_coro::executor;
             co_return 1;
         },
         nullptr, {}, [&] { boost::asio::post(kept, record); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal.clear();
        if (c.failure) {
            try {
                run_sync(c.first());
                ADD_FAILURE() << "the first call did not fail";
            } catch (const Error& e) {
                EXPECT_STREQ(e.what(), c.failure);
            }
        } else {
            EXPECT_EQ(run_sync(c.first()), 1);
        }
        EXPECT_EQ(journal, c.after_first);
        if (c.between) c.between();
        EXPECT_EQ(run_sync([&]() -> Task<int> {
                      journal.push_back("second call");
                      co_return 2;
                  }()),
                  2);
        Journal expected = c.after_first;
        expected.push_back("second call");
        EXPECT_EQ(journal, expected);
    }
}

TEST(MaybeTasks, AwaitingAPlainValueIsATypeError) {
    MaybeTask<Value> plain(Value(3));
    EXPECT_FALSE(plain.is_awaitable());
    try {
        (void)std::move(plain).task();
        FAIL();
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "object int can't be used in 'await' expression");
    }
    MaybeTask<Value> task([]() -> Task<Value> { co_return Value(4); }());
    EXPECT_TRUE(task.is_awaitable());
    EXPECT_EQ(run_sync(std::move(task).task()).as_int(), 4);
}

TEST(OrdinaryErrors, CancellationAndInterruptionAreNotOrdinary) {
    EXPECT_TRUE(is_ordinary_error(std::make_exception_ptr(ValueError("x"))));
    EXPECT_TRUE(is_ordinary_error(std::make_exception_ptr(std::runtime_error("x"))));
    EXPECT_FALSE(is_ordinary_error(std::make_exception_ptr(Cancelled())));
    EXPECT_FALSE(is_ordinary_error(std::make_exception_ptr(Interrupted())));
    EXPECT_FALSE(is_ordinary_error(std::make_exception_ptr(
        boost::system::system_error(boost::asio::error::operation_aborted))));
    EXPECT_FALSE(is_ordinary_error(nullptr));
    EXPECT_EQ(error_text(std::make_exception_ptr(KeyError("'k'"))), "'k'");
}

TEST(ErrorKinds, KindNamesAndCause) {
    RuntimeError wrapper("outer");
    wrapper.set_cause(std::make_exception_ptr(ValueError("inner")));
    EXPECT_STREQ(wrapper.kind(), "RuntimeError");
    EXPECT_EQ(error_text(wrapper.cause()), "inner");
    EXPECT_STREQ(Error("plain").kind(), "Exception");
}

}  // namespace
