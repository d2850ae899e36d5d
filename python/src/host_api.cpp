// The Python package's side of an implementation host (see host_api.hpp).
#include "host_api.hpp"

#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "bridge.hpp"
#include "implementations.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_python {

namespace {

// The package's account of the failure (see _registry._import_failure_text).
std::string describe_import_failure(py::error_already_set& error, const std::string& module) {
    try {
        if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
        return py::module_::import("tarvik._registry")
            .attr("_import_failure_text")(error.value(), module)
            .cast<std::string>();
    } catch (py::error_already_set&) {
        return error.what();
    }
}

void register_module(tarvik_core::Registry& registry, const char* module_name) {
    const std::string module = module_name ? module_name : "";
    std::vector<std::string> names;
    {
        py::gil_scoped_acquire gil;
        try {
            set_host_scheduler(py::module_::import("tarvik._host").attr("schedule"));
            names = py::module_::import("tarvik._registry")
                        .attr("_import_for_host")(module)
                        .cast<std::vector<std::string>>();
        } catch (py::error_already_set& e) {
            throw tarvik_core::ImportError("cannot import Python module '" + module +
                                           "': " + describe_import_failure(e, module));
        }
    }
    if (names.empty())
        throw tarvik_core::ValueError("Python module '" + module +
                                      "' registers no teacher, controller or perceptor (register them with "
                                      "@tarvik.teacher, @tarvik.controller, @tarvik.perceptor or the "
                                      "register_* functions)");
    add_python_implementations(registry, &names, &module);
}

}  // namespace

const HostApi& host_api() {
    static const HostApi api{kHostApiVersion, &register_module};
    return api;
}

}  // namespace tarvik_python
