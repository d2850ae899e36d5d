// _tarvik: the extension module behind the tarvik package.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "errors.hpp"
#include "tarvik_core/modules.hpp"
#include "implementations.hpp"
#include "runtime.hpp"
#include "values.hpp"

namespace py = pybind11;

namespace tarvik_python {
void bind_sims(py::module_& m);
}

PYBIND11_MODULE(_tarvik, m) {
    namespace tp = tarvik_python;
    m.doc() = "The tarvik runtime's extension module; use the tarvik package.";
    tp::init_numpy();
    tp::register_error_translation();
    tp::bind_runtime(m);
    tp::bind_sims(m);
    m.def("install_python_registry", &tp::install_python_registry, py::arg("snapshot"), py::arg("import_module"));
    // Round trips through the value conversions, for tests of the boundary.
    m.def("roundtrip", [](py::handle value) { return tp::to_python(tp::to_value(value, tp::Where{"value"})); });
    m.def("roundtrip_readings", [](py::handle value) { return tp::to_python(tp::readings_to_value(value)); });
    // Raises one of the runtime's error kinds, optionally wrapping another,
    // for tests of the error translation.
    m.def("raise_error", [](const std::string& kind, const std::string& message, const std::string& cause) {
        auto make = [](const std::string& k, const std::string& text) -> std::exception_ptr {
            using namespace tarvik_core;
            if (k == "ValueError") return std::make_exception_ptr(ValueError(text));
            if (k == "TypeError") return std::make_exception_ptr(TypeError(text));
            if (k == "KeyError") return std::make_exception_ptr(KeyError(text));
            if (k == "IndexError") return std::make_exception_ptr(IndexError(text));
            if (k == "RuntimeError") return std::make_exception_ptr(RuntimeError(text));
            if (k == "FileNotFoundError") return std::make_exception_ptr(FileNotFoundError(text));
            if (k == "NotImplementedError") return std::make_exception_ptr(NotImplementedError(text));
            if (k == "AttributeError") return std::make_exception_ptr(AttributeError(text));
            if (k == "OverflowError") return std::make_exception_ptr(OverflowError(text));
            if (k == "ImportError") return std::make_exception_ptr(ImportError(text));
            return std::make_exception_ptr(Error(text));
        };
        std::exception_ptr error = make(kind, message);
        if (!cause.empty()) {
            try {
                std::rethrow_exception(error);
            } catch (tarvik_core::Error& e) {
                e.set_cause(make(cause, "cause: " + message));
                throw;
            }
        }
        std::rethrow_exception(error);
    }, py::arg("kind"), py::arg("message"), py::arg("cause") = "");
}
