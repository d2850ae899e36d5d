// gather and run_sync: running several tasks at once, and one task on a
// private event loop.
//
// gather(tasks) starts every task on the awaiting coroutine's executor, lets
// them run concurrently, waits for all of them (a failure does not cancel the
// others), and returns their results in the order of `tasks`, not in the order
// they finished. If any failed, the failure of the earliest task in `tasks`
// order is rethrown once all have finished.
//
// run_sync(task) runs the task to completion on an event loop of its own and
// returns its result or rethrows its failure. It refuses with RuntimeError
// when the calling thread is already running an event loop, where blocking
// would deadlock the loop. The loop behaves as a fresh one for every call:
// the loop runs until no work is left, so work the task started (detached
// tasks included) finishes inside the call, and anything still queued when
// the call ends (after a handler threw, or someone stopped the loop) is
// destroyed unrun, never run by a later call. Building and tearing down an
// io_context costs several microseconds, so each thread keeps one loop and
// reuses it while it is left empty; every other case gets a fresh loop.
// RuntimeError when the loop stopped before the task finished.
//
// Include this only in sources that need it: it pulls in most of Asio.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "tarvik_core/async.hpp"

namespace tarvik_core {

namespace detail {
// Throws the RuntimeError that run_sync raises inside a running loop.
void refuse_nested_run(const char* operation);

// The event loop of one run_sync call: the calling thread's own loop when it
// is free and empty, else a fresh one. The destructor gives the loop back to
// the thread only when nothing is left in it; otherwise the loop is
// destroyed, and whatever it still holds with it.
class SyncLoop {
public:
    SyncLoop();
    ~SyncLoop();
    SyncLoop(const SyncLoop&) = delete;
    SyncLoop& operator=(const SyncLoop&) = delete;

    boost::asio::io_context& context() noexcept { return *ctx_; }
    // Runs the loop until it is out of work or stopped; a handler's
    // exception propagates, and the loop is then not reused.
    void run();
    // The RuntimeError for a task the loop stopped before it finished.
    [[noreturn]] void unfinished(const char* operation);

private:
    std::unique_ptr<boost::asio::io_context> ctx_;
    bool reusable_ = true;
};

template <class Results>
void rethrow_first(const std::vector<std::size_t>&, const std::vector<std::exception_ptr>& errors) {
    for (const auto& e : errors)
        if (e) std::rethrow_exception(e);
}
}  // namespace detail

template <class T>
Task<std::vector<T>> gather(std::vector<Task<T>> tasks) {
    if (tasks.empty()) co_return std::vector<T>{};
    auto executor = co_await boost::asio::this_coro::executor;
    using Op = decltype(boost::asio::co_spawn(executor, std::move(tasks.front()), boost::asio::deferred));
    std::vector<Op> ops;
    ops.reserve(tasks.size());
    for (auto& t : tasks) ops.push_back(boost::asio::co_spawn(executor, std::move(t), boost::asio::deferred));
    auto [order, errors, results] =
        co_await boost::asio::experimental::make_parallel_group(std::move(ops))
            .async_wait(boost::asio::experimental::wait_for_all(), boost::asio::use_awaitable);
    detail::rethrow_first<void>(order, errors);
    co_return std::move(results);
}

inline Task<void> gather(std::vector<Task<void>> tasks) {
    if (tasks.empty()) co_return;
    auto executor = co_await boost::asio::this_coro::executor;
    using Op = decltype(boost::asio::co_spawn(executor, std::move(tasks.front()), boost::asio::deferred));
    std::vector<Op> ops;
    ops.reserve(tasks.size());
    for (auto& t : tasks) ops.push_back(boost::asio::co_spawn(executor, std::move(t), boost::asio::deferred));
    auto [order, errors] =
        co_await boost::asio::experimental::make_parallel_group(std::move(ops))
            .async_wait(boost::asio::experimental::wait_for_all(), boost::asio::use_awaitable);
    detail::rethrow_first<void>(order, errors);
}

template <class T>
T run_sync(Task<T> task, const char* operation = "run_sync") {
    if (in_running_loop()) detail::refuse_nested_run(operation);
    detail::SyncLoop loop;
    std::exception_ptr error;
    bool finished = false;
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(loop.context(), std::move(task), [&](std::exception_ptr e) {
            error = e;
            finished = true;
        });
        loop.run();
        if (!finished) loop.unfinished(operation);
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<T> result;
        boost::asio::co_spawn(loop.context(), std::move(task), [&](std::exception_ptr e, T value) {
            error = e;
            finished = true;
            if (!e) result.emplace(std::move(value));
        });
        loop.run();
        if (!finished) loop.unfinished(operation);
        if (error) std::rethrow_exception(error);
        return std::move(*result);
    }
}

}  // namespace tarvik_core
