// gather and run_sync: running several tasks at once, and one task on a
// private event loop.
//
// gather(tasks) starts every task on the awaiting coroutine's executor, lets
// them run concurrently, waits for all of them (a failure does not cancel the
// others), and returns their results in the order of `tasks`, not in the order
// they finished. If any failed, the failure of the earliest task in `tasks`
// order is rethrown once all have finished.
//
// run_sync(task) runs the task to completion on a fresh io_context and returns
// its result or rethrows its failure. It refuses with RuntimeError when the
// calling thread is already running an event loop, where blocking would
// deadlock the loop.
//
// Include this only in sources that need it: it pulls in most of Asio.
#pragma once

#include <exception>
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
    boost::asio::io_context ctx(1);
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(ctx, std::move(task), [&](std::exception_ptr e) { error = e; });
        ctx.run();
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<T> result;
        boost::asio::co_spawn(ctx, std::move(task), [&](std::exception_ptr e, T value) {
            error = e;
            if (!e) result.emplace(std::move(value));
        });
        ctx.run();
        if (error) std::rethrow_exception(error);
        return std::move(*result);
    }
}

}  // namespace tarvik_core
