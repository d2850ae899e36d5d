// The asyncio bridge: the runtime's coroutines driven from Python.
//
// Each Python runtime owns a Driver: a private io_context that only ever runs
// on the thread that calls into it, stepped with poll() (never run()), with
// the GIL released while C++ and ONNX Runtime work. An operation (execute,
// package, ...) starts as a Call: the coroutine is spawned on the io_context
// and polled until it is finished or parked. Most steps finish in that one
// poll and the caller gets the result at once, with no asyncio object made.
//
// A coroutine parks when a Python implementation's method returns an
// awaitable (an `async def`): await_python hands the awaitable to the asyncio
// loop as a task and suspends the C++ frame. The task's done-callback, run by
// the asyncio loop on its own thread, resumes the frame and polls the
// io_context again, so the rest of the step runs inside that callback. The
// caller of a parked Call awaits an asyncio future that the Call completes.
// The loop is the running loop of the calling thread, or, for the synchronous
// facade, a private asyncio loop that the facade runs only while it waits
// (never while another loop runs on the thread).
//
// Work can also reach the io_context from other threads while a Call is
// parked: a remote call that outlasts its inline window resumes its frame
// from the transport's thread. The coroutines run on an executor that wakes
// the Call's waiter for such work: an asyncio loop waiting for the Call
// watches the driver's wake-up pipe and polls the io_context when it becomes
// readable; the synchronous facade, while no Python awaitable of the Call is
// parked, waits on a condition with the GIL released (in slices, so that
// Ctrl-C gets through) and polls after each wake-up.
//
// Cancellation: Call::cancel() emits a terminal cancellation into the
// coroutine; every parked Python task of that Call is cancelled, its frame
// resumed with tarvik_core::Cancelled, and the io_context polled until the
// Call has unwound. The asyncio tasks it cancelled are returned so that the
// caller can wait for their own clean-up.
//
// Outside any Driver (an implementation host calls the adapters from its own
// threads and event loops), an awaitable goes to the host scheduler, when
// one is installed: a Python callable that runs it on an asyncio loop the
// host owns, on a thread of its own, and returns a concurrent.futures.Future.
// Its done-callback posts the frame's resumption to the frame's own executor.
//
// Threads: a Driver refuses (RuntimeError) to be polled re-entrantly, or from
// a second thread while one polls it; different runtimes run in parallel on
// different threads. Python objects are touched only with the GIL held.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "tarvik_core/async.hpp"
#include "values.hpp"

namespace tarvik_python {

class Waker;

class Driver : public std::enable_shared_from_this<Driver> {
public:
    // `loop_provider`: a Python callable giving the asyncio loop for parked
    // awaitables, or None for the calling thread's running loop.
    explicit Driver(py::object loop_provider);
    virtual ~Driver();

    boost::asio::io_context& io() { return *io_; }
    // The io_context's executor that wakes the waiter (see above); the
    // coroutines run on it.
    boost::asio::any_io_executor executor();
    // Runs every ready handler with the GIL released. Needs the GIL.
    void drive();
    // The RuntimeError drive() would raise because the driver is being polled.
    void check_idle() const;
    // The Driver polling on this thread, or null.
    static Driver* current() noexcept;
    // The asyncio loop parked awaitables go to (GIL held).
    py::object parking_loop();

    // Polls the io_context whenever the wake-up pipe becomes readable while
    // `loop` runs; counted, so each watch() needs its unwatch() (GIL held).
    void watch(py::handle loop);
    void unwatch(py::handle loop);
    // Blocks, GIL released, until work was posted from outside a poll or
    // `timeout` passed (GIL held).
    void wait_for_work(std::chrono::milliseconds timeout);
    // Python awaitables parked on the asyncio loop and not yet finished.
    int parked_tasks() const noexcept { return parked_tasks_.load(); }
    void count_parked_task(int change) noexcept { parked_tasks_ += change; }
    const Waker* waker() const noexcept { return waker_.get(); }

protected:
    // Destroys pending handlers (and with them parked frames) now; owners
    // call it before the objects those frames refer to go away.
    void shutdown() noexcept;

private:
    void on_wake();

    PyRef loop_provider_;
    std::unique_ptr<Waker> waker_;
    std::vector<std::pair<PyRef, int>> watched_;  // loops watching the pipe, with counts (GIL)
    std::atomic<int> parked_tasks_{0};
    std::atomic<std::thread::id> polling_thread_{};
    std::optional<boost::asio::io_context> io_;
};

// One operation of a runtime, from start to result.
class Call : public std::enable_shared_from_this<Call> {
public:
    explicit Call(std::shared_ptr<Driver> driver) : driver_(std::move(driver)) {}

    // Spawns the task that `make` returns on the driver and polls it (GIL
    // held). `make` runs inside the poll, so the coroutine frames come from
    // Asio's per-thread recycling instead of the heap; a failure of `make`
    // itself propagates from here.
    template <class MakeTask>
    static std::shared_ptr<Call> start(std::shared_ptr<Driver> driver, MakeTask make) {
        // Refused before anything is queued, so a refused call leaves nothing behind.
        driver->check_idle();
        auto call = std::make_shared<Call>(driver);
        boost::asio::post(driver->io(), [call, make = std::move(make)]() mutable { call->spawn(make()); });
        driver->drive();
        return call;
    }

    bool done() const noexcept { return done_; }
    // The result, or the failure raised (GIL held; only once done).
    py::object result();
    // A future on `loop` that completes with the call; `loop` polls the
    // driver for work from other threads until then (GIL held).
    py::object future(py::handle loop);
    // The synchronous facade's wait: blocks (see above) until the call is
    // done, true, or has parked a Python awaitable, false (the caller then
    // runs the asyncio loop on future()). Raises what a signal handler
    // raised meanwhile (GIL held).
    bool block();
    // See above. Returns the asyncio tasks it cancelled (GIL held).
    py::list cancel();

private:
    void spawn(tarvik_core::Task<Value> task);
    void finish(std::exception_ptr error, Value value) noexcept;
    void settle_future();

    std::shared_ptr<Driver> driver_;
    boost::asio::cancellation_signal signal_;
    bool done_ = false;
    std::exception_ptr error_;
    Value value_;
    PyRef future_;
    PyRef watched_loop_;
};

// Installs the host scheduler (see above; GIL held). Process-wide; a later
// call replaces the earlier one.
void set_host_scheduler(py::object schedule);

// Awaits a Python awaitable from a runtime coroutine (see above) and gives
// its result. Outside a Driver's poll, with no host scheduler, it fails with
// RuntimeError naming `who`.
tarvik_core::Task<PyRef> await_python(PyRef awaitable, std::string who);

// True for objects that `await` accepts (GIL held).
bool is_awaitable(py::handle object) noexcept;

}  // namespace tarvik_python
