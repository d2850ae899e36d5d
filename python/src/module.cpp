// _tarvik: the extension module behind the tarvik package.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>

#include "errors.hpp"
#include "tarvik_core/modules.hpp"
#include "host_api.hpp"
#include "implementations.hpp"
#include "runtime.hpp"
#include "values.hpp"

namespace py = pybind11;
using tarvik_core::Value;

namespace tarvik_python {
void bind_sims(py::module_& m);
}

PYBIND11_MODULE(_tarvik, m) {
    namespace tp = tarvik_python;
    m.doc() = "The tarvik runtime's extension module; use the tarvik package.";
    tp::init_values();
    tp::register_error_translation();
    tp::bind_runtime(m);
    tp::bind_sims(m);
    m.def("install_python_registry", &tp::install_python_registry, py::arg("snapshot"), py::arg("import_module"));
    // For libtarvik_python_host: the table of host_api.hpp.
    m.attr("_host_api") = py::capsule(&tp::host_api(), tp::kHostApiCapsule);
    // Round trips through the value conversions, for tests of the boundary.
    m.def("roundtrip", [](py::handle value) { return tp::to_python(tp::to_value(value, tp::Where{"value"})); });
    m.def("roundtrip_readings", [](py::handle value) { return tp::to_python(tp::readings_to_value(value)); });
    // The same with every array copied on the way, so that the arrays that
    // come back are the runtime's own.
    m.def("roundtrip_copied", [](py::handle value) {
        std::function<Value(const Value&)> copied = [&copied](const Value& v) -> Value {
            if (v.is_array()) return Value(v.as_array().copy());
            if (v.is_dict()) {
                tarvik_core::Dict::Items entries;
                for (const auto& [key, item] : v.as_dict()) entries.emplace_back(key, copied(item));
                return Value(tarvik_core::Dict::from_unique(std::move(entries)));
            }
            return v;
        };
        return tp::to_python(copied(tp::to_value(value, tp::Where{"value"})));
    });
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
