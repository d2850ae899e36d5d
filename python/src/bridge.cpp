// Driver, Call and the parking of C++ frames on Python awaitables.
#include "bridge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "errors.hpp"
#include "tarvik_core/errors.hpp"

namespace tarvik_python {

namespace {

thread_local Driver* t_current_driver = nullptr;
// Set while Call::cancel runs: every parked task cancelled meanwhile lands
// here, so the Call can hand them to its caller.
thread_local std::vector<PyRef>* t_cancelled_tasks = nullptr;

py::object asyncio_function(const char* name) {
    return py::module_::import("asyncio").attr(name);
}

// Cancellation, as opposed to an interruption, which is raised as it is.
bool is_cancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const tarvik_core::Cancelled&) {
        return true;
    } catch (const boost::system::system_error& e) {
        return e.code() == boost::asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

// Guarded by the GIL.
PyRef& host_scheduler() {
    static auto* scheduler = new PyRef();
    return *scheduler;
}

}  // namespace

// --- waking the waiter -------------------------------------------------------------

// How a Driver's waiter learns that work arrived from outside a poll: a flag
// and a condition for the synchronous facade, and a pipe that an asyncio loop
// watches. posted() needs no GIL, so the transport's threads call it freely.
class Waker {
public:
    Waker() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            throw tarvik_core::RuntimeError(std::string("cannot make the runtime's wake-up pipe: ") + std::strerror(errno));
        read_fd_ = fds[0];
        write_fd_ = fds[1];
    }
    ~Waker() {
        wait_for_posts();
        ::close(read_fd_);
        ::close(write_fd_);
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    // Brackets a post from outside a poll; the owner waits for the posts in
    // flight before it destroys the io_context they post to.
    void begin_post() noexcept { posting_.fetch_add(1); }
    void end_post() noexcept {
        posted();
        posting_.fetch_sub(1);
    }
    void wait_for_posts() const noexcept {
        while (posting_.load() != 0) std::this_thread::yield();
    }

    void posted() noexcept {
        {
            std::lock_guard lock(mutex_);
            posted_ = true;
        }
        changed_.notify_all();
        // One byte at most in the pipe: the loop drains it before it polls.
        if (!armed_.exchange(true)) {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(write_fd_, &byte, 1);
        }
    }

    // True when work was posted since the last wait (GIL not held).
    bool wait_for(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [this] { return posted_; });
        return std::exchange(posted_, false);
    }

    int read_fd() const noexcept { return read_fd_; }

    // Empties the pipe; work posted from here on writes to it again.
    void drain() noexcept {
        char bytes[16];
        while (::read(read_fd_, bytes, sizeof bytes) > 0) {
        }
        armed_.store(false);
    }

private:
    int read_fd_ = -1;
    int write_fd_ = -1;
    std::atomic<bool> armed_{false};
    std::atomic<int> posting_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool posted_ = false;
};

namespace {

// Set while a parked frame's resumption is posted by the thread that polls
// the driver right afterwards, which needs no wake-up.
thread_local const Waker* t_polling_next = nullptr;

// The io_context's executor, which wakes the waiter when work is handed to
// it from outside a poll of its io_context. Properties pass through to the
// io_context's executor. It refers to the Waker by plain pointer, as the
// io_context's own executor refers to the io_context: the Driver outlives
// every frame on its io_context, and waits for the posts in flight. (It
// must stay as cheap to copy as the io_context's executor: coroutine frames
// copy the executors their initiations capture.)
template <class Inner>
class WakingExecutor {
public:
    WakingExecutor(Inner inner, Waker* waker) noexcept : inner_(std::move(inner)), waker_(waker) {}

    template <class Function>
    void execute(Function&& function) const {
        if (inner_.running_in_this_thread() || t_polling_next == waker_) {
            inner_.execute(std::forward<Function>(function));
            return;
        }
        waker_->begin_post();
        struct End {
            Waker* waker;
            ~End() { waker->end_post(); }
        } end{waker_};
        inner_.execute(std::forward<Function>(function));
    }

    template <class Property>
    auto query(const Property& property) const
        noexcept(noexcept(boost::asio::query(std::declval<const Inner&>(), property)))
            -> decltype(boost::asio::query(std::declval<const Inner&>(), property)) {
        return boost::asio::query(inner_, property);
    }

    template <class Property>
    auto require(const Property& property) const
        -> WakingExecutor<std::decay_t<decltype(boost::asio::require(std::declval<const Inner&>(), property))>> {
        return {boost::asio::require(inner_, property), waker_};
    }

    template <class Property>
    auto prefer(const Property& property) const
        -> WakingExecutor<std::decay_t<decltype(boost::asio::prefer(std::declval<const Inner&>(), property))>> {
        return {boost::asio::prefer(inner_, property), waker_};
    }

    friend bool operator==(const WakingExecutor& a, const WakingExecutor& b) noexcept {
        return a.inner_ == b.inner_ && a.waker_ == b.waker_;
    }
    friend bool operator!=(const WakingExecutor& a, const WakingExecutor& b) noexcept { return !(a == b); }

private:
    Inner inner_;
    Waker* waker_;
};

}  // namespace

void set_host_scheduler(py::object schedule) { host_scheduler() = PyRef(schedule); }

bool is_awaitable(py::handle object) noexcept {
    PyTypeObject* type = Py_TYPE(object.ptr());
    return PyCoro_CheckExact(object.ptr()) || (type->tp_as_async && type->tp_as_async->am_await);
}

// --- Driver ------------------------------------------------------------------------

Driver::Driver(py::object loop_provider)
    : loop_provider_(loop_provider.is_none() ? PyRef() : PyRef(loop_provider)), waker_(std::make_unique<Waker>()) {
    io_.emplace(1);
}

boost::asio::any_io_executor Driver::executor() {
    return WakingExecutor<boost::asio::io_context::executor_type>(io_->get_executor(), waker_.get());
}

void Driver::watch(py::handle loop) {
    for (auto& [watched, count] : watched_) {
        if (watched.ptr() == loop.ptr()) {
            ++count;
            return;
        }
    }
    std::weak_ptr<Driver> weak = weak_from_this();
    loop.attr("add_reader")(waker_->read_fd(), py::cpp_function([weak] {
                                if (auto driver = weak.lock()) driver->on_wake();
                            }));
    watched_.emplace_back(PyRef(loop), 1);
}

void Driver::unwatch(py::handle loop) {
    for (auto it = watched_.begin(); it != watched_.end(); ++it) {
        if (it->first.ptr() != loop.ptr()) continue;
        if (--it->second == 0) {
            watched_.erase(it);
            // A closed loop has forgotten its readers already.
            if (!loop.attr("is_closed")().cast<bool>()) loop.attr("remove_reader")(waker_->read_fd());
        }
        return;
    }
}

// Run by a watching asyncio loop (GIL held).
void Driver::on_wake() {
    waker_->drain();
    // A poll in progress picks the work up itself.
    if (polling_thread_.load() != std::thread::id{}) return;
    drive();
}

void Driver::wait_for_work(std::chrono::milliseconds timeout) {
    py::gil_scoped_release unlocked;
    waker_->wait_for(timeout);
}

Driver::~Driver() { shutdown(); }

void Driver::shutdown() noexcept {
    waker_->wait_for_posts();
    io_.reset();
}

Driver* Driver::current() noexcept { return t_current_driver; }

namespace {
[[noreturn]] void refuse_polling(std::thread::id polling) {
    if (polling == std::this_thread::get_id())
        throw tarvik_core::RuntimeError(
            "a runtime was called from inside one of its own steps (a teacher, controller or perceptor may not call "
            "the runtime that runs it)");
    throw tarvik_core::RuntimeError("a runtime is in use by another thread; give each thread its own runtime");
}
}  // namespace

void Driver::check_idle() const {
    const std::thread::id polling = polling_thread_.load();
    if (polling != std::thread::id{}) refuse_polling(polling);
}

void Driver::drive() {
    const std::thread::id me = std::this_thread::get_id();
    std::thread::id idle{};
    if (!polling_thread_.compare_exchange_strong(idle, me)) refuse_polling(idle);
    Driver* previous = t_current_driver;
    t_current_driver = this;
    struct Restore {
        Driver* self;
        Driver* previous;
        ~Restore() {
            t_current_driver = previous;
            self->polling_thread_.store(std::thread::id{});
        }
    } restore{this, previous};
    if (!io_) return;
    DeferredReleases deferred;  // released once the GIL is back
    py::gil_scoped_release unlocked;
    io_->restart();
    io_->poll();
}

py::object Driver::parking_loop() {
    if (loop_provider_) return loop_provider_.object()();
    static PyRef get_running_loop(asyncio_function("get_running_loop"));
    return get_running_loop.object()();
}

// --- parking -----------------------------------------------------------------------

namespace {

using ParkedHandler = boost::asio::any_completion_handler<void(std::exception_ptr, PyRef)>;

// One Python awaitable a C++ frame waits for.
class Parked : public std::enable_shared_from_this<Parked> {
public:
    Parked(std::shared_ptr<Driver> driver, ParkedHandler handler, boost::asio::any_io_executor executor,
           boost::asio::cancellation_slot slot)
        : driver_(std::move(driver)), handler_(std::move(handler)), executor_(std::move(executor)), slot_(slot) {}

    // GIL not held; never throws: a failure completes the frame with it.
    static void start(ParkedHandler handler, boost::asio::any_io_executor executor,
                      boost::asio::cancellation_slot slot, PyRef awaitable, const std::string& who) {
        Driver* driver = Driver::current();
        auto parked = std::make_shared<Parked>(driver ? driver->shared_from_this() : nullptr, std::move(handler),
                                               std::move(executor), slot);
        py::gil_scoped_acquire gil;
        try {
            py::object task;
            if (driver) {
                py::object loop = driver->parking_loop();
                static PyRef ensure_future(asyncio_function("ensure_future"));
                task = ensure_future.object()(awaitable.object(), py::arg("loop") = loop);
            } else if (PyRef scheduler = host_scheduler()) {
                // A concurrent future: its cancel() and add_done_callback
                // are safe from this thread while the host's loop runs it.
                task = scheduler.object()(awaitable.object());
            } else {
                throw tarvik_core::RuntimeError(who + " returned an awaitable outside the runtime's asyncio bridge; "
                                                      "drive the runtime through tarvik.Runvane or tarvik.SyncRunvane");
            }
            parked->task_ = PyRef(task);
            if (driver) driver->count_parked_task(+1);
            task.attr("add_done_callback")(
                py::cpp_function([parked](py::handle finished) { parked->on_done(finished); }));
        } catch (...) {
            // An unscheduled coroutine would warn that it was never awaited.
            if (PyCoro_CheckExact(awaitable.ptr())) {
                PyObject* closed = PyObject_CallMethod(awaitable.ptr(), "close", nullptr);
                if (closed) Py_DECREF(closed);
                else PyErr_Clear();
            }
            std::exception_ptr failure = std::current_exception();
            try {
                std::rethrow_exception(failure);
            } catch (py::error_already_set& e) {
                failure = from_python_error(e);
            } catch (...) {
            }
            parked->complete(failure, PyRef());
            return;
        }
        if (slot.is_connected()) {
            std::weak_ptr<Parked> weak = parked;
            slot.assign([weak](boost::asio::cancellation_type) {
                if (auto p = weak.lock()) p->cancel();
            });
        }
    }

    // The asyncio task (or the host scheduler's future) finished (GIL held,
    // on the loop's thread).
    void on_done(py::handle task) {
        if (settled_) return;
        settled_ = true;
        if (slot_.is_connected()) slot_.clear();
        std::exception_ptr failure;
        PyRef result;
        try {
            if (task.attr("cancelled")().cast<bool>()) {
                failure = std::make_exception_ptr(tarvik_core::Cancelled());
            } else {
                py::object exception = task.attr("exception")();
                if (!exception.is_none()) failure = from_python_exception(exception);
                else result = PyRef(task.attr("result")());
            }
        } catch (py::error_already_set& e) {
            failure = from_python_error(e);
        }
        task_.reset();
        std::shared_ptr<Driver> driver = driver_;
        if (!driver) {
            // The frame's own loop runs the resumption.
            complete(failure, std::move(result));
            return;
        }
        driver->count_parked_task(-1);
        const Waker* previous = std::exchange(t_polling_next, driver->waker());
        complete(failure, std::move(result));  // posts; does not throw
        t_polling_next = previous;
        driver->drive();
    }

    // Cancellation of the Call (GIL held or not).
    void cancel() {
        if (settled_) return;
        settled_ = true;
        {
            py::gil_scoped_acquire gil;
            if (task_) {
                task_.object().attr("cancel")();
                if (t_cancelled_tasks) t_cancelled_tasks->push_back(task_);
                if (driver_) driver_->count_parked_task(-1);
            }
        }
        task_.reset();
        complete(std::make_exception_ptr(tarvik_core::Cancelled()), PyRef());
    }

private:
    // Resumes the frame on its own executor, on the next poll.
    void complete(std::exception_ptr failure, PyRef result) {
        boost::asio::post(executor_, [handler = std::move(handler_), failure, result = std::move(result)]() mutable {
            std::move(handler)(failure, std::move(result));
        });
    }

    // Declared first, so destroyed last: an unfinished handler destroys its
    // frames through the driver's io_context, which must still exist.
    std::shared_ptr<Driver> driver_;
    ParkedHandler handler_;
    boost::asio::any_io_executor executor_;
    boost::asio::cancellation_slot slot_;
    PyRef task_;
    bool settled_ = false;
};

}  // namespace

tarvik_core::Task<PyRef> await_python(PyRef awaitable, std::string who) {
    co_return co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable),
                                                   void(std::exception_ptr, PyRef)>(
        [&awaitable, &who](auto handler) {
            auto slot = boost::asio::get_associated_cancellation_slot(handler);
            auto executor = boost::asio::get_associated_executor(handler);
            Parked::start(ParkedHandler(std::move(handler)), executor, slot, std::move(awaitable), who);
        },
        boost::asio::use_awaitable);
}

// --- Call ----------------------------------------------------------------------------

void Call::spawn(tarvik_core::Task<Value> task) {
    auto self = shared_from_this();
    boost::asio::co_spawn(driver_->executor(), std::move(task),
                          boost::asio::bind_cancellation_slot(signal_.slot(),
                                                              [self](std::exception_ptr error, Value value) {
                                                                  self->finish(error, std::move(value));
                                                              }));
}

void Call::finish(std::exception_ptr error, Value value) noexcept {
    done_ = true;
    error_ = std::move(error);
    value_ = std::move(value);
    if (!future_ && !watched_loop_) return;
    py::gil_scoped_acquire gil;
    try {
        if (PyRef loop = std::exchange(watched_loop_, PyRef())) driver_->unwatch(loop.object());
        if (future_) settle_future();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("completing a tarvik call");
    } catch (...) {
    }
}

void Call::settle_future() {
    py::object future = future_.object();
    future_.reset();
    if (future.attr("done")().cast<bool>()) return;
    if (error_ && is_cancellation(error_)) {
        future.attr("cancel")();
        return;
    }
    py::object outcome;
    bool failed = static_cast<bool>(error_);
    try {
        outcome = failed ? to_python_exception(error_) : to_python(value_);
    } catch (...) {
        outcome = to_python_exception(std::current_exception());
        failed = true;
    }
    future.attr(failed ? "set_exception" : "set_result")(outcome);
}

py::object Call::result() {
    if (!done_) throw tarvik_core::RuntimeError("the call has not finished");
    if (error_) std::rethrow_exception(error_);
    return to_python(value_);
}

py::object Call::future(py::handle loop) {
    py::object future = loop.attr("create_future")();
    future_ = PyRef(future);
    if (done_) {
        settle_future();
    } else if (!watched_loop_ || watched_loop_.ptr() != loop.ptr()) {
        driver_->watch(loop);
        if (PyRef previous = std::exchange(watched_loop_, PyRef(loop)))
            driver_->unwatch(previous.object());
    }
    return future;
}

bool Call::block() {
    // Slices short enough for Ctrl-C, long enough to cost nothing.
    constexpr std::chrono::milliseconds kSlice{20};
    while (!done_ && driver_->parked_tasks() == 0) {
        driver_->wait_for_work(kSlice);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        driver_->drive();
    }
    return done_;
}

py::list Call::cancel() {
    py::list cancelled;
    if (done_) return cancelled;
    // Asio hands the cancellation to the coroutine through its executor, so
    // the parked tasks are cancelled during the poll, not during emit().
    std::vector<PyRef> tasks;
    struct Collect {
        std::vector<PyRef>* previous;
        explicit Collect(std::vector<PyRef>* tasks) : previous(t_cancelled_tasks) { t_cancelled_tasks = tasks; }
        ~Collect() { t_cancelled_tasks = previous; }
    };
    {
        Collect collect(&tasks);
        signal_.emit(boost::asio::cancellation_type::terminal);
        driver_->drive();
    }
    for (const auto& task : tasks) cancelled.append(task.object());
    return cancelled;
}

}  // namespace tarvik_python
