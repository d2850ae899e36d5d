// NdArray: the runtime's n-dimensional numeric array.
//
// An NdArray is a typed, row-major, contiguous block of elements with a shape.
// Copies are cheap: they share the element buffer, and so do the views that
// reshape(), flatten(), operator[] and slice() return. Operations that
// compute something (astype to another type, add, where, clip, exp,
// concatenate, ...) return new arrays. The one exception to "new array" is
// astype() to the type the array already has, which returns the same array:
// callers rely on that to avoid copies on the hot path.
//
// Element data is written only through mutable_data(), which callers use on
// arrays they have just created; arrays received from elsewhere are treated as
// read-only by every part of the runtime.
//
// Errors: a dtype mismatch in a typed accessor is a TypeError; shape
// mismatches (reshape, elementwise operations, concatenate) are ValueErrors;
// out-of-range indices are IndexErrors. Nothing here reads or writes out of
// bounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik_core {

class Value;

enum class DType : std::uint8_t { Bool, Int8, UInt8, Int32, Int64, Float32, Float64 };

std::string_view dtype_name(DType dtype) noexcept;        // "int8", "float32", ...
std::size_t dtype_size(DType dtype) noexcept;             // bytes per element
bool dtype_is_float(DType dtype) noexcept;
DType dtype_from_name(std::string_view name);             // ValueError on unknown names
// The type of an elementwise result of two arrays (numpy's promotion rules for
// the supported types: bool < ints < float32 < float64, mixed signedness widens).
DType promote_types(DType a, DType b) noexcept;

template <class T> constexpr DType dtype_of();
template <> constexpr DType dtype_of<bool>() { return DType::Bool; }
template <> constexpr DType dtype_of<std::int8_t>() { return DType::Int8; }
template <> constexpr DType dtype_of<std::uint8_t>() { return DType::UInt8; }
template <> constexpr DType dtype_of<std::int32_t>() { return DType::Int32; }
template <> constexpr DType dtype_of<std::int64_t>() { return DType::Int64; }
template <> constexpr DType dtype_of<float>() { return DType::Float32; }
template <> constexpr DType dtype_of<double>() { return DType::Float64; }

// A shape. Up to kInlineDims dimensions are held inline, without allocating,
// which covers every array the runtime makes itself; a model may hand back
// outputs of more, up to kMaxDims (the limit common array libraries share),
// whose dimensions are held on the heap.
class Shape {
public:
    static constexpr std::size_t kInlineDims = 6;
    static constexpr std::size_t kMaxDims = 32;

    Shape() = default;
    Shape(std::initializer_list<std::int64_t> dims);
    explicit Shape(std::span<const std::int64_t> dims);  // ValueError beyond kMaxDims
    Shape(const Shape& other);
    Shape(Shape&& other) noexcept;
    Shape& operator=(const Shape& other);
    Shape& operator=(Shape&& other) noexcept;
    ~Shape() = default;

    std::size_t size() const noexcept { return ndim_; }
    bool empty() const noexcept { return ndim_ == 0; }
    std::int64_t operator[](std::size_t i) const noexcept { return data()[i]; }
    std::int64_t& operator[](std::size_t i) noexcept { return data()[i]; }
    const std::int64_t* begin() const noexcept { return data(); }
    const std::int64_t* end() const noexcept { return data() + ndim_; }
    void push_back(std::int64_t dim);  // ValueError beyond kMaxDims
    std::vector<std::int64_t> to_vector() const { return {begin(), end()}; }

    friend bool operator==(const Shape& a, const Shape& b) noexcept;

private:
    const std::int64_t* data() const noexcept { return heap_ ? heap_.get() : dims_.data(); }
    std::int64_t* data() noexcept { return heap_ ? heap_.get() : dims_.data(); }
    void spill();  // moves the dimensions to the heap, with room for kMaxDims

    std::array<std::int64_t, kInlineDims> dims_{};
    std::unique_ptr<std::int64_t[]> heap_;  // every dimension, once there are more than kInlineDims
    std::uint8_t ndim_ = 0;
};

// Product of the entries; 1 for the empty shape. Saturates at the largest
// int64 instead of overflowing, so a product too big for any array stays too big.
std::int64_t shape_product(const Shape& shape) noexcept;
// "(2, 4)", "(4,)", "()": the tuple form that messages print.
std::string shape_repr(const Shape& shape);

class NdArray {
public:
    // An empty one-dimensional float64 array.
    NdArray();

    static NdArray zeros(DType dtype, const Shape& shape);
    static NdArray ones(DType dtype, const Shape& shape);
    static NdArray full(DType dtype, const Shape& shape, double value);
    // A zero-dimensional array holding one value.
    static NdArray scalar(DType dtype, double value);
    // Copies `values` into a new array of the given shape (default: 1-D).
    template <class T>
    static NdArray from_vector(const std::vector<T>& values, const Shape& shape);
    template <class T>
    static NdArray from_vector(const std::vector<T>& values);
    template <class T>
    static NdArray of(std::initializer_list<T> values);
    // Wraps an external buffer without copying; `owner` keeps it alive.
    static NdArray wrap(DType dtype, const Shape& shape, void* data,
                        std::shared_ptr<const void> owner);
    // Builds an array from a value the way array constructors do: a number, a
    // bool, an NdArray, or (nested) lists and tuples of those with a regular
    // shape. Ints become int64, floats float64, unless `dtype` is given.
    // Ragged nesting is a ValueError; None, strings, mappings are TypeErrors.
    static NdArray from_value(const Value& value);
    static NdArray from_value(const Value& value, DType dtype);

    DType dtype() const noexcept { return dtype_; }
    const Shape& shape() const noexcept { return shape_; }
    std::size_t ndim() const noexcept { return shape_.size(); }
    std::int64_t size() const noexcept { return size_; }
    // Length of the first dimension; TypeError for a zero-dimensional array.
    std::int64_t len() const;

    const void* raw_data() const noexcept { return data_; }
    // What keeps the element buffer alive: shared by every copy and view, and
    // for a wrapped buffer the `owner` given to wrap(), so a host can tell
    // its own buffers apart (std::get_deleter on its deleter type).
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }
    void* mutable_raw_data() noexcept { return data_; }
    template <class T> const T* data() const { check_dtype(dtype_of<T>()); return static_cast<const T*>(data_); }
    template <class T> T* mutable_data() { check_dtype(dtype_of<T>()); return static_cast<T*>(data_); }
    template <class T> std::span<const T> values() const { return {data<T>(), static_cast<std::size_t>(size_)}; }

    // True when both arrays start at the same element of the same buffer
    // with the same type and shape: "the same array".
    bool is(const NdArray& other) const noexcept;
    bool shares_memory_with(const NdArray& other) const noexcept;

    // Row-major views. One entry of a reshape target may be -1.
    NdArray reshape(const Shape& shape) const;
    NdArray flatten() const;
    // `dtype` equal to the current one returns this same array (no copy).
    NdArray astype(DType dtype) const;
    NdArray copy() const;
    // Sub-array at position i of the first axis (negative counts from the end).
    NdArray operator[](std::int64_t i) const;
    // Positions [start, stop) of the first axis, clamped like sequence slices.
    NdArray slice(std::int64_t start, std::int64_t stop) const;

    // One element, by flat row-major position (bounds-checked).
    double item(std::int64_t flat_index) const;
    std::int64_t item_int(std::int64_t flat_index) const;

    // Elementwise, same shape or one side of size 1; results use
    // promote_types unless stated otherwise.
    NdArray add(const NdArray& other) const;
    NdArray subtract(double value) const;   // keeps a float dtype; ints go to float64
    NdArray divide(double value) const;     // keeps a float dtype; ints go to float64
    NdArray greater(double value) const;    // bool array
    NdArray clip(double low, double high) const;  // keeps the dtype
    NdArray exp() const;                    // keeps a float dtype; ints go to float64
    // cond ? a : b elementwise, result in a's dtype (b converted to it).
    static NdArray where(const NdArray& cond, const NdArray& a, double b);
    // cond ? a : b elementwise, result in `dtype`.
    static NdArray where(const NdArray& cond, double a, double b, DType dtype);

    // Reductions over all elements, computed in the element type.
    double max() const;    // ValueError on an empty array
    double sum() const;    // pairwise summation, like common array libraries
    // Flat position of the first maximum (ties go to the lowest position).
    // ValueError "attempt to get argmax of an empty sequence" when empty.
    std::int64_t argmax() const;

    // Joins arrays along the first axis; the trailing dimensions must agree.
    // The result type promotes over all inputs. ValueError when `arrays` is
    // empty, a part is zero-dimensional, or shapes disagree.
    static NdArray concatenate(std::span<const NdArray> arrays);

    // Same shape and equal values (types may differ).
    bool equals(const NdArray& other) const;

    // "[1. 0. 1.]" (printing form) and "array([1., 0., 1.], dtype=float32)".
    std::string str() const;
    std::string repr() const;

private:
    NdArray(DType dtype, const Shape& shape, std::shared_ptr<const void> owner, void* data);
    static NdArray allocate(DType dtype, const Shape& shape);
    void check_dtype(DType wanted) const;

    std::shared_ptr<const void> owner_;
    void* data_ = nullptr;
    Shape shape_;
    std::int64_t size_ = 0;
    DType dtype_ = DType::Float64;
};

template <class T>
NdArray NdArray::from_vector(const std::vector<T>& values, const Shape& shape) {
    NdArray out = allocate(dtype_of<T>(), shape);
    if (static_cast<std::int64_t>(values.size()) != out.size_) {
        out = allocate(dtype_of<T>(), Shape{static_cast<std::int64_t>(values.size())});
        return out.reshape(shape);  // raises the reshape error
    }
    T* dst = out.mutable_data<T>();
    for (std::size_t i = 0; i < values.size(); ++i) dst[i] = values[i];
    return out;
}

template <class T>
NdArray NdArray::from_vector(const std::vector<T>& values) {
    return from_vector(values, Shape{static_cast<std::int64_t>(values.size())});
}

template <class T>
NdArray NdArray::of(std::initializer_list<T> values) {
    return from_vector(std::vector<T>(values));
}

}  // namespace tarvik_core
