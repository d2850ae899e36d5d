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
//
// Deadlines and cancellation do not depend on the caller's loop: the poller
// thread cancels an operation whose deadline passed (however seldom, or
// never, the loop is stepped meanwhile: a Python asyncio loop only wakes for
// posts), and the Asio cancellation of the awaiting coroutine cancels the
// operation at once. Either way the operation comes back failed through the
// queue and resumes its coroutine as an answer would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>
#include <grpcpp/completion_queue.h>
#include <grpcpp/support/async_unary_call.h>
#include <grpcpp/support/status.h>

#include "tarvik_core/async.hpp"

namespace tarvik_remote {

// What the queue tracks of an operation in flight; its address is the
// operation's tag.
struct Pending {
    virtual ~Pending() = default;
    grpc::Status status;              // a unary call's, once done
    std::mutex mutex;
    bool done = false;
    bool ok = false;                  // the queue's verdict on the operation
    bool timed_out = false;           // its deadline passed and it was cancelled
    bool cancelled = false;           // its awaiting coroutine was cancelled, and so was it
    std::chrono::system_clock::time_point deadline = std::chrono::system_clock::time_point::max();
    std::function<void()> cancel;     // makes the operation come back promptly (failed)
    std::function<void()> resume;     // set once the awaiting coroutine suspended
    std::shared_ptr<Pending> keep;    // the operation, until the queue gave it back

    // Hands `self` to the queue until the operation comes back; returns its tag.
    static void* tag(const std::shared_ptr<Pending>& self) {
        self->keep = self;
        return self.get();
    }
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
        call->reader->Finish(&call->reply, &call->status, Pending::tag(call));
        // gRPC enforces the deadline in the context; cancel() is for the
        // coroutine's cancellation.
        Call<Request, Reply>* raw = call.get();
        return wait(call, std::chrono::system_clock::time_point::max(), [raw] { raw->context.TryCancel(); });
    }

    // Waits for the operation started with Pending::tag(operation). When
    // `deadline` passes first, `cancel` is called, which must make the
    // operation come back promptly (as failed); operation->timed_out then
    // says so. Unary calls carry their deadline in their context instead.
    // When the awaiting coroutine is cancelled (its Asio cancellation slot),
    // `cancel` is called too and operation->cancelled says so; the wait
    // still ends only once the operation came back, so that whatever it
    // refers to may go afterwards.
    tarvik_core::Task<void> wait(std::shared_ptr<Pending> operation,
                                 std::chrono::system_clock::time_point deadline = std::chrono::system_clock::time_point::max(),
                                 std::function<void()> cancel = {});

private:
    // Takes answers off the queue on this thread until `call` has its answer
    // or `until` passes.
    void drive(Pending& call, std::chrono::system_clock::time_point until);
    void complete(Pending* call, bool ok);
    void poll();
    // Cancels the suspended operations whose deadline passed; the earliest
    // deadline still ahead.
    std::chrono::system_clock::time_point expire_due();
    // Marks `call` timed out (or, with `abandoned`, cancelled) and cancels
    // it, unless it came back already.
    static void give_up(Pending& call, bool abandoned);

    grpc::CompletionQueue queue_;
    std::mutex mutex_;
    std::condition_variable wake_;
    int suspended_ = 0;  // calls whose coroutine waits for the poller
    std::vector<std::shared_ptr<Pending>> timed_;  // those of them with a deadline
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
