// The facade binding: Runtime, Pending, Orchestration, and network managers
// written in Python.
#include "runtime.hpp"

#include <pybind11/stl.h>

#include <chrono>
#include <utility>

#include "errors.hpp"
#include "implementations.hpp"
#include "tarvik_apps/counting_processor.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_inference/relayon.hpp"

namespace tarvik_python {

using tarvik_core::Orchestration;
using tarvik_core::OrchestrationPtr;
using tarvik_core::Task;

namespace {

constexpr const char* kNoProcessor = "No agent processor available. Call package() first.";

std::string type_name(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

Task<Value> as_value(Task<void> task) {
    co_await std::move(task);
    co_return Value();
}

// A network manager whose stop_all and stop_watchdogs are a Python object's;
// remote calls go through the asynchronous manager it derives from.
class PyNetworkMgr final : public tarvik_inference::Relayon {
public:
    PyNetworkMgr(tarvik_core::TrainerConfig config, py::handle manager)
        : Relayon(std::move(config)),
          manager_(manager),
          has_stop_all_(py::hasattr(manager, "stop_all")),
          has_stop_watchdogs_(py::hasattr(manager, "stop_watchdogs")) {
        if (!has_stop_all_ && !has_stop_watchdogs_)
            throw tarvik_core::TypeError("network_mgr must be None or a network manager (an object with stop_all() "
                                         "and stop_watchdogs()), got " + type_name(manager));
    }

    tarvik_core::MaybeTask<Value> stop_all() override {
        if (!has_stop_all_) return Relayon::stop_all();
        PyRef awaitable;
        {
            py::gil_scoped_acquire gil;
            py::object result = call("stop_all");
            if (!is_awaitable(result)) return Value();  // a plain answer is not awaited
            awaitable = PyRef(result);
        }
        return await_stop(std::move(awaitable));
    }

    void stop_watchdogs() override {
        if (!has_stop_watchdogs_) return Relayon::stop_watchdogs();
        py::gil_scoped_acquire gil;
        call("stop_watchdogs");
    }

    std::string repr() const override {
        py::gil_scoped_acquire gil;
        return py::repr(manager_.object()).cast<std::string>();
    }

private:
    py::object call(const char* method) {
        try {
            return manager_.object().attr(method)();
        } catch (py::error_already_set& e) {
            std::rethrow_exception(from_python_error(e));
        }
    }

    static Task<Value> await_stop(PyRef awaitable) {
        co_await await_python(std::move(awaitable), "network_mgr.stop_all()");
        co_return Value();
    }

    PyRef manager_;
    bool has_stop_all_;
    bool has_stop_watchdogs_;
};

Value config_value(py::handle config) { return to_value(config, Where{"config"}); }

tarvik_core::NetworkMgrPtr network_manager(py::handle manager, const Value& config) {
    if (manager.is_none()) return nullptr;
    if (py::isinstance<RuntimeObject>(manager)) {
        if (auto existing = std::dynamic_pointer_cast<tarvik_core::NetworkMgr>(manager.cast<const RuntimeObject&>().object))
            return existing;
    }
    tarvik_core::TrainerConfig settings(config.is_dict() ? config.as_dict() : tarvik_core::default_trainer_settings());
    return std::make_shared<PyNetworkMgr>(std::move(settings), manager);
}

// Python registrations for the names the file uses, before its init().
void add_python_classes(const OrchestrationPtr& orchestration) {
    if (!orchestration || orchestration->is_initialized()) return;
    const std::vector<std::string> names = orchestration->implementation_names();
    add_python_implementations(orchestration->registry(), &names, nullptr);
}

OrchestrationPtr orchestration_argument(py::handle argument) {
    if (py::isinstance<Orchestration>(argument)) return argument.cast<OrchestrationPtr>();
    if (PyUnicode_Check(argument.ptr()) || py::hasattr(argument, "__fspath__")) {
        py::object path = py::module_::import("os").attr("fspath")(argument);
        if (!PyUnicode_Check(path.ptr()))
            throw tarvik_core::TypeError("orchestration paths must be text, got " + type_name(path));
        return Orchestration::load(path.cast<std::string>());
    }
    throw tarvik_core::TypeError("load_orchestration() needs an orchestration or a path to an orchestration file, got " +
                                 type_name(argument));
}

Task<Value> reset_tree(tarvik_inference::ProcessorPtr processor) {
    if (!processor) throw tarvik_core::RuntimeError(kNoProcessor);
    co_await processor->reset();
    co_return Value();
}

}  // namespace

Runtime::Runtime(py::object config, py::object network_mgr, py::object loop_provider)
    : Driver(std::move(loop_provider)),
      runvane(config_value(config), network_manager(network_mgr, config_value(config))) {}

Runtime::~Runtime() { shutdown(); }

template <class MakeTask>
py::object Runtime::run(MakeTask make) {
    auto call = Call::start(shared_from_this(), std::move(make));
    if (call->done()) return call->result();
    return py::cast(Pending{std::move(call)});
}

py::object Runtime::load_orchestration(py::handle orchestration) {
    OrchestrationPtr loaded = orchestration_argument(orchestration);
    add_python_classes(loaded);
    return run([this, loaded] { return as_value(runvane.load_orchestration(loaded)); });
}

py::object Runtime::package(py::handle orchestration, py::handle agent) {
    tarvik_inference::PackageArgs args;
    if (!orchestration.is_none()) {
        if (!py::isinstance<Orchestration>(orchestration))
            throw tarvik_core::TypeError("package() needs an orchestration or None, got " + type_name(orchestration));
        args.orchestration = orchestration.cast<OrchestrationPtr>();
    }
    add_python_classes(args.orchestration ? args.orchestration : runvane.orchestration);
    if (PyUnicode_Check(agent.ptr())) {
        args.agent = agent.cast<std::string>();
    } else if (py::isinstance<RuntimeObject>(agent)) {
        auto node = std::dynamic_pointer_cast<tarvik_core::GraphNode>(agent.cast<const RuntimeObject&>().object);
        if (!node) throw tarvik_core::TypeError("package() needs an agent node, got " + py::repr(agent).cast<std::string>());
        args.agent = node;
    } else if (!agent.is_none()) {
        throw tarvik_core::TypeError("package() needs None, an agent's name or an agent node, got " + type_name(agent));
    }
    return run([this, args = std::move(args)]() mutable { return as_value(runvane.package(std::move(args))); });
}

py::object Runtime::execute(py::handle obs, py::handle sim_action_mask, py::handle explore,
                            py::handle previous_action) {
    Value readings = readings_to_value(obs);
    const int truth = PyObject_IsTrue(explore.ptr());
    if (truth < 0) throw_python_error();
    if (sim_action_mask.is_none() && previous_action.is_none() && !truth)
        return run([this, readings = std::move(readings)]() mutable { return runvane.execute(std::move(readings)); });
    tarvik_inference::RunvaneExecuteArgs args;
    args.sim_action_mask = to_value(sim_action_mask, Where{"sim_action_mask"});
    args.explore = truth != 0;
    args.previous_action = to_value(previous_action, Where{"previous_action"});
    return run([this, readings = std::move(readings), args = std::move(args)]() mutable {
        return runvane.execute(std::move(readings), std::move(args));
    });
}

py::object Runtime::close() {
    return run([this] { return as_value(runvane.close()); });
}

py::object Runtime::reset() {
    return run([this] { return reset_tree(runvane.agent_processor); });
}

void Runtime::count_acting() {
    if (!runvane.agent_processor) throw tarvik_core::RuntimeError(kNoProcessor);
    acting_ = std::make_unique<tarvik_apps::ActingCounts>(tarvik_apps::ActingCounts::instrument(runvane.agent_processor));
    runvane.agent_processor = acting_->top();
}

py::list Runtime::acted() const {
    py::list out;
    if (!acting_) return out;
    for (const auto& entry : acting_->per_agent()) out.append(py::make_tuple(entry.agent, entry.steps));
    return out;
}

void Runtime::clear_acted() {
    if (acting_) acting_->clear();
}

std::vector<double> Runtime::time_cpp_execute(py::handle obs, int steps) {
    auto timed = [](tarvik_inference::Runvane& facade, Value readings, int n,
                    std::vector<double>& out) -> Task<Value> {
        using Clock = std::chrono::steady_clock;
        for (int i = 0; i < n; ++i) {
            // A fresh mapping per step, as a host reading its sensors makes
            // (the runtime may recognise a mapping it has seen before).
            Value fresh = readings.is_dict() ? Value(tarvik_core::Dict::from_unique(readings.as_dict().items())) : readings;
            const auto started = Clock::now();
            Value action = co_await facade.execute(std::move(fresh));
            out.push_back(std::chrono::duration<double, std::nano>(Clock::now() - started).count());
        }
        co_return Value();
    };
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(steps));
    auto call = Call::start(shared_from_this(), [&, readings = readings_to_value(obs)] {
        return timed(runvane, readings, steps, times);
    });
    if (!call->done()) throw tarvik_core::RuntimeError("timing needs an orchestration without async def methods");
    call->result();
    return times;
}

void bind_runtime(py::module_& m) {
    py::class_<RuntimeObject>(m, "RuntimeObject", "An object of the runtime (a node, a manager, a processor).")
        .def("__repr__", [](const RuntimeObject& o) { return o.object ? o.object->repr() : std::string("None"); })
        .def_property_readonly("class_name", [](const RuntimeObject& o) { return o.object->class_name(); });

    py::class_<Pending>(m, "Pending", "An operation of the runtime that waits on Python awaitables.")
        .def("done", [](const Pending& p) { return p.call->done(); })
        .def("future", [](const Pending& p, py::handle loop) { return p.call->future(loop); }, py::arg("loop"))
        .def("block", [](const Pending& p) { return p.call->block(); })
        .def("cancel", [](const Pending& p) { return p.call->cancel(); })
        .def("result", [](const Pending& p) { return p.call->result(); });

    py::class_<Orchestration, std::shared_ptr<Orchestration>>(m, "Orchestration")
        .def_static("load", [](py::handle path) { return orchestration_argument(path); }, py::arg("path"))
        .def_static(
            "from_json",
            [](const std::string& text, const std::string& base_dir, const std::string& source) {
                return Orchestration::from_json(text, base_dir, source);
            },
            py::arg("text"), py::arg("base_dir") = ".", py::arg("source") = "<json>")
        .def_property_readonly("id", &Orchestration::id)
        .def_property_readonly("source", &Orchestration::source)
        .def_property_readonly("is_initialized", &Orchestration::is_initialized)
        .def_property_readonly("plugins", &Orchestration::plugins)
        .def_property_readonly("implementation_names", &Orchestration::implementation_names)
        .def_property_readonly("registered", [](const Orchestration& o) { return o.registry().names(); })
        .def("get_top_agent", [](const Orchestration& o) { return RuntimeObject{o.get_top_agent()}; })
        .def("get_node_by_name", [](const Orchestration& o, const std::string& name) {
            return RuntimeObject{o.get_node_by_name(name)};
        }, py::arg("name"))
        .def("__repr__", &Orchestration::repr);

    py::class_<Runtime, std::shared_ptr<Runtime>>(m, "Runtime")
        .def(py::init<py::object, py::object, py::object>(), py::arg("config") = py::none(),
             py::arg("network_mgr") = py::none(), py::arg("loop_provider") = py::none())
        .def("load_orchestration", &Runtime::load_orchestration, py::arg("orchestration"))
        .def("package", &Runtime::package, py::arg("orchestration") = py::none(), py::arg("agent") = py::none())
        .def("execute", &Runtime::execute, py::arg("obs"), py::arg("sim_action_mask") = py::none(),
             py::arg("explore") = false, py::arg("previous_action") = py::none())
        .def("close", &Runtime::close)
        .def("reset", &Runtime::reset)
        .def("count_acting", &Runtime::count_acting)
        .def("acted", &Runtime::acted)
        .def("clear_acted", &Runtime::clear_acted)
        .def("time_cpp_execute", &Runtime::time_cpp_execute, py::arg("obs"), py::arg("steps"))
        .def_property_readonly("config", [](const Runtime& r) { return to_python(Value(r.runvane.config.settings())); })
        .def_property_readonly("network_mgr", [](const Runtime& r) { return RuntimeObject{r.runvane.network_mgr}; })
        .def_property_readonly("orchestration", [](const Runtime& r) -> py::object {
            if (!r.runvane.orchestration) return py::none();
            return py::cast(r.runvane.orchestration);
        })
        .def_property_readonly("agent_processor", [](const Runtime& r) -> py::object {
            if (!r.runvane.agent_processor) return py::none();
            return py::cast(RuntimeObject{r.runvane.agent_processor});
        });
}

}  // namespace tarvik_python
