// Teachers, controllers and perceptors written in Python.
//
// A Python implementation is any class (or factory) registered by name in the
// package's registry (tarvik.register_teacher, ...). The runtime sees each
// instance through an adapter deriving from the C++ interface. An operation
// the class does not define, or inherits unchanged from the package's base
// classes, runs the C++ default without calling Python at all; one it defines
// is called with the GIL held. A plain method's result is used at once; an
// awaitable one (an `async def`) parks the step on the asyncio bridge.
//
// Results are checked by operation: transform_sensors and compute_sensors
// must give a dict, filtered_sensor_space None, a list or a tuple,
// compute_reward a number, reset anything (ignored); every other result any
// value the runtime can hold. A wrong kind is a TypeError naming the class
// and the operation. An exception the method raises reaches the host as it
// is, with its traceback.
//
// Ownership: an adapter holds its Python instance through a PyRef, so the
// runtime may drop it on any thread.
#pragma once

#include <string>

#include "tarvik_core/implementations.hpp"
#include "values.hpp"

namespace tarvik_python {

// Adds the package's registrations to `registry` (GIL not needed). With
// `names` given, only those names (the ones an orchestration file uses);
// names the registry already holds are left alone. With `module` given, a
// registration made by that module (or a submodule) that clashes with a class
// the registry holds from elsewhere is a ValueError naming both.
void add_python_implementations(tarvik_core::Registry& registry, const std::vector<std::string>* names,
                                const std::string* module);

// Installs the importer for "python" modules named by orchestration files
// and remembers the package's registry functions (GIL held). `snapshot()`
// gives the registrations as (name, kind, factory, version, origin, module)
// tuples; `import_module(name, folder)` imports a module, looking in the
// orchestration file's folder first.
void install_python_registry(py::object snapshot, py::object import_module);

}  // namespace tarvik_python
