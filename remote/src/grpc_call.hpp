// Client calls awaited on the caller's event loop.
//
// A gRPC call made through the callback API completes on one of gRPC's own
// threads. await_call starts such a call and suspends the awaiting coroutine
// without blocking its loop; the completion is posted back to the
// coroutine's executor, so the coroutine always resumes on its own loop.
// The loop counts the call as outstanding work meanwhile, so a loop that has
// nothing else to do keeps running until the answer (or the deadline) comes.
//
// The call's state (context, request, reply) belongs to a shared Call object
// that the completion keeps alive: it outlives the coroutine if need be.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>
#include <grpcpp/support/status.h>

#include "tarvik_core/async.hpp"

namespace tarvik_remote {

// One unary call: its context, request and reply.
template <class Request, class Reply>
struct Call {
    grpc::ClientContext context;
    Request request;
    Reply reply;
};

// `start(done)` starts the call and arranges for `done(status)` to run when
// it completes, on any thread. The awaiting coroutine resumes on its own
// executor with that status.
template <class Start>
tarvik_core::Task<grpc::Status> await_call(Start start) {
    namespace asio = boost::asio;
    auto executor = co_await asio::this_coro::executor;
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(grpc::Status)>(
        [&start, executor](auto handler) {
            auto work = asio::prefer(executor, asio::execution::outstanding_work.tracked);
            auto resume = std::make_shared<decltype(handler)>(std::move(handler));
            start(std::function<void(grpc::Status)>([resume, work](grpc::Status status) {
                asio::post(work, [resume, status = std::move(status)]() mutable { std::move (*resume)(std::move(status)); });
            }));
        },
        asio::use_awaitable);
}

// Sets the call's deadline `seconds` from now.
void set_timeout(grpc::ClientContext& context, double seconds);

// A channel to `address` that sends and accepts messages up to
// `max_message_bytes`, and that tries a host which went away again within
// about a second instead of backing off for minutes.
std::shared_ptr<grpc::Channel> make_channel(const std::string& address, std::int64_t max_message_bytes);

}  // namespace tarvik_remote
