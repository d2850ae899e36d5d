#include "tarvik_core/ndarray.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

namespace {

template <class T>
struct Tag {
    using type = T;
};

// Calls f(Tag<T>{}) for the element type of `dtype`.
template <class F>
decltype(auto) dispatch(DType dtype, F&& f) {
    switch (dtype) {
        case DType::Bool: return f(Tag<bool>{});
        case DType::Int8: return f(Tag<std::int8_t>{});
        case DType::UInt8: return f(Tag<std::uint8_t>{});
        case DType::Int32: return f(Tag<std::int32_t>{});
        case DType::Int64: return f(Tag<std::int64_t>{});
        case DType::Float32: return f(Tag<float>{});
        case DType::Float64: return f(Tag<double>{});
    }
    return f(Tag<double>{});
}

// Element conversion without undefined behaviour: floats go to integers by
// truncation toward zero, saturating at the int64 range (NaN gives 0), and
// wider integers wrap into narrower ones.
template <class Dst, class Src>
Dst convert(Src v) {
    if constexpr (std::is_same_v<Dst, Src>) {
        return v;
    } else if constexpr (std::is_same_v<Dst, bool>) {
        return v != Src(0);
    } else if constexpr (std::is_floating_point_v<Dst>) {
        return static_cast<Dst>(v);
    } else if constexpr (std::is_floating_point_v<Src>) {
        std::int64_t i;
        if (std::isnan(v)) i = 0;
        else if (v >= 9.2233720368547758e18) i = std::numeric_limits<std::int64_t>::max();
        else if (v <= -9.2233720368547758e18) i = std::numeric_limits<std::int64_t>::min();
        else i = static_cast<std::int64_t>(v);
        return static_cast<Dst>(i);
    } else {
        return static_cast<Dst>(v);
    }
}

std::shared_ptr<double[]> allocate_bytes(std::size_t bytes) {
    // Whole 8-byte units keep every element type aligned.
    std::size_t units = std::max<std::size_t>(1, (bytes + 7) / 8);
    return std::make_shared_for_overwrite<double[]>(units);
}

int dtype_rank(DType t) {
    switch (t) {
        case DType::Bool: return 0;
        case DType::Int8: return 1;
        case DType::UInt8: return 1;
        case DType::Int32: return 2;
        case DType::Int64: return 3;
        case DType::Float32: return 4;
        case DType::Float64: return 5;
    }
    return 5;
}

// Float results of elementwise math keep float32/float64; others use float64.
DType float_result(DType t) { return dtype_is_float(t) ? t : DType::Float64; }

}  // namespace

// ---- dtype helpers -------------------------------------------------------

std::string_view dtype_name(DType dtype) noexcept {
    switch (dtype) {
        case DType::Bool: return "bool";
        case DType::Int8: return "int8";
        case DType::UInt8: return "uint8";
        case DType::Int32: return "int32";
        case DType::Int64: return "int64";
        case DType::Float32: return "float32";
        case DType::Float64: return "float64";
    }
    return "float64";
}

std::size_t dtype_size(DType dtype) noexcept {
    return dispatch(dtype, [](auto tag) { return sizeof(typename decltype(tag)::type); });
}

bool dtype_is_float(DType dtype) noexcept { return dtype == DType::Float32 || dtype == DType::Float64; }

DType dtype_from_name(std::string_view name) {
    for (DType t : {DType::Bool, DType::Int8, DType::UInt8, DType::Int32, DType::Int64, DType::Float32,
                    DType::Float64})
        if (dtype_name(t) == name) return t;
    throw ValueError("data type '" + std::string(name) + "' not understood");
}

DType promote_types(DType a, DType b) noexcept {
    if (a == b) return a;
    // int8 and uint8 together need a signed type wide enough for both.
    if ((a == DType::Int8 && b == DType::UInt8) || (a == DType::UInt8 && b == DType::Int8)) return DType::Int32;
    DType hi = dtype_rank(a) >= dtype_rank(b) ? a : b;
    DType lo = hi == a ? b : a;
    // float32 cannot hold every int32/int64 exactly; numpy widens to float64.
    if (hi == DType::Float32 && (lo == DType::Int32 || lo == DType::Int64)) return DType::Float64;
    return hi;
}

// ---- Shape ---------------------------------------------------------------

namespace {

[[noreturn]] void too_many_dimensions() {
    throw ValueError("arrays of more than " + std::to_string(Shape::kMaxDims) + " dimensions are not supported");
}

}  // namespace

Shape::Shape(std::initializer_list<std::int64_t> dims) : Shape(std::span<const std::int64_t>(dims.begin(), dims.size())) {}

Shape::Shape(std::span<const std::int64_t> dims) {
    if (dims.size() > kMaxDims) too_many_dimensions();
    if (dims.size() > kInlineDims) spill();
    std::copy(dims.begin(), dims.end(), data());
    ndim_ = static_cast<std::uint8_t>(dims.size());
}

Shape::Shape(const Shape& other) : ndim_(other.ndim_) {
    if (other.heap_) {
        heap_ = std::make_unique<std::int64_t[]>(kMaxDims);
        std::copy(other.begin(), other.end(), heap_.get());
    } else {
        dims_ = other.dims_;
    }
}

Shape::Shape(Shape&& other) noexcept : dims_(other.dims_), heap_(std::move(other.heap_)), ndim_(other.ndim_) {
    other.ndim_ = 0;
}

Shape& Shape::operator=(const Shape& other) {
    if (this != &other) *this = Shape(other);
    return *this;
}

Shape& Shape::operator=(Shape&& other) noexcept {
    if (this == &other) return *this;
    dims_ = other.dims_;
    heap_ = std::move(other.heap_);
    ndim_ = other.ndim_;
    other.ndim_ = 0;
    return *this;
}

void Shape::spill() {
    auto heap = std::make_unique<std::int64_t[]>(kMaxDims);
    std::copy(begin(), end(), heap.get());
    heap_ = std::move(heap);
}

void Shape::push_back(std::int64_t dim) {
    if (ndim_ >= kMaxDims) too_many_dimensions();
    if (ndim_ == kInlineDims && !heap_) spill();
    data()[ndim_++] = dim;
}

bool operator==(const Shape& a, const Shape& b) noexcept {
    return a.ndim_ == b.ndim_ && std::equal(a.begin(), a.end(), b.begin());
}

std::int64_t shape_product(const Shape& shape) noexcept {
    // Shapes come from model files and orchestration files, so a product can
    // be far beyond any real array; it saturates instead of wrapping around
    // (which would be undefined, and could pass for a small size).
    if (std::find(shape.begin(), shape.end(), 0) != shape.end()) return 0;
    std::int64_t p = 1;
    for (auto d : shape)
        if (__builtin_mul_overflow(p, d, &p)) return std::numeric_limits<std::int64_t>::max();
    return p;
}

std::string shape_repr(const Shape& shape) {
    std::string out = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    if (shape.size() == 1) out += ",";
    return out + ")";
}

// ---- construction ----------------------------------------------------------

NdArray::NdArray() : NdArray(allocate(DType::Float64, Shape{0})) {}

NdArray::NdArray(DType dtype, const Shape& shape, std::shared_ptr<const void> owner, void* data)
    : owner_(std::move(owner)), data_(data), shape_(shape), size_(shape_product(shape)), dtype_(dtype) {}

NdArray NdArray::allocate(DType dtype, const Shape& shape) {
    for (auto d : shape)
        if (d < 0) throw ValueError("negative dimensions are not allowed: " + shape_repr(shape));
    std::int64_t n = shape_product(shape);
    std::size_t bytes = 0;
    if (n == std::numeric_limits<std::int64_t>::max() ||
        __builtin_mul_overflow(static_cast<std::size_t>(n), dtype_size(dtype), &bytes) ||
        bytes > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        throw ValueError("array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
    auto buffer = allocate_bytes(bytes);
    void* data = buffer.get();
    return NdArray(dtype, shape, std::shared_ptr<const void>(std::move(buffer)), data);
}

NdArray NdArray::zeros(DType dtype, const Shape& shape) { return full(dtype, shape, 0.0); }

NdArray NdArray::ones(DType dtype, const Shape& shape) { return full(dtype, shape, 1.0); }

NdArray NdArray::full(DType dtype, const Shape& shape, double value) {
    NdArray out = allocate(dtype, shape);
    dispatch(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        std::fill_n(static_cast<T*>(out.data_), out.size_, convert<T>(value));
    });
    return out;
}

NdArray NdArray::scalar(DType dtype, double value) { return full(dtype, Shape{}, value); }

NdArray NdArray::wrap(DType dtype, const Shape& shape, void* data, std::shared_ptr<const void> owner) {
    if (!data && shape_product(shape) != 0) throw ValueError("cannot wrap a null buffer");
    return NdArray(dtype, shape, std::move(owner), data);
}

namespace {

// Shape and element type of a nested value, found before filling.
struct Layout {
    Shape shape;
    DType dtype = DType::Bool;
    bool any_leaf = false;
};

[[noreturn]] void not_numeric(const Value& v) {
    throw TypeError("cannot build a numeric array from a value of type '" + v.type_name() + "'");
}

void note_leaf(Layout& layout, DType t) {
    layout.dtype = layout.any_leaf ? promote_types(layout.dtype, t) : t;
    layout.any_leaf = true;
}

// The shape of `v`; records leaf types into `layout`.
Shape measure(const Value& v, Layout& layout) {
    if (v.is_bool()) { note_leaf(layout, DType::Bool); return {}; }
    if (v.is_int()) { note_leaf(layout, DType::Int64); return {}; }
    if (v.is_float()) { note_leaf(layout, DType::Float64); return {}; }
    if (v.is_array()) {
        const auto& a = v.as_array();
        if (a.size() > 0) note_leaf(layout, a.dtype());
        else if (!layout.any_leaf) { layout.dtype = a.dtype(); }
        return a.shape();
    }
    const std::vector<Value>* items = nullptr;
    if (v.is_list()) items = &v.as_list().items();
    else if (v.is_tuple()) items = &v.as_tuple().items();
    else not_numeric(v);
    Shape shape;
    shape.push_back(static_cast<std::int64_t>(items->size()));
    if (items->empty()) {
        if (!layout.any_leaf) layout.dtype = DType::Float64;
        return shape;
    }
    Shape inner = measure((*items)[0], layout);
    for (std::size_t i = 1; i < items->size(); ++i) {
        Shape other = measure((*items)[i], layout);
        if (!(other == inner))
            throw ValueError("cannot build an array from an inhomogeneous nested sequence: element " +
                             std::to_string(i) + " has shape " + shape_repr(other) + ", element 0 has shape " +
                             shape_repr(inner));
    }
    for (auto d : inner) shape.push_back(d);
    return shape;
}

template <class T>
void fill(const Value& v, T*& out) {
    if (v.is_bool()) { *out++ = convert<T>(v.as_bool()); return; }
    if (v.is_int()) { *out++ = convert<T>(v.as_int()); return; }
    if (v.is_float()) { *out++ = convert<T>(v.as_double()); return; }
    if (v.is_array()) {
        const auto& a = v.as_array();
        dispatch(a.dtype(), [&](auto tag) {
            using S = typename decltype(tag)::type;
            const S* src = static_cast<const S*>(a.raw_data());
            for (std::int64_t i = 0; i < a.size(); ++i) *out++ = convert<T>(src[i]);
        });
        return;
    }
    const auto& items = v.is_list() ? v.as_list().items() : v.as_tuple().items();
    for (const auto& item : items) fill(item, out);
}

}  // namespace

NdArray NdArray::from_value(const Value& value) {
    if (value.is_array()) return value.as_array();
    Layout layout;
    Shape shape = measure(value, layout);
    NdArray out = allocate(layout.any_leaf ? layout.dtype : layout.dtype, shape);
    dispatch(out.dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        T* p = static_cast<T*>(out.data_);
        fill(value, p);
    });
    return out;
}

NdArray NdArray::from_value(const Value& value, DType dtype) {
    if (value.is_array()) return value.as_array().astype(dtype);
    Layout layout;
    Shape shape = measure(value, layout);
    NdArray out = allocate(dtype, shape);
    dispatch(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        T* p = static_cast<T*>(out.data_);
        fill(value, p);
    });
    return out;
}

// ---- basic access ----------------------------------------------------------

std::int64_t NdArray::len() const {
    if (shape_.empty()) throw TypeError("len() of unsized object");
    return shape_[0];
}

void NdArray::check_dtype(DType wanted) const {
    if (wanted != dtype_)
        throw TypeError("array has element type " + std::string(dtype_name(dtype_)) + ", not " +
                        std::string(dtype_name(wanted)));
}

bool NdArray::is(const NdArray& other) const noexcept {
    return data_ == other.data_ && dtype_ == other.dtype_ && shape_ == other.shape_ &&
           owner_ == other.owner_;
}

bool NdArray::shares_memory_with(const NdArray& other) const noexcept {
    return owner_ && owner_ == other.owner_;
}

NdArray NdArray::reshape(const Shape& shape) const {
    Shape target = shape;
    int infer_at = -1;
    std::int64_t known = 1;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == -1) {
            if (infer_at >= 0) throw ValueError("can only specify one unknown dimension");
            infer_at = static_cast<int>(i);
        } else if (target[i] < 0) {
            throw ValueError("negative dimensions not allowed in reshape target " + shape_repr(shape));
        } else {
            known *= target[i];
        }
    }
    if (infer_at >= 0) {
        if (known == 0 || size_ % known != 0)
            throw ValueError("cannot reshape array of size " + std::to_string(size_) + " into shape " +
                             shape_repr(shape));
        target[static_cast<std::size_t>(infer_at)] = size_ / known;
    } else if (known != size_) {
        throw ValueError("cannot reshape array of size " + std::to_string(size_) + " into shape " +
                         shape_repr(shape));
    }
    return NdArray(dtype_, target, owner_, data_);
}

NdArray NdArray::flatten() const { return NdArray(dtype_, Shape{size_}, owner_, data_); }

NdArray NdArray::astype(DType dtype) const {
    if (dtype == dtype_) return *this;
    NdArray out = allocate(dtype, shape_);
    dispatch(dtype_, [&](auto src_tag) {
        using S = typename decltype(src_tag)::type;
        dispatch(dtype, [&](auto dst_tag) {
            using D = typename decltype(dst_tag)::type;
            const S* src = static_cast<const S*>(data_);
            D* dst = static_cast<D*>(out.data_);
            for (std::int64_t i = 0; i < size_; ++i) dst[i] = convert<D>(src[i]);
        });
    });
    return out;
}

NdArray NdArray::copy() const {
    NdArray out = allocate(dtype_, shape_);
    if (size_) std::memcpy(out.data_, data_, static_cast<std::size_t>(size_) * dtype_size(dtype_));
    return out;
}

NdArray NdArray::operator[](std::int64_t i) const {
    if (shape_.empty()) throw IndexError("too many indices for array: array is 0-dimensional");
    std::int64_t n = shape_[0];
    std::int64_t pos = i < 0 ? i + n : i;
    if (pos < 0 || pos >= n)
        throw IndexError("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                         std::to_string(n));
    Shape rest(std::span<const std::int64_t>(shape_.begin() + 1, shape_.size() - 1));
    std::int64_t stride = shape_product(rest);
    auto* base = static_cast<std::byte*>(data_) + pos * stride * static_cast<std::int64_t>(dtype_size(dtype_));
    return NdArray(dtype_, rest, owner_, base);
}

NdArray NdArray::slice(std::int64_t start, std::int64_t stop) const {
    if (shape_.empty()) throw IndexError("too many indices for array: array is 0-dimensional");
    std::int64_t n = shape_[0];
    auto clamp = [n](std::int64_t v) {
        if (v < 0) v += n;
        return std::clamp<std::int64_t>(v, 0, n);
    };
    std::int64_t b = clamp(start), e = std::max(b, clamp(stop));
    Shape out_shape = shape_;
    out_shape[0] = e - b;
    std::int64_t stride = n ? size_ / n : 0;
    auto* base = static_cast<std::byte*>(data_) + b * stride * static_cast<std::int64_t>(dtype_size(dtype_));
    return NdArray(dtype_, out_shape, owner_, base);
}

double NdArray::item(std::int64_t flat_index) const {
    if (flat_index < 0 || flat_index >= size_)
        throw IndexError("index " + std::to_string(flat_index) + " is out of bounds for size " +
                         std::to_string(size_));
    return dispatch(dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return static_cast<double>(static_cast<const T*>(data_)[flat_index]);
    });
}

std::int64_t NdArray::item_int(std::int64_t flat_index) const {
    if (flat_index < 0 || flat_index >= size_)
        throw IndexError("index " + std::to_string(flat_index) + " is out of bounds for size " +
                         std::to_string(size_));
    return dispatch(dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return convert<std::int64_t>(static_cast<const T*>(data_)[flat_index]);
    });
}

// ---- elementwise -----------------------------------------------------------

namespace {

// Applies out[i] = f(a[i]) with a's elements read as A and written as O.
template <class F>
NdArray unary(const NdArray& a, DType out_type, F&& f, NdArray (*alloc)(DType, const Shape&)) {
    NdArray out = alloc(out_type, a.shape());
    dispatch(a.dtype(), [&](auto in_tag) {
        using I = typename decltype(in_tag)::type;
        dispatch(out_type, [&](auto out_tag) {
            using O = typename decltype(out_tag)::type;
            const I* src = static_cast<const I*>(a.raw_data());
            O* dst = static_cast<O*>(out.mutable_raw_data());
            for (std::int64_t i = 0; i < a.size(); ++i) dst[i] = f(src[i], Tag<O>{});
        });
    });
    return out;
}

}  // namespace

NdArray NdArray::add(const NdArray& other) const {
    const bool same = shape_ == other.shape_;
    if (!same && size_ != 1 && other.size_ != 1)
        throw ValueError("operands could not be broadcast together with shapes " + shape_repr(shape_) + " " +
                         shape_repr(other.shape_));
    DType out_type = promote_types(dtype_, other.dtype_);
    const NdArray& big = (same || other.size_ == 1) ? *this : other;
    NdArray a = astype(out_type), b = other.astype(out_type);
    NdArray out = allocate(out_type, big.shape_);
    dispatch(out_type, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T* x = static_cast<const T*>(a.data_);
        const T* y = static_cast<const T*>(b.data_);
        T* dst = static_cast<T*>(out.data_);
        const bool xs = a.size_ == 1 && !same, ys = b.size_ == 1 && !same;
        for (std::int64_t i = 0; i < out.size_; ++i) {
            if constexpr (std::is_same_v<T, bool>) dst[i] = x[xs ? 0 : i] || y[ys ? 0 : i];
            else dst[i] = static_cast<T>(x[xs ? 0 : i] + y[ys ? 0 : i]);
        }
    });
    return out;
}

NdArray NdArray::subtract(double value) const {
    return unary(*this, float_result(dtype_), [value](auto x, auto tag) {
        using O = typename decltype(tag)::type;
        return static_cast<O>(static_cast<O>(x) - static_cast<O>(value));
    }, &NdArray::allocate);
}

NdArray NdArray::divide(double value) const {
    return unary(*this, float_result(dtype_), [value](auto x, auto tag) {
        using O = typename decltype(tag)::type;
        return static_cast<O>(static_cast<O>(x) / static_cast<O>(value));
    }, &NdArray::allocate);
}

NdArray NdArray::greater(double value) const {
    return unary(*this, DType::Bool, [value](auto x, auto) {
        return static_cast<double>(x) > value;
    }, &NdArray::allocate);
}

NdArray NdArray::clip(double low, double high) const {
    return unary(*this, dtype_, [low, high](auto x, auto tag) {
        using O = typename decltype(tag)::type;
        double v = static_cast<double>(x);
        if (std::isnan(v)) return static_cast<O>(x);
        return convert<O>(std::min(std::max(v, low), high));
    }, &NdArray::allocate);
}

NdArray NdArray::exp() const {
    return unary(*this, float_result(dtype_), [](auto x, auto tag) {
        using O = typename decltype(tag)::type;
        return static_cast<O>(std::exp(static_cast<O>(x)));
    }, &NdArray::allocate);
}

NdArray NdArray::where(const NdArray& cond, const NdArray& a, double b) {
    if (cond.size() != a.size())
        throw ValueError("operands could not be broadcast together with shapes " + shape_repr(cond.shape()) +
                         " " + shape_repr(a.shape()));
    NdArray c = cond.astype(DType::Bool);
    NdArray out = allocate(a.dtype(), a.shape());
    dispatch(a.dtype(), [&](auto tag) {
        using T = typename decltype(tag)::type;
        const bool* m = c.data<bool>();
        const T* x = static_cast<const T*>(a.raw_data());
        T* dst = static_cast<T*>(out.data_);
        const T fill_value = convert<T>(b);
        for (std::int64_t i = 0; i < a.size(); ++i) dst[i] = m[i] ? x[i] : fill_value;
    });
    return out;
}

NdArray NdArray::where(const NdArray& cond, double a, double b, DType dtype) {
    NdArray c = cond.astype(DType::Bool);
    NdArray out = allocate(dtype, cond.shape());
    dispatch(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const bool* m = c.data<bool>();
        T* dst = static_cast<T*>(out.data_);
        const T va = convert<T>(a), vb = convert<T>(b);
        for (std::int64_t i = 0; i < c.size(); ++i) dst[i] = m[i] ? va : vb;
    });
    return out;
}

// ---- reductions ------------------------------------------------------------

namespace {

// Pairwise summation: exact sequential sums below 8 elements, eight partial
// sums up to 128, halving above; keeps rounding error small and matches the
// order common array libraries use.
template <class T, class Acc>
Acc pairwise_sum(const T* a, std::int64_t n) {
    if (n < 8) {
        Acc res = Acc(0);
        for (std::int64_t i = 0; i < n; ++i) res += static_cast<Acc>(a[i]);
        return res;
    }
    if (n <= 128) {
        Acc r[8];
        for (int k = 0; k < 8; ++k) r[k] = static_cast<Acc>(a[k]);
        std::int64_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += static_cast<Acc>(a[i + k]);
        Acc res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += static_cast<Acc>(a[i]);
        return res;
    }
    std::int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum<T, Acc>(a, n2) + pairwise_sum<T, Acc>(a + n2, n - n2);
}

}  // namespace

double NdArray::max() const {
    if (size_ == 0) throw ValueError("zero-size array to reduction operation maximum which has no identity");
    return dispatch(dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T* p = static_cast<const T*>(data_);
        T best = p[0];
        for (std::int64_t i = 1; i < size_; ++i) {
            if constexpr (std::is_floating_point_v<T>) {
                if (std::isnan(p[i])) return static_cast<double>(p[i]);
                if (std::isnan(best)) return static_cast<double>(best);
            }
            if (p[i] > best) best = p[i];
        }
        return static_cast<double>(best);
    });
}

double NdArray::sum() const {
    return dispatch(dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T* p = static_cast<const T*>(data_);
        if constexpr (std::is_floating_point_v<T>) return static_cast<double>(pairwise_sum<T, T>(p, size_));
        else return static_cast<double>(pairwise_sum<T, std::int64_t>(p, size_));
    });
}

std::int64_t NdArray::argmax() const {
    if (size_ == 0) throw ValueError("attempt to get argmax of an empty sequence");
    return dispatch(dtype_, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T* p = static_cast<const T*>(data_);
        std::int64_t best = 0;
        for (std::int64_t i = 0; i < size_; ++i) {
            if constexpr (std::is_floating_point_v<T>) {
                // A NaN counts as the maximum, and the first one wins.
                if (std::isnan(p[i])) return i;
            }
            if (p[i] > p[best]) best = i;
        }
        return best;
    });
}

NdArray NdArray::concatenate(std::span<const NdArray> arrays) {
    if (arrays.empty()) throw ValueError("need at least one array to concatenate");
    DType out_type = arrays[0].dtype_;
    std::int64_t rows = 0;
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        const NdArray& a = arrays[k];
        if (a.ndim() == 0) throw ValueError("zero-dimensional arrays cannot be concatenated");
        if (a.ndim() != arrays[0].ndim() ||
            !std::equal(a.shape_.begin() + 1, a.shape_.end(), arrays[0].shape_.begin() + 1))
            throw ValueError("all the input array dimensions except for the concatenation axis must match "
                             "exactly, but array 0 has shape " + shape_repr(arrays[0].shape_) + " and array " +
                             std::to_string(k) + " has shape " + shape_repr(a.shape_));
        out_type = promote_types(out_type, a.dtype_);
        rows += a.shape_[0];
    }
    Shape out_shape = arrays[0].shape_;
    out_shape[0] = rows;
    NdArray out = allocate(out_type, out_shape);
    dispatch(out_type, [&](auto out_tag) {
        using O = typename decltype(out_tag)::type;
        O* dst = static_cast<O*>(out.data_);
        for (const NdArray& a : arrays) {
            dispatch(a.dtype_, [&](auto in_tag) {
                using I = typename decltype(in_tag)::type;
                const I* src = static_cast<const I*>(a.data_);
                if constexpr (std::is_same_v<I, O>) {
                    if (a.size_) std::memcpy(dst, src, static_cast<std::size_t>(a.size_) * sizeof(O));
                } else {
                    for (std::int64_t i = 0; i < a.size_; ++i) dst[i] = convert<O>(src[i]);
                }
            });
            dst += a.size_;
        }
    });
    return out;
}

bool NdArray::equals(const NdArray& other) const {
    if (!(shape_ == other.shape_)) return false;
    const bool integral = !dtype_is_float(dtype_) && !dtype_is_float(other.dtype_);
    for (std::int64_t i = 0; i < size_; ++i) {
        if (integral ? item_int(i) != other.item_int(i) : item(i) != other.item(i)) return false;
    }
    return true;
}

// ---- text ------------------------------------------------------------------

namespace {

std::string element_text(const NdArray& a, std::int64_t i) {
    switch (a.dtype()) {
        case DType::Bool: return a.item(i) != 0 ? "True" : "False";
        case DType::Float32:
        case DType::Float64: {
            std::string s = a.dtype() == DType::Float32 ? float_repr(static_cast<float>(a.item(i)))
                                                        : float_repr(a.item(i));
            // Array printing drops the trailing zero of whole numbers: "1." not "1.0".
            if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.pop_back();
            return s;
        }
        default: return std::to_string(a.item_int(i));
    }
}

void render(const NdArray& a, std::size_t dim, std::int64_t& pos, std::string& out, bool for_repr,
            std::size_t indent) {
    const std::string sep = for_repr ? ", " : " ";
    out += '[';
    std::int64_t n = a.shape()[dim];
    for (std::int64_t k = 0; k < n; ++k) {
        if (k) {
            if (dim + 1 == a.ndim()) out += sep;
            else out += (for_repr ? ",\n" : "\n") + std::string(indent + dim + 1, ' ');
        }
        if (dim + 1 == a.ndim()) out += element_text(a, pos++);
        else render(a, dim + 1, pos, out, for_repr, indent);
    }
    out += ']';
}

}  // namespace

std::string NdArray::str() const {
    if (ndim() == 0) return element_text(*this, 0);
    std::string out;
    std::int64_t pos = 0;
    render(*this, 0, pos, out, false, 0);
    return out;
}

std::string NdArray::repr() const {
    std::string out = "array(";
    if (ndim() == 0) {
        out += element_text(*this, 0);
    } else {
        std::int64_t pos = 0;
        render(*this, 0, pos, out, true, 6);
    }
    if (dtype_ != DType::Float64 && dtype_ != DType::Int64 && dtype_ != DType::Bool)
        out += ", dtype=" + std::string(dtype_name(dtype_));
    return out + ")";
}

}  // namespace tarvik_core
