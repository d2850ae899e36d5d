// Runs a task to completion on a given event loop, on the calling thread.
//
// Servers run each call of one object (a hosted implementation, a session's
// runtime) on that object's own loop, from whichever gRPC thread took the
// call: everything the object's coroutines start belongs to one loop, and
// one call at a time runs it (the caller holds the object's lock).
#pragma once

#include <exception>
#include <optional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "tarvik_core/async.hpp"

namespace tarvik_remote {

template <class T>
T run_on_loop(boost::asio::io_context& loop, tarvik_core::Task<T> task) {
    std::exception_ptr failure;
    loop.restart();
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e) { failure = e; });
        loop.run();
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<T> result;
        boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e, T value) {
            failure = e;
            if (!e) result.emplace(std::move(value));
        });
        loop.run();
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

}  // namespace tarvik_remote
