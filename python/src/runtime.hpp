// Runtime: the facade as the Python package drives it.
//
// One Runtime is one tarvik_inference::Runvane on its own Driver (see
// bridge.hpp). Each operation converts its arguments, starts a Call and
// returns either the finished result or a Pending that the package's
// Runvane (asyncio) or SyncRunvane (private loop) waits for. The package's
// registered Python implementations are added to an orchestration's registry
// before it initialises, for the names the file uses.
//
// Ownership: the Python object holds the Runtime through a shared_ptr, and so
// does every call still in flight, so a runtime dropped mid-step lives until
// the step has finished or been cancelled.
#pragma once

#include <memory>
#include <optional>

#include "bridge.hpp"
#include "tarvik_inference/runvane.hpp"

namespace tarvik_apps {
class ActingCounts;
}

namespace tarvik_python {

// A Call that has not finished, as Python sees it.
struct Pending {
    std::shared_ptr<Call> call;
};

class Runtime final : public Driver {
public:
    Runtime(py::object config, py::object network_mgr, py::object loop_provider);
    ~Runtime() override;

    py::object load_orchestration(py::handle orchestration);
    py::object package(py::handle orchestration, py::handle agent);
    py::object execute(py::handle obs, py::handle sim_action_mask, py::handle explore, py::handle previous_action);
    py::object close();
    // Resets the packaged processor tree (end of an episode).
    py::object reset();

    // Counting which agents act: wraps the packaged tree (again after each
    // package), then per-agent counts since the last clear.
    void count_acting();
    py::list acted() const;
    void clear_acted();

    // Per-step times (ns) of the C++ Runvane::execute on `obs`, awaited in
    // one coroutine, for the benchmarks.
    std::vector<double> time_cpp_execute(py::handle obs, int steps);

    tarvik_inference::Runvane runvane;

private:
    // Starts the task `make` gives (see Call::start) and returns its result,
    // or a Pending when it parked.
    template <class MakeTask>
    py::object run(MakeTask make);
    std::unique_ptr<tarvik_apps::ActingCounts> acting_;
};

void bind_runtime(py::module_& m);

}  // namespace tarvik_python
