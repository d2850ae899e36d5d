// Task and MaybeTask: the runtime's awaitable types.
//
// Every asynchronous operation of the runtime returns a `Task<T>`, an Asio
// awaitable that runs on the host's event loop (a boost::asio::io_context)
// when the caller co_awaits it. Nothing in the runtime starts threads or event
// loops of its own, except `run_sync` (async_run.hpp), the fresh-loop runner
// behind the processors' synchronous `execute`.
//
// Some operations return "a value, or an awaitable giving a value": a remote
// call made through a network manager, or a network manager's stop_all.
// `MaybeTask<T>` holds either. Awaiting one that holds a plain value is a
// TypeError, exactly as awaiting a non-awaitable object would be.
//
// Coroutines that outlive their caller take arguments by value; references
// are fine in coroutines that the caller awaits at once.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "tarvik_core/errors.hpp"

namespace tarvik_core {

template <class T = void>
using Task = boost::asio::awaitable<T>;

// True while the calling thread is running any Asio event loop.
bool in_running_loop() noexcept;

namespace detail {
[[noreturn]] void throw_not_awaitable(const std::string& what);
}

template <class T>
class MaybeTask {
public:
    MaybeTask(T value) : v_(std::move(value)) {}
    MaybeTask(Task<T> task) : v_(std::move(task)) {}

    bool is_awaitable() const noexcept { return v_.index() == 1; }

    // The awaitable, to co_await; TypeError when this holds a plain value.
    Task<T> task() && {
        if (!is_awaitable()) detail::throw_not_awaitable(describe_plain());
        return std::move(std::get<1>(v_));
    }
    // The plain value; TypeError when this holds an awaitable.
    T value() && {
        if (is_awaitable())
            throw TypeError("expected a plain value but got an awaitable that was never awaited");
        return std::move(std::get<0>(v_));
    }

private:
    std::string describe_plain() const;
    std::variant<T, Task<T>> v_;
};

}  // namespace tarvik_core

#include "tarvik_core/value.hpp"

namespace tarvik_core {
template <class T>
std::string MaybeTask<T>::describe_plain() const {
    if constexpr (std::is_same_v<T, Value>) return "object " + std::get<0>(v_).type_name();
    else return "a plain value";
}
}  // namespace tarvik_core
