#include "tarvik_core/async.hpp"

#include <boost/asio/detail/scheduler.hpp>
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

namespace {

// Asio keeps the count of a loop's unfinished work (queued handlers, pending
// waits, anything holding the loop busy) private. Naming a private member in
// an explicit instantiation is allowed, and this reads the count through it:
// a loop may be reused only when the count is zero, that is when a fresh
// loop would hold exactly as much.
struct OutstandingWork {
    using type = boost::asio::detail::atomic_count boost::asio::detail::scheduler::*;
    friend type member(OutstandingWork);
};
template <class Tag, typename Tag::type Member>
struct Expose {
    friend typename Tag::type member(Tag) { return Member; }
};
template struct Expose<OutstandingWork, &boost::asio::detail::scheduler::outstanding_work_>;

bool holds_work(boost::asio::io_context& ctx) {
    auto& scheduler = boost::asio::use_service<boost::asio::detail::io_context_impl>(ctx);
    return static_cast<long>(scheduler.*member(OutstandingWork{})) != 0;
}

// The calling thread's idle loop; empty while a run_sync call on this thread
// has it, so that a call made while it is out (from a destructor, say) gets
// a fresh loop rather than sharing it.
thread_local std::unique_ptr<boost::asio::io_context> idle_loop;

}  // namespace

SyncLoop::SyncLoop() : ctx_(std::move(idle_loop)) {
    // Work posted to the idle loop between calls (through an executor kept
    // from an earlier call) belongs to no call: it is destroyed unrun.
    if (ctx_ && holds_work(*ctx_)) ctx_.reset();
    if (ctx_) ctx_->restart();
    else ctx_ = std::make_unique<boost::asio::io_context>(1);
}

SyncLoop::~SyncLoop() {
    // A loop that still holds work is destroyed with it, as a fresh loop per
    // call would be; only an empty one is kept for the next call.
    if (reusable_ && !idle_loop && !holds_work(*ctx_)) idle_loop = std::move(ctx_);
}

void SyncLoop::run() {
    reusable_ = false;
    ctx_->run();
    reusable_ = true;
}

void SyncLoop::unfinished(const char* operation) {
    reusable_ = false;
    throw RuntimeError(std::string(operation) + "(): the event loop stopped before the task finished");
}

}  // namespace detail
}  // namespace tarvik_core
