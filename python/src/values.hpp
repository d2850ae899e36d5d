// Values across the Python boundary.
//
// to_value turns a Python object into the runtime's Value: None, bool, int,
// float and str become the scalar kinds, list and tuple stay distinct, a dict
// becomes a Dict in insertion order (keys must be strings), and a numpy array
// becomes an NdArray that shares the array's memory when its element type is
// one the runtime has (bool, int8, uint8, int32, int64, float32, float64), its
// layout is C-contiguous and aligned, and its byte order native. Other arrays
// are converted when that loses nothing (int16 and uint16 to int32, uint32 to
// int64, float16 to float32, uint64 to int64 when every value fits,
// non-contiguous, unaligned or byte-swapped layouts to a contiguous copy);
// anything else is a TypeError naming the value (for readings: the sensor).
// numpy scalars count as Python numbers.
//
// to_python goes the other way. Arrays become read-only numpy views of the
// runtime's buffer (the view keeps the buffer alive), except an array that
// came from Python unchanged, which comes back as the very same object.
//
// Ownership: an NdArray that wraps a numpy array holds a reference to it
// through a PyRef, which may be dropped on any thread: the release takes the
// GIL, and is skipped while the interpreter shuts down.
//
// Every function here needs the GIL, except PyRef's release.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

#include "tarvik_core/value.hpp"

namespace tarvik_python {

namespace py = pybind11;
using tarvik_core::Value;

// Releases a Python reference from any thread.
struct PyDecRef {
    void operator()(const void* object) const noexcept;
};

// While one exists on a thread, references released there without the GIL
// are kept and released when it goes (with the GIL taken once), instead of
// taking the GIL for each. Drivers hold one around every poll.
class DeferredReleases {
public:
    DeferredReleases();
    ~DeferredReleases();
    DeferredReleases(const DeferredReleases&) = delete;
    DeferredReleases& operator=(const DeferredReleases&) = delete;

private:
    std::vector<PyObject*> released_;
    std::vector<PyObject*>* previous_;
};

// A strong reference that is safe to destroy without the GIL.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(py::handle object);  // GIL held: takes a new reference
    PyRef(const PyRef&) = default;
    PyRef(PyRef&&) noexcept = default;
    PyRef& operator=(const PyRef&) = default;
    PyRef& operator=(PyRef&&) noexcept = default;

    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
    PyObject* ptr() const noexcept { return static_cast<PyObject*>(const_cast<void*>(ref_.get())); }
    // A new owned handle (GIL held).
    py::object object() const { return py::reinterpret_borrow<py::object>(ptr()); }
    // Drops the reference now (takes the GIL if needed).
    void reset() noexcept { ref_.reset(); }

private:
    std::shared_ptr<const void> ref_;
};

// True once the interpreter has started shutting down: Python objects must
// then be left alone.
bool python_is_finalizing() noexcept;

// Where a value sits, for error messages: "sensor 'x'", "readings[2]",
// "StabilizeTeacher.transform_sensors() result". Built only when an error is
// reported.
struct Where {
    std::string_view label;       // the outermost name
    std::string_view key;         // a mapping key below `parent`, or empty
    std::int64_t index = -1;      // a sequence position below `parent`, or -1
    const Where* parent = nullptr;

    Where child(std::string_view k) const { return Where{{}, k, -1, this}; }
    Where child(std::int64_t i) const { return Where{{}, {}, i, this}; }
    std::string text() const;
};

// An object of the runtime (a node, a network manager, a proxy) as Python
// sees it: opaque, shown by its text, and handed back unchanged.
struct RuntimeObject {
    tarvik_core::ObjectPtr object;
};

// Python object to Value (see above). TypeError/OverflowError/ValueError
// (tarvik_core kinds) name `where`.
Value to_value(py::handle object, const Where& where);
// Readings: a mapping names each entry "sensor '<name>'".
Value readings_to_value(py::handle readings);

// Value to Python object (see above).
py::object to_python(const Value& value);

// Called once by the module's initialisation: imports numpy's C interface
// and makes the type that owns the runtime's arrays seen from Python.
void init_values();

}  // namespace tarvik_python
