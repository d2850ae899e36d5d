// Errors across the Python boundary, kind for kind.
//
// Into Python: the runtime's ValueError, TypeError, KeyError, IndexError,
// RuntimeError, FileNotFoundError, NotImplementedError, AttributeError,
// OverflowError and ImportError become the Python built-in of the same name
// with the same message (args[0] is what() verbatim); the generic Error
// becomes Exception. An error that wraps a cause (the processor factory's
// RuntimeError) carries it as __cause__. Cancellation becomes
// asyncio.CancelledError and interruption KeyboardInterrupt.
//
// Out of Python: an exception raised by Python code the runtime called (a
// teacher, a controller, a perceptor, an importer) travels through the C++
// frames as a PythonRaised<Kind>, where Kind is the runtime's error of the
// same name (so the runtime's handlers treat it like their own), Cancelled
// for asyncio.CancelledError and Interrupted for KeyboardInterrupt, SystemExit
// and other BaseExceptions (so nothing swallows them). At the boundary the
// original exception object is raised again, traceback and all.
#pragma once

#include <exception>
#include <string>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "tarvik_core/errors.hpp"
#include "values.hpp"

namespace tarvik_python {

// The Python exception a C++ exception came from.
class PythonOrigin {
public:
    explicit PythonOrigin(PyRef exception) : exception_(std::move(exception)) {}
    virtual ~PythonOrigin() = default;
    py::object exception() const { return exception_.object(); }

private:
    PyRef exception_;
};

template <class Kind>
class PythonRaised final : public Kind, public PythonOrigin {
public:
    PythonRaised(const std::string& message, PyRef exception)
        requires std::is_constructible_v<Kind, const std::string&>
        : Kind(message), PythonOrigin(std::move(exception)) {}
    // Cancelled and Interrupted carry no message of their own.
    explicit PythonRaised(PyRef exception)
        requires std::is_default_constructible_v<Kind>
        : PythonOrigin(std::move(exception)) {}
};

// The C++ form of a Python exception object (GIL held).
std::exception_ptr from_python_exception(py::handle exception);
// The C++ form of a fetched Python error, its traceback attached to the
// exception object so that it survives the trip (GIL held).
std::exception_ptr from_python_error(py::error_already_set& error);
// Fetches the current Python error (GIL held) and throws its C++ form.
[[noreturn]] void throw_python_error();
// The Python exception object for a C++ failure (GIL held).
py::object to_python_exception(const std::exception_ptr& failure);
// Registers the translator that raises C++ failures in Python.
void register_error_translation();

}  // namespace tarvik_python
