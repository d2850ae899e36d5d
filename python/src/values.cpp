// Conversions between Python objects and Values. The only file that uses
// numpy's C interface.
#include "values.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarvik_python_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "tarvik_core/errors.hpp"

namespace tarvik_python {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;

// --- references ---------------------------------------------------------------

bool python_is_finalizing() noexcept { return !Py_IsInitialized() || _Py_IsFinalizing(); }

namespace {
// The references released on this thread while it polls without the GIL.
thread_local std::vector<PyObject*>* t_deferred = nullptr;
}  // namespace

void PyDecRef::operator()(const void* object) const noexcept {
    if (!object || python_is_finalizing()) return;
    auto* o = static_cast<PyObject*>(const_cast<void*>(object));
    if (PyGILState_Check()) {
        Py_DECREF(o);
        return;
    }
    if (t_deferred) {
        try {
            t_deferred->push_back(o);
            return;
        } catch (...) {  // out of memory: release it the slow way
        }
    }
    py::gil_scoped_acquire gil;
    Py_DECREF(o);
}

DeferredReleases::DeferredReleases() : previous_(t_deferred) { t_deferred = &released_; }

DeferredReleases::~DeferredReleases() {
    t_deferred = previous_;
    if (released_.empty() || python_is_finalizing()) return;
    py::gil_scoped_acquire gil;
    for (PyObject* object : released_) Py_DECREF(object);
}

PyRef::PyRef(py::handle object) {
    if (!object) return;
    Py_INCREF(object.ptr());
    ref_ = std::shared_ptr<const void>(object.ptr(), PyDecRef{});
}

std::string Where::text() const {
    std::string out;
    if (parent) {
        out = parent->text();
        if (!key.empty()) out += "['" + std::string(key) + "']";
        else out += "[" + std::to_string(index) + "]";
        return out;
    }
    out = std::string(label);
    if (!key.empty()) out += " '" + std::string(key) + "'";
    return out;
}


namespace {

std::string type_name_of(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

[[noreturn]] void unsupported(py::handle object, const Where& where) {
    throw tarvik_core::TypeError(where.text() + ": expected a number, a string, a list, a tuple, a dict, a numpy "
                                                "array or None, got " + type_name_of(object));
}

// --- numpy arrays to NdArray ------------------------------------------------------

// The runtime's element type for a numpy type number, or false.
bool direct_dtype(int type_num, DType& out) {
    switch (type_num) {
        case NPY_BOOL: out = DType::Bool; return true;
        case NPY_INT8: out = DType::Int8; return true;
        case NPY_UINT8: out = DType::UInt8; return true;
        case NPY_INT32: out = DType::Int32; return true;
        case NPY_INT64: out = DType::Int64; return true;
        case NPY_FLOAT32: out = DType::Float32; return true;
        case NPY_FLOAT64: out = DType::Float64; return true;
        default: break;
    }
    // long and long long are both 64 bits here but have distinct numbers.
    if (type_num == NPY_LONGLONG && sizeof(long long) == 8) { out = DType::Int64; return true; }
    if (type_num == NPY_LONG && sizeof(long) == 8) { out = DType::Int64; return true; }
    if (type_num == NPY_INT && sizeof(int) == 4) { out = DType::Int32; return true; }
    return false;
}

// The type a lossless conversion goes to, or -1 when there is none.
int widened_type(int type_num) {
    switch (type_num) {
        case NPY_INT16:
        case NPY_UINT16: return NPY_INT32;
        case NPY_UINT32: return NPY_INT64;
        case NPY_FLOAT16: return NPY_FLOAT32;
        case NPY_UINT64: return NPY_INT64;  // checked value by value below
        default: return -1;
    }
}

py::object checked(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

[[noreturn]] void unsupported_dtype(PyArrayObject* array, const Where& where) {
    py::object name = checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    throw tarvik_core::TypeError(where.text() + ": numpy arrays of dtype " + name.cast<std::string>() +
                                 " cannot be converted without loss (use bool, integer or floating-point arrays)");
}

// uint64 arrays convert when no value exceeds the int64 range.
void check_uint64_fits(PyArrayObject* array, const Where& where) {
    py::object contiguous = checked(PyArray_FROM_OTF(reinterpret_cast<PyObject*>(array), NPY_UINT64,
                                                     NPY_ARRAY_IN_ARRAY));
    auto* a = reinterpret_cast<PyArrayObject*>(contiguous.ptr());
    const auto* values = static_cast<const std::uint64_t*>(PyArray_DATA(a));
    for (npy_intp i = 0, n = PyArray_SIZE(a); i < n; ++i)
        if (values[i] > static_cast<std::uint64_t>(INT64_MAX))
            throw tarvik_core::TypeError(where.text() + ": a uint64 array holds " + std::to_string(values[i]) +
                                         ", which does not fit in int64");
}

Value array_to_value(PyArrayObject* array, const Where& where) {
    if (PyArray_NDIM(array) > static_cast<int>(Shape::kMaxDims))
        throw tarvik_core::ValueError(where.text() + ": arrays have at most " + std::to_string(Shape::kMaxDims) +
                                      " dimensions, got " + std::to_string(PyArray_NDIM(array)));
    int type_num = PyArray_TYPE(array);
    DType dtype{};
    py::object owner = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(array));
    if (!direct_dtype(type_num, dtype)) {
        const int target = widened_type(type_num);
        if (target < 0) unsupported_dtype(array, where);
        if (type_num == NPY_UINT64) check_uint64_fits(array, where);
        owner = checked(PyArray_FROM_OTF(owner.ptr(), target, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
        type_num = target;
        direct_dtype(type_num, dtype);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(owner.ptr());
    // The runtime reads elements through typed pointers in native order, so
    // a view it cannot read that way becomes a contiguous, aligned copy.
    if (!PyArray_ISCARRAY_RO(a) || !PyArray_ISNOTSWAPPED(a)) {
        py::object native = checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
        owner = checked(PyArray_FromAny(owner.ptr(), reinterpret_cast<PyArray_Descr*>(native.release().ptr()), 0, 0,
                                        NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST, nullptr));
        a = reinterpret_cast<PyArrayObject*>(owner.ptr());
    }
    Shape shape;
    for (int i = 0; i < PyArray_NDIM(a); ++i) shape.push_back(static_cast<std::int64_t>(PyArray_DIM(a, i)));
    // The owner's deleter tells to_python that this array came from Python
    // and may be handed back as the same object.
    std::shared_ptr<const void> holder(owner.ptr(), PyDecRef{});
    Py_INCREF(owner.ptr());
    return Value(NdArray::wrap(dtype, shape, PyArray_DATA(a), std::move(holder)));
}

// --- numpy scalars ---------------------------------------------------------------

bool numpy_scalar_to_value(PyObject* object, const Where& where, Value& out) {
    if (!PyArray_IsScalar(object, Generic)) return false;
    if (PyArray_IsScalar(object, Bool)) {
        out = Value(PyArrayScalar_VAL(object, Bool) != 0);
        return true;
    }
    if (PyArray_IsScalar(object, Integer)) {
        py::object as_int = checked(PyNumber_Long(object));
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (overflow)
            throw tarvik_core::OverflowError(where.text() + ": integer " + py::str(as_int).cast<std::string>() +
                                             " does not fit in 64 bits");
        out = Value(static_cast<std::int64_t>(v));
        return true;
    }
    if (PyArray_IsScalar(object, Floating)) {
        const double v = PyFloat_AsDouble(object);
        if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        out = Value(v);
        return true;
    }
    py::object as_array = checked(PyArray_FromScalar(object, nullptr));
    unsupported_dtype(reinterpret_cast<PyArrayObject*>(as_array.ptr()), where);
}

template <class Items>
Items sequence_items(PyObject* object, const Where& where) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    Items out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_value(items[i], where.child(static_cast<std::int64_t>(i))));
    return out;
}

Value dict_to_value(PyObject* object, const Where& where, bool readings) {
    tarvik_core::Dict::Items entries;
    entries.reserve(static_cast<std::size_t>(PyDict_Size(object)));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(object, &position, &key, &value)) {
        if (!PyUnicode_Check(key))
            throw tarvik_core::TypeError(where.text() + ": mapping keys must be strings, got " + type_name_of(key) +
                                         " " + py::repr(key).cast<std::string>());
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) throw py::error_already_set();
        std::string name(text, static_cast<std::size_t>(size));
        Value converted = readings ? to_value(value, Where{"sensor", name}) : to_value(value, where.child(name));
        entries.emplace_back(std::move(name), std::move(converted));
    }
    // Python dict keys are distinct already.
    return Value(tarvik_core::Dict::from_unique(std::move(entries)));
}

// --- Value to Python -----------------------------------------------------------

int numpy_type(DType dtype) {
    switch (dtype) {
        case DType::Bool: return NPY_BOOL;
        case DType::Int8: return NPY_INT8;
        case DType::UInt8: return NPY_UINT8;
        case DType::Int32: return NPY_INT32;
        case DType::Int64: return NPY_INT64;
        case DType::Float32: return NPY_FLOAT32;
        case DType::Float64: return NPY_FLOAT64;
    }
    return NPY_FLOAT64;
}

// The numpy array an NdArray wraps unchanged, or null.
PyObject* original_array(const NdArray& array) {
    const auto& owner = array.owner();
    if (!owner || !std::get_deleter<PyDecRef>(owner)) return nullptr;
    auto* object = static_cast<PyObject*>(const_cast<void*>(owner.get()));
    if (!PyArray_Check(object)) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_DATA(a) != array.raw_data() || PyArray_TYPE(a) != numpy_type(array.dtype()) ||
        PyArray_NDIM(a) != static_cast<int>(array.ndim()))
        return nullptr;
    for (std::size_t i = 0; i < array.ndim(); ++i)
        if (PyArray_DIM(a, static_cast<int>(i)) != array.shape()[i]) return nullptr;
    return object;
}

// The base of numpy views of the runtime's arrays: a small Python object
// holding a share of the buffer (one allocation, where a capsule around a
// heap copy of the NdArray would take two).
struct ArrayOwner {
    PyObject_HEAD
    NdArray array;
};

PyTypeObject* array_owner_type = nullptr;

void array_owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ArrayOwner*>(self)->array.~NdArray();
    PyObject_Free(self);
    Py_DECREF(type);
}

py::object array_to_python(const NdArray& array) {
    if (PyObject* original = original_array(array)) return py::reinterpret_borrow<py::object>(original);
    npy_intp dims[Shape::kMaxDims];
    for (std::size_t i = 0; i < array.ndim(); ++i) dims[i] = static_cast<npy_intp>(array.shape()[i]);
    // Read-only: the runtime's arrays are never written once made.
    py::object view = checked(PyArray_New(&PyArray_Type, static_cast<int>(array.ndim()), dims,
                                          numpy_type(array.dtype()), nullptr,
                                          const_cast<void*>(array.raw_data()), 0, NPY_ARRAY_CARRAY_RO, nullptr));
    ArrayOwner* owner = PyObject_New(ArrayOwner, array_owner_type);
    if (!owner) throw py::error_already_set();
    new (&owner->array) NdArray(array);
    PyObject* base = reinterpret_cast<PyObject*>(owner);
    // Steals the reference to the owner, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.ptr()), base) < 0) throw py::error_already_set();
    return view;
}

py::object items_to_python(const std::vector<Value>& items, bool tuple) {
    const auto n = static_cast<Py_ssize_t>(items.size());
    py::object out = checked(tuple ? PyTuple_New(n) : PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = to_python(items[static_cast<std::size_t>(i)]).release().ptr();
        if (tuple) PyTuple_SET_ITEM(out.ptr(), i, item);
        else PyList_SET_ITEM(out.ptr(), i, item);
    }
    return out;
}

}  // namespace

Value to_value(py::handle handle, const Where& where) {
    PyObject* object = handle.ptr();
    if (object == Py_None) return Value();
    if (PyFloat_CheckExact(object)) return Value(PyFloat_AS_DOUBLE(object));
    if (PyBool_Check(object)) return Value(object == Py_True);
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow)
            throw tarvik_core::OverflowError(where.text() + ": integer " + py::repr(handle).cast<std::string>() +
                                             " does not fit in 64 bits");
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        return Value(static_cast<std::int64_t>(v));
    }
    if (PyArray_Check(object)) return array_to_value(reinterpret_cast<PyArrayObject*>(object), where);
    if (PyDict_Check(object)) return dict_to_value(object, where, false);
    if (PyList_Check(object)) return Value(tarvik_core::List(sequence_items<tarvik_core::List::Items>(object, where)));
    if (PyTuple_Check(object))
        return Value(tarvik_core::Tuple(sequence_items<tarvik_core::Tuple::Items>(object, where)));
    if (PyFloat_Check(object)) return Value(PyFloat_AS_DOUBLE(object));
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (!text) throw py::error_already_set();
        return Value(std::string(text, static_cast<std::size_t>(size)));
    }
    Value scalar;
    if (numpy_scalar_to_value(object, where, scalar)) return scalar;
    if (py::isinstance<RuntimeObject>(handle)) return Value(handle.cast<const RuntimeObject&>().object);
    unsupported(handle, where);
}

Value readings_to_value(py::handle readings) {
    if (PyDict_Check(readings.ptr())) return dict_to_value(readings.ptr(), Where{"readings"}, true);
    return to_value(readings, Where{"readings"});
}

py::object to_python(const Value& value) {
    using tarvik_core::Dict;
    using tarvik_core::List;
    using tarvik_core::ObjectPtr;
    using tarvik_core::Tuple;
    const auto& storage = value.storage();
    switch (storage.index()) {
        case 0: return py::none();
        case 1: return py::bool_(std::get<bool>(storage));
        case 2: return checked(PyLong_FromLongLong(std::get<std::int64_t>(storage)));
        case 3: return checked(PyFloat_FromDouble(std::get<double>(storage)));
        case 4: {
            const auto& text = std::get<std::string>(storage);
            return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
        }
        case 5: return array_to_python(std::get<NdArray>(storage));
        case 6: return items_to_python(std::get<List>(storage).items(), false);
        case 7: return items_to_python(std::get<Tuple>(storage).items(), true);
        case 8: {
            py::object out = checked(PyDict_New());
            for (const auto& [key, item] : std::get<Dict>(storage)) {
                py::object k = checked(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogateescape"));
                if (PyDict_SetItem(out.ptr(), k.ptr(), to_python(item).ptr()) < 0) throw py::error_already_set();
            }
            return out;
        }
        default: break;
    }
    return py::cast(RuntimeObject{std::get<ObjectPtr>(storage)});
}

void init_values() {
    if (_import_array() < 0) throw py::error_already_set();
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(array_owner_dealloc)}, {0, nullptr}};
    static PyType_Spec spec = {"tarvik._tarvik.ArrayOwner", sizeof(ArrayOwner), 0, Py_TPFLAGS_DEFAULT, slots};
    array_owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!array_owner_type) throw py::error_already_set();
}

}  // namespace tarvik_python
