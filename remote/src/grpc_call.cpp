// Channels and deadlines for the clients.
#include "grpc_call.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

namespace tarvik_remote {

CallQueue::CallQueue() : poller_([this] { poll(); }) {}

CallQueue::~CallQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    poller_.join();
    // Every call still owed an answer gets it (cancelled) before the queue goes.
    queue_.Shutdown();
    void* tag;
    bool ok;
    while (queue_.Next(&tag, &ok)) complete(static_cast<Pending*>(tag), ok);
}

void CallQueue::complete(Pending* call, bool ok) {
    std::function<void()> resume;
    std::shared_ptr<Pending> keep;
    {
        std::lock_guard lock(call->mutex);
        call->done = true;
        call->ok = ok;
        resume = std::move(call->resume);
        keep = std::move(call->keep);
    }
    if (resume) {
        {
            std::lock_guard lock(mutex_);
            --suspended_;
            std::erase_if(timed_, [call](const auto& timed) { return timed.get() == call; });
        }
        resume();
    }
}

void CallQueue::give_up(Pending& call, bool abandoned) {
    std::function<void()> cancel;
    {
        std::lock_guard lock(call.mutex);
        if (call.done || call.timed_out || call.cancelled) return;
        (abandoned ? call.cancelled : call.timed_out) = true;
        cancel = call.cancel;
    }
    if (cancel) cancel();
}

std::chrono::system_clock::time_point CallQueue::expire_due() {
    const auto now = std::chrono::system_clock::now();
    auto next = std::chrono::system_clock::time_point::max();
    std::vector<std::shared_ptr<Pending>> due;
    {
        std::lock_guard lock(mutex_);
        for (const auto& call : timed_) {
            if (call->deadline <= now) due.push_back(call);
            else next = std::min(next, call->deadline);
        }
    }
    // A cancelled operation comes back through the queue, which takes it off
    // timed_; giving up twice does nothing.
    for (const auto& call : due) give_up(*call, false);
    return next;
}

void CallQueue::drive(Pending& call, std::chrono::system_clock::time_point until) {
    // In short slices: when another thread takes this call's answer off the
    // queue, this one notices at the end of its slice.
    constexpr auto kSlice = std::chrono::microseconds(200);
    while (true) {
        {
            std::lock_guard lock(call.mutex);
            if (call.done) return;
        }
        const auto now = std::chrono::system_clock::now();
        if (now >= until) return;
        void* tag;
        bool ok;
        switch (queue_.AsyncNext(&tag, &ok, std::min(until, now + kSlice))) {
            case grpc::CompletionQueue::GOT_EVENT: complete(static_cast<Pending*>(tag), ok); break;
            case grpc::CompletionQueue::TIMEOUT: break;
            case grpc::CompletionQueue::SHUTDOWN: return;
        }
    }
}

// The poller drives the queue only while some coroutine is suspended on it,
// so that it never stands between a waiting thread and its answer.
void CallQueue::poll() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || suspended_ > 0; });
        if (stopping_) return;
        lock.unlock();
        const auto next_deadline = expire_due();
        void* tag;
        bool ok;
        if (queue_.AsyncNext(&tag, &ok,
                             std::min(next_deadline, std::chrono::system_clock::now() + std::chrono::milliseconds(50))) ==
            grpc::CompletionQueue::GOT_EVENT)
            complete(static_cast<Pending*>(tag), ok);
        lock.lock();
    }
}

tarvik_core::Task<void> CallQueue::wait(std::shared_ptr<Pending> call, std::chrono::system_clock::time_point deadline,
                                        std::function<void()> cancel) {
    namespace asio = boost::asio;
    {
        std::lock_guard lock(call->mutex);
        call->deadline = deadline;
        call->cancel = std::move(cancel);
    }
    auto is_done = [&] {
        std::lock_guard lock(call->mutex);
        return call->done;
    };
    drive(*call, std::min(deadline, std::chrono::system_clock::now() + kInlineWindow));
    if (is_done()) co_return;
    // Out of time on this thread, or cancelled before it got here: the
    // cancelled operation comes back at once. (Checked before suspending,
    // because suspending a cancelled coroutine throws.)
    const auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
    if (cancelled != asio::cancellation_type::none || std::chrono::system_clock::now() >= deadline) {
        give_up(*call, cancelled != asio::cancellation_type::none);
        drive(*call, std::chrono::system_clock::time_point::max());
        co_return;
    }
    auto executor = co_await asio::this_coro::executor;
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [this, &call, executor](auto handler) {
            auto slot = asio::get_associated_cancellation_slot(handler);
            auto work = asio::prefer(executor, asio::execution::outstanding_work.tracked);
            auto resume = std::make_shared<decltype(handler)>(std::move(handler));
            // The slot is cleared on the loop's thread before the coroutine
            // goes on: its handler refers to this operation only.
            auto post_resume = [resume, work, slot]() mutable {
                asio::post(work, [resume, slot]() mutable {
                    if (slot.is_connected()) slot.clear();
                    std::move(*resume)();
                });
            };
            {
                std::lock_guard lock(call->mutex);
                if (!call->done) {
                    call->resume = std::move(post_resume);
                    if (slot.is_connected())
                        slot.assign([operation = std::weak_ptr<Pending>(call)](asio::cancellation_type type) {
                            if (type == asio::cancellation_type::none) return;
                            if (auto pending = operation.lock()) give_up(*pending, true);
                        });
                    std::lock_guard queue_lock(mutex_);
                    ++suspended_;
                    if (call->deadline != std::chrono::system_clock::time_point::max()) timed_.push_back(call);
                    wake_.notify_one();
                    return;
                }
            }
            post_resume();  // answered in the meantime
        },
        asio::use_awaitable);
}

void set_timeout(grpc::ClientContext& context, double seconds) {
    context.set_deadline(std::chrono::system_clock::now() +
                         std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::duration<double>(seconds)));
}

std::shared_ptr<grpc::Channel> make_channel(const std::string& address, std::int64_t max_message_bytes) {
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(static_cast<int>(max_message_bytes));
    arguments.SetMaxSendMessageSize(static_cast<int>(max_message_bytes));
    // After a host restarts, calls should reach it again promptly; gRPC's
    // default backoff grows to two minutes. (The minimum backoff stays: it
    // is also how long one connection attempt may take.)
    arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
    arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
    // Every channel gets its own connection: runtimes in one process must
    // not share (and so serialise on) one socket.
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
}

}  // namespace tarvik_remote
