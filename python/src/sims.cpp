// The built-in simulators as Python environments: reset(seed=None) gives
// (observation, info) and step(action) the five-tuple (observation, reward,
// terminated, truncated, info), the convention Python simulators follow.
// info carries "action_mask" when the simulator restricts its actions.
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include <pybind11/stl.h>

#include "tarvik_sims/simulator.hpp"
#include "values.hpp"

namespace tarvik_python {

namespace {

class PySimulator {
public:
    explicit PySimulator(const std::string& name) : sim_(tarvik_sims::make_simulator(name)) {}

    py::tuple reset(py::object seed, py::object /*options*/) {
        // Without a seed, episodes still differ from one another.
        const std::uint64_t chosen = seed.is_none() ? std::random_device{}() : seed.cast<std::uint64_t>();
        tarvik_core::Dict observation = sim_->reset(chosen);
        return py::make_tuple(to_python(Value(std::move(observation))), info());
    }

    py::tuple step(py::handle action) {
        tarvik_sims::StepOutcome outcome = sim_->step(to_value(action, Where{"action"}));
        return py::make_tuple(to_python(Value(std::move(outcome.observation))), outcome.reward, outcome.terminated,
                              outcome.truncated, info());
    }

    const tarvik_sims::Simulator& sim() const { return *sim_; }

private:
    py::dict info() const {
        py::dict out;
        Value mask = sim_->action_mask();
        if (!mask.is_none()) out["action_mask"] = to_python(mask);
        return out;
    }

    std::unique_ptr<tarvik_sims::Simulator> sim_;
};

}  // namespace

void bind_sims(py::module_& m) {
    py::class_<PySimulator>(m, "Simulator", "A built-in simulator with the reset()/step() environment interface.")
        .def(py::init<const std::string&>(), py::arg("name"))
        .def("reset", &PySimulator::reset, py::arg("seed") = py::none(), py::arg("options") = py::none())
        .def("step", &PySimulator::step, py::arg("action"))
        .def_property_readonly("name", [](const PySimulator& s) { return s.sim().name(); })
        .def_property_readonly("summary", [](const PySimulator& s) { return s.sim().summary(); })
        .def_property_readonly("max_episode_steps", [](const PySimulator& s) { return s.sim().max_episode_steps(); })
        .def_property_readonly("elapsed_steps", [](const PySimulator& s) { return s.sim().elapsed_steps(); })
        .def("describe", [](const PySimulator& s) { return tarvik_sims::describe(s.sim()); })
        .def("__repr__", [](const PySimulator& s) { return "<tarvik.sims.Simulator '" + s.sim().name() + "'>"; });
    m.def("simulator_names", &tarvik_sims::simulator_names);
}

}  // namespace tarvik_python
