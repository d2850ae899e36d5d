// Error translation in both directions.
#include "errors.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "tarvik_core/modules.hpp"

namespace tarvik_python {

namespace {

template <class Kind>
std::exception_ptr raised(const std::string& message, py::handle exception) {
    if constexpr (std::is_constructible_v<Kind, const std::string&>)
        return std::make_exception_ptr(PythonRaised<Kind>(message, PyRef(exception)));
    else
        return std::make_exception_ptr(PythonRaised<Kind>(PyRef(exception)));
}

py::object asyncio_cancelled_error() {
    static PyRef type(py::module_::import("asyncio").attr("CancelledError"));
    return type.object();
}

// The Python type of one of the runtime's error kinds.
PyObject* python_kind(const tarvik_core::Error& error) {
    using namespace tarvik_core;
    if (dynamic_cast<const ValueError*>(&error)) return PyExc_ValueError;
    if (dynamic_cast<const TypeError*>(&error)) return PyExc_TypeError;
    if (dynamic_cast<const KeyError*>(&error)) return PyExc_KeyError;
    if (dynamic_cast<const IndexError*>(&error)) return PyExc_IndexError;
    if (dynamic_cast<const RuntimeError*>(&error)) return PyExc_RuntimeError;
    if (dynamic_cast<const FileNotFoundError*>(&error)) return PyExc_FileNotFoundError;
    if (dynamic_cast<const NotImplementedError*>(&error)) return PyExc_NotImplementedError;
    if (dynamic_cast<const AttributeError*>(&error)) return PyExc_AttributeError;
    if (dynamic_cast<const OverflowError*>(&error)) return PyExc_OverflowError;
    if (dynamic_cast<const ImportError*>(&error)) return PyExc_ImportError;
    return PyExc_Exception;
}

py::object new_exception(PyObject* type, const char* message) {
    PyObject* exception = PyObject_CallFunction(type, "s", message);
    if (!exception) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(exception);
}

}  // namespace

std::exception_ptr from_python_exception(py::handle exception) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()));
    if (PyObject_IsSubclass(type, asyncio_cancelled_error().ptr()) == 1)
        return raised<tarvik_core::Cancelled>({}, exception);
    if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) return raised<tarvik_core::Interrupted>({}, exception);
    std::string message;
    if (PyObject* text = PyObject_Str(exception.ptr())) {
        message = py::reinterpret_steal<py::str>(text).cast<std::string>();
    } else {
        PyErr_Clear();
        message = "<unprintable " + std::string(Py_TYPE(exception.ptr())->tp_name) + ">";
    }
    auto is = [type](PyObject* kind) { return PyErr_GivenExceptionMatches(type, kind) != 0; };
    // Subclasses before their bases: NotImplementedError is a RuntimeError,
    // FileNotFoundError an OSError, KeyError and IndexError LookupErrors.
    if (is(PyExc_NotImplementedError)) return raised<tarvik_core::NotImplementedError>(message, exception);
    if (is(PyExc_RuntimeError)) return raised<tarvik_core::RuntimeError>(message, exception);
    if (is(PyExc_FileNotFoundError)) return raised<tarvik_core::FileNotFoundError>(message, exception);
    if (is(PyExc_KeyError)) return raised<tarvik_core::KeyError>(message, exception);
    if (is(PyExc_IndexError)) return raised<tarvik_core::IndexError>(message, exception);
    if (is(PyExc_TypeError)) return raised<tarvik_core::TypeError>(message, exception);
    if (is(PyExc_ValueError)) return raised<tarvik_core::ValueError>(message, exception);
    if (is(PyExc_AttributeError)) return raised<tarvik_core::AttributeError>(message, exception);
    if (is(PyExc_OverflowError)) return raised<tarvik_core::OverflowError>(message, exception);
    if (is(PyExc_ImportError)) return raised<tarvik_core::ImportError>(message, exception);
    return raised<tarvik_core::Error>(message, exception);
}

std::exception_ptr from_python_error(py::error_already_set& error) {
    // The fetched traceback is the whole way the exception came.
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    return from_python_exception(error.value());
}

void throw_python_error() {
    py::error_already_set error;
    std::rethrow_exception(from_python_error(error));
}

py::object to_python_exception(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const PythonOrigin& e) {
        return e.exception();
    } catch (const tarvik_core::Error& e) {
        py::object exception = new_exception(python_kind(e), e.what());
        if (e.cause()) PyException_SetCause(exception.ptr(), to_python_exception(e.cause()).release().ptr());
        return exception;
    } catch (const tarvik_core::Cancelled&) {
        return asyncio_cancelled_error()();
    } catch (const tarvik_core::Interrupted&) {
        return new_exception(PyExc_KeyboardInterrupt, "");
    } catch (const py::error_already_set& e) {
        return e.value();
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) return asyncio_cancelled_error()();
        return new_exception(PyExc_RuntimeError, e.what());
    } catch (const std::bad_alloc&) {
        return new_exception(PyExc_MemoryError, "");
    } catch (const std::exception& e) {
        return new_exception(PyExc_RuntimeError, e.what());
    }
}

void register_error_translation() {
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const py::error_already_set&) {
            throw;  // pybind11 restores it
        } catch (const py::builtin_exception&) {
            throw;
        } catch (...) {
            // Restored with its own traceback, so a Python implementation's
            // failure points at the line that raised it.
            PyObject* value = to_python_exception(failure).release().ptr();
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
            Py_INCREF(type);
            PyErr_Restore(type, value, PyException_GetTraceback(value));
        }
    });
}

}  // namespace tarvik_python
