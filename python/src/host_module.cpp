// libtarvik_python_host (module tarvik_python.host): Python implementations
// for tarvik-host --python-module.
//
// tarvik-host opens this module with import_module and calls
// tarvik_python_register_module(registry, "my_pkg.rules") once per module,
// from its main thread, before it serves. The first call starts an
// interpreter when the process has none (the one the package was built for,
// configured as its command line would be: PYTHONPATH and the site folders
// apply, and the current directory comes first on sys.path), puts the tarvik
// package that belongs with this library on sys.path ahead of the site
// folders, and leaves the GIL released: from then on it is taken only around
// each call into Python, from whichever of the host's threads makes it. The
// interpreter is never finalized; it lives as long as the process.
//
// The work itself (importing, finding the classes, wrapping them) is done by
// the package's extension, through the table of host_api.hpp, so that the
// host serves Python classes through the very wrappers an in-process runtime
// uses. Errors are tarvik_core errors: ImportError when the package or the
// module cannot be imported (see host_api.hpp for the rest).
#include <dlfcn.h>

#include <pybind11/embed.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "host_api.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

// The folder with the tarvik package of this build: installed, a fixed path
// from the library folder to the interpreter's site folder of the prefix; in
// the build tree, build/python beside build/lib. Empty when neither holds it.
fs::path package_folder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&package_folder), &info) == 0 || !info.dli_fname) return {};
    std::error_code ec;
    const fs::path here = fs::weakly_canonical(fs::absolute(info.dli_fname, ec), ec).parent_path();
    for (const char* relative : {TARVIK_PACKAGE_FROM_LIBDIR, TARVIK_PACKAGE_FROM_BUILD_LIBDIR}) {
        const fs::path folder = (here / relative).lexically_normal();
        if (fs::exists(folder / "tarvik" / "__init__.py", ec)) return folder;
    }
    return {};
}

// Starts the interpreter; returns with the GIL released.
void start_interpreter() {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // tarvik-host stops on SIGINT and SIGTERM through its own handlers; the
    // interpreter's SIGINT handler would only ever tell the main thread's
    // Python code, which never runs.
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    // Paths (the standard library, the site folders, sys.executable) as the
    // interpreter the package was built for computes them for itself.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, TARVIK_PYTHON_EXECUTABLE);
    if (PyStatus_Exception(status)) {
        PyConfig_Clear(&config);
        throw tarvik_core::RuntimeError(std::string("cannot configure the Python interpreter: ") +
                                        (status.err_msg ? status.err_msg : "unknown error"));
    }
    try {
        py::initialize_interpreter(&config, 0, nullptr, false);
    } catch (const std::exception& e) {
        throw tarvik_core::RuntimeError(std::string("cannot start the Python interpreter ") +
                                        TARVIK_PYTHON_EXECUTABLE + ": " + e.what());
    }
    try {
        py::module_ sys = py::module_::import("sys");
        py::module_ os = py::module_::import("os");
        py::list path = sys.attr("path");
        // As `python -m module` does: the current directory first, then the
        // PYTHONPATH entries the interpreter put there, then this build's
        // package (ahead of any other copy in the site folders).
        path.insert(0, os.attr("getcwd")());
        if (const fs::path folder = package_folder(); !folder.empty()) {
            std::size_t position = 1;
            if (const char* pythonpath = std::getenv("PYTHONPATH")) {
                std::string rest = pythonpath;
                for (std::size_t start = 0; start <= rest.size();) {
                    const std::size_t colon = std::min(rest.find(':', start), rest.size());
                    if (colon > start) ++position;
                    start = colon + 1;
                }
            }
            path.insert(std::min(position, py::len(path)), folder.string());
        }
        // Block-buffered output would be lost: the interpreter is never
        // finalized, so nothing flushes it at exit.
        for (const char* stream : {"stdout", "stderr"}) {
            py::object file = sys.attr(stream);
            if (py::hasattr(file, "reconfigure")) file.attr("reconfigure")(py::arg("line_buffering") = true);
        }
    } catch (py::error_already_set& e) {
        const std::string text = e.what();
        throw tarvik_core::RuntimeError("cannot set up the Python interpreter: " + text);
    }
    PyEval_SaveThread();
}

std::mutex start_mutex;
bool started = false;

void ensure_interpreter() {
    std::lock_guard lock(start_mutex);
    if (started || Py_IsInitialized()) {
        started = true;
        return;
    }
    start_interpreter();
    started = true;
}

const tarvik_python::HostApi& package_api() {
    py::gil_scoped_acquire gil;
    auto* api = static_cast<const tarvik_python::HostApi*>(PyCapsule_Import(tarvik_python::kHostApiCapsule, 0));
    if (!api) {
        py::error_already_set error;
        const std::string text = error.what();
        py::list path = py::module_::import("sys").attr("path");
        throw tarvik_core::ImportError("Python implementations need the tarvik package, which cannot be imported: " +
                                       text + " (sys.path: " + py::str(path).cast<std::string>() + ")");
    }
    if (api->version != tarvik_python::kHostApiVersion) {
        const std::string file = py::str(py::module_::import("tarvik._tarvik").attr("__file__")).cast<std::string>();
        throw tarvik_core::ImportError("the tarvik package at " + file + " is another build (host interface " +
                                       std::to_string(api->version) + ", this host needs " +
                                       std::to_string(tarvik_python::kHostApiVersion) + ")");
    }
    return *api;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void tarvik_python_register_module(tarvik_core::Registry& registry,
                                                                                     const char* module) {
    ensure_interpreter();
    package_api().register_module(registry, module);
}
