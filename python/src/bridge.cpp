// Driver, Call and the parking of C++ frames on Python awaitables.
#include "bridge.hpp"

#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
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

void set_host_scheduler(py::object schedule) { host_scheduler() = PyRef(schedule); }

bool is_awaitable(py::handle object) noexcept {
    PyTypeObject* type = Py_TYPE(object.ptr());
    return PyCoro_CheckExact(object.ptr()) || (type->tp_as_async && type->tp_as_async->am_await);
}

// --- Driver ------------------------------------------------------------------------

Driver::Driver(py::object loop_provider) : loop_provider_(loop_provider.is_none() ? PyRef() : PyRef(loop_provider)) {
    io_.emplace(1);
}

Driver::~Driver() = default;

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
        complete(failure, std::move(result));
        // Without a driver the frame's own loop runs the resumption.
        if (driver) driver->drive();
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
    boost::asio::co_spawn(driver_->io(), std::move(task),
                          boost::asio::bind_cancellation_slot(signal_.slot(),
                                                              [self](std::exception_ptr error, Value value) {
                                                                  self->finish(error, std::move(value));
                                                              }));
}

void Call::finish(std::exception_ptr error, Value value) noexcept {
    done_ = true;
    error_ = std::move(error);
    value_ = std::move(value);
    if (!future_) return;
    py::gil_scoped_acquire gil;
    try {
        settle_future();
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
    if (done_) settle_future();
    return future;
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
