// Client calls awaited on the caller's event loop.
//
// A call's answer arrives on a completion queue. The coroutine that awaits
// the call first drives that queue itself, on its own thread, for a short
// window: most calls (loopback, a local network, a quick implementation)
// complete within it, at the latency of a plain blocking call, with no
// thread between the socket and the caller. A call that takes longer stops
// holding the loop: the coroutine suspends, a poller thread of the queue
// takes over, and the answer resumes the coroutine on its own executor
// (counted as outstanding work meanwhile, so the loop keeps running until
// then). The loop is thus blocked for at most the window per call.
//
// Each call's state (context, request, reply, status) lives in a shared Call
// object that the queue keeps alive until gRPC is done with it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>
#include <grpcpp/completion_queue.h>
#include <grpcpp/support/async_unary_call.h>
#include <grpcpp/support/status.h>

#include "tarvik_core/async.hpp"

namespace tarvik_remote {

// What the queue tracks of a call in flight.
struct Pending {
    virtual ~Pending() = default;
    grpc::Status status;
    std::mutex mutex;
    bool done = false;
    std::function<void()> resume;     // set once the awaiting coroutine suspended
    std::shared_ptr<Pending> keep;    // the call, until the queue gave it back
};

// One unary call: its context, request, reply and response reader.
template <class Request, class Reply>
struct Call : Pending {
    grpc::ClientContext context;
    Request request;
    Reply reply;
    std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> reader;
};

class CallQueue {
public:
    // How long a waiting thread drives the queue itself before it suspends.
    static constexpr std::chrono::microseconds kInlineWindow{1000};

    CallQueue();
    ~CallQueue();
    CallQueue(const CallQueue&) = delete;
    CallQueue& operator=(const CallQueue&) = delete;

    grpc::CompletionQueue* queue() noexcept { return &queue_; }

    // Starts `call` (prepared with `prepare(context, request, queue)`) and
    // waits for its answer as described above; the status is in
    // call->status afterwards.
    template <class Request, class Reply, class Prepare>
    tarvik_core::Task<void> run(std::shared_ptr<Call<Request, Reply>> call, Prepare prepare) {
        call->reader = prepare(&call->context, call->request, &queue_);
        call->reader->StartCall();
        call->keep = call;
        call->reader->Finish(&call->reply, &call->status, static_cast<Pending*>(call.get()));
        return wait(call);
    }

private:
    tarvik_core::Task<void> wait(std::shared_ptr<Pending> call);
    // Takes answers off the queue on this thread until `call` has its answer
    // or `until` passes.
    void drive(Pending& call, std::chrono::system_clock::time_point until);
    void complete(Pending* call);
    void poll();

    grpc::CompletionQueue queue_;
    std::mutex mutex_;
    std::condition_variable wake_;
    int suspended_ = 0;  // calls whose coroutine waits for the poller
    bool stopping_ = false;
    std::thread poller_;
};

// Sets the call's deadline `seconds` from now.
void set_timeout(grpc::ClientContext& context, double seconds);

// A channel to `address` that sends and accepts messages up to
// `max_message_bytes`, and that tries a host which went away again within
// about a second instead of backing off for minutes.
std::shared_ptr<grpc::Channel> make_channel(const std::string& address, std::int64_t max_message_bytes);

}  // namespace tarvik_remote
