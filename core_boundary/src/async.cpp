#include "tarvik_core/async.hpp"

#include <boost/asio/detail/thread_context.hpp>

#include "tarvik_core/async_run.hpp"

namespace tarvik_core {

bool in_running_loop() noexcept {
    // Asio records every scheduler that is running on this thread; a non-empty
    // call stack means we are inside some io_context::run().
    return boost::asio::detail::thread_context::top_of_thread_call_stack() != nullptr;
}

namespace detail {

void throw_not_awaitable(const std::string& what) {
    throw TypeError(what + " can't be used in 'await' expression");
}

void refuse_nested_run(const char* operation) {
    throw RuntimeError(std::string(operation) +
                       "() cannot be called from a running event loop: it would block the loop it runs on; "
                       "await the asynchronous operation instead");
}

}  // namespace detail
}  // namespace tarvik_core
