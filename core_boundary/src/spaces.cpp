#include "tarvik_core/spaces.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <typeinfo>
#include <unordered_set>

#include "tarvik_core/errors.hpp"

namespace tarvik_core::spaces {
namespace {

using detail::visit_elements;

template <class P>
using ElementOf = std::remove_cv_t<std::remove_pointer_t<P>>;

bool is_integer_dtype(DType dtype) noexcept { return !dtype_is_float(dtype); }

using detail::to_float32;
using detail::whole_number;

void copy_as_float(const NdArray& array, float* out) {
    const auto n = static_cast<std::size_t>(array.size());
    visit_elements(array, [&](const auto* p) {
        using T = ElementOf<decltype(p)>;
        if constexpr (std::is_same_v<T, float>) {
            if (n) std::memcpy(out, p, n * sizeof(float));
        } else if constexpr (std::is_same_v<T, double>) {
            for (std::size_t i = 0; i < n; ++i) out[i] = to_float32(p[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(p[i]);
        }
    });
}

template <class T>
std::string element_text(T v) {
    if constexpr (std::is_floating_point_v<T>) return float_repr(static_cast<double>(v));
    else return std::to_string(static_cast<std::int64_t>(v));
}

// A numeric sample as an array: arrays as they are, numbers and (nested)
// lists or tuples through the array constructor.
NdArray numeric_sample(const Space& space, const Value& sample) {
    if (sample.is_array()) return sample.as_array();
    if (sample.is_number() || sample.is_list() || sample.is_tuple()) {
        try {
            return NdArray::from_value(sample);
        } catch (const TypeError& e) {
            throw TypeError(space.repr() + " cannot use sample " + repr(sample) + ": " + e.what());
        } catch (const ValueError& e) {
            throw ValueError(space.repr() + " cannot use sample " + repr(sample) + ": " + e.what());
        }
    }
    throw TypeError(space.repr() + " expects a number, list or array sample, got " + sample.type_name());
}

NdArray sized_sample(const Space& space, const Value& sample, std::int64_t expected) {
    NdArray array = numeric_sample(space, sample);
    if (array.size() != expected) {
        throw ValueError(space.repr() + " expects a sample of " + std::to_string(expected) + " values, got " +
                         std::to_string(array.size()));
    }
    return array;
}

NdArray flatten_with(const Space& space, const Value& sample) {
    NdArray out = NdArray::zeros(DType::Float32, Shape{space.flat_dim()});
    space.flatten_into(sample, out.mutable_data<float>());
    return out;
}

// "; a space may have at most 16777216 entries", closing every size error.
std::string limit_text() {
    return "; a space may have at most " + std::to_string(kMaxSpaceEntries) + " entries";
}

// A length beyond the limit: ValueError "<before><count><after><limit_text()>".
void check_entries(std::int64_t count, std::string_view before, std::string_view after) {
    if (count > kMaxSpaceEntries)
        throw ValueError(std::string(before) + std::to_string(count) + std::string(after) + limit_text());
}

// Flat sizes of composite spaces are sums that spaces read from files can
// push past 64 bits; a wrapped sum would size buffers too small.
void add_size(std::int64_t& total, std::int64_t part, std::string_view kind) {
    if (__builtin_add_overflow(total, part, &total))
        throw ValueError(std::string(kind) + " space is too large: its flat size does not fit in 64 bits");
}

NdArray filled(const Shape& shape, double value) {
    check_space_shape("Box", shape);
    return NdArray::full(DType::Float64, shape, value);
}

// A private float64 copy of a bounds array, so later writes by the caller
// never reach the space.
NdArray owned_f64(const NdArray& array) {
    NdArray out = array.astype(DType::Float64);
    return out.is(array) || out.shares_memory_with(array) ? out.copy() : out;
}

// Bounds as the Box's element type holds them: float32 rounding, or inward
// rounding to whole numbers for integer types. Infinities stay.
void fit_bounds_to_dtype(NdArray& low, NdArray& high, DType dtype) {
    double* lo = low.mutable_data<double>();
    double* hi = high.mutable_data<double>();
    for (std::int64_t i = 0; i < low.size(); ++i) {
        if (std::isnan(lo[i]) || std::isnan(hi[i])) throw ValueError("Box bounds must not be NaN");
        if (dtype == DType::Float32) {
            lo[i] = to_float32(lo[i]);
            hi[i] = to_float32(hi[i]);
        } else if (is_integer_dtype(dtype)) {
            if (std::isfinite(lo[i])) lo[i] = std::ceil(lo[i]);
            if (std::isfinite(hi[i])) hi[i] = std::floor(hi[i]);
        }
        if (lo[i] > hi[i]) {
            throw ValueError("Box low must not exceed high: low " + float_repr(lo[i]) + " > high " +
                             float_repr(hi[i]) + " at position " + std::to_string(i) + " (" +
                             std::string(dtype_name(dtype)) + ")");
        }
    }
}

// One bound as it prints in a Box's text form.
std::string bound_scalar_text(double v, DType dtype) {
    if (is_integer_dtype(dtype)) {
        if (const auto whole = whole_number(v)) return std::to_string(*whole);
        return float_repr(v);  // infinite, or beyond int64
    }
    // float32 bounds print their shortest float32 text ("0.1", not "0.10000000149011612").
    if (dtype == DType::Float32) return float_repr(static_cast<float>(v));
    return float_repr(v);
}

std::string bound_text(const NdArray& bound, DType dtype) {
    const double* b = bound.data<double>();
    const std::int64_t n = bound.size();
    if (n > 0 && std::all_of(b, b + n, [&](double v) { return v == b[0]; })) return bound_scalar_text(b[0], dtype);
    if (dtype == DType::Float32) return bound.astype(DType::Float32).str();
    if (is_integer_dtype(dtype) && std::all_of(b, b + n, [](double v) { return whole_number(v).has_value(); })) {
        return bound.astype(DType::Int64).str();
    }
    return bound.str();
}

std::string join_reprs(const std::vector<SpacePtr>& spaces) {
    std::string out;
    for (std::size_t i = 0; i < spaces.size(); ++i) {
        if (i) out += ", ";
        out += spaces[i]->repr();
    }
    return out;
}

bool same_class(const Space& a, const Space& b) { return typeid(a) == typeid(b); }

// Concatenates the flattened bounds of composite parts.
SpacePtr flatten_parts(const std::vector<const Space*>& parts, std::int64_t flat_dim) {
    std::vector<double> low, high;
    low.reserve(static_cast<std::size_t>(flat_dim));
    high.reserve(static_cast<std::size_t>(flat_dim));
    for (const Space* part : parts) {
        const SpacePtr flat = part->flatten();
        const auto* box = dynamic_cast<const Box*>(flat.get());
        if (!box) throw TypeError("flatten() of " + part->repr() + " gave " + repr(flat) + ", not a Box");
        const auto lo = box->low().values<double>();
        const auto hi = box->high().values<double>();
        low.insert(low.end(), lo.begin(), lo.end());
        high.insert(high.end(), hi.begin(), hi.end());
    }
    return std::make_shared<Box>(NdArray::from_vector(low), NdArray::from_vector(high), DType::Float32);
}

}  // namespace

void check_space_shape(std::string_view kind, const Shape& shape) {
    for (std::int64_t d : shape) {
        if (d < 0) throw ValueError(std::string(kind) + " shape " + shape_repr(shape) + " has a negative dimension");
    }
    // shape_product saturates at the int64 limit: no array of that size exists.
    const std::int64_t elements = shape_product(shape);
    if (elements == std::numeric_limits<std::int64_t>::max())
        throw ValueError(std::string(kind) + " shape " + shape_repr(shape) + " is too large" + limit_text());
    check_entries(elements, std::string(kind) + " shape " + shape_repr(shape) + " has ", " elements");
}

// ---------------------------------------------------------------- Space

std::int64_t Space::n() const { no_attribute("n"); }
const NdArray& Space::nvec() const { no_attribute("nvec"); }
const Shape& Space::shape() const { no_attribute("shape"); }
DType Space::dtype() const { no_attribute("dtype"); }
const std::vector<SpacePtr>& Space::sequence_spaces() const { no_attribute("spaces"); }
const SpaceEntries& Space::mapping_spaces() const { no_attribute("spaces"); }

void Space::no_attribute(std::string_view attribute) const {
    throw AttributeError("'" + type_name() + "' object has no attribute '" + std::string(attribute) + "'");
}

SpacePtr Space::flatten() const {
    // Discrete kinds and MultiBinary flatten to indicator entries in [0, 1].
    return std::make_shared<Box>(0.0, 1.0, Shape{flat_dim()}, DType::Float32);
}

// A mask has one entry per action-distribution entry: a Box of many
// elements may fit the limit while its mask (means and spreads) does not.
std::int64_t Space::checked_mask_size() const {
    const std::int64_t size = action_dist_size();
    if (size > kMaxSpaceEntries)
        check_entries(size, type_name() + " space of flat size " + std::to_string(flat_dim()) + " needs an action mask of ",
                      " entries (one per action-distribution entry)");
    return size;
}

SpacePtr Space::get_action_mask_space() const { return std::make_shared<MultiBinary>(checked_mask_size()); }

NdArray Space::get_no_action_mask() const { return NdArray::ones(DType::Int8, Shape{checked_mask_size()}); }

std::string repr(const SpacePtr& space) { return space ? space->repr() : "None"; }

Kind kind_of(const Space& space) {
    const std::type_info& type = typeid(space);
    if (type == typeid(Discrete)) return Kind::Discrete;
    if (type == typeid(Box)) return Kind::Box;
    if (type == typeid(Dict)) return Kind::Dict;
    if (type == typeid(MultiDiscrete)) return Kind::MultiDiscrete;
    if (type == typeid(MultiBinary)) return Kind::MultiBinary;
    if (type == typeid(Tuple)) return Kind::Tuple;
    const std::string name = space.type_name();
    if (name == "Discrete") return Kind::Discrete;
    if (name == "Box") return Kind::Box;
    if (name == "Dict") return Kind::Dict;
    if (name == "MultiDiscrete") return Kind::MultiDiscrete;
    if (name == "MultiBinary") return Kind::MultiBinary;
    if (name == "Tuple") return Kind::Tuple;
    return Kind::Other;
}

// ---------------------------------------------------------------- Discrete

Discrete::Discrete(std::int64_t n, std::int64_t start) : n_(n), start_(start) {
    if (n < 1) throw ValueError("Discrete space needs n >= 1, got " + std::to_string(n));
    // Its flat sample and its mask are one-hot blocks of n entries.
    check_entries(n, "Discrete space n ", " is too large (its one-hot form and its mask have n entries)");
    if (start > std::numeric_limits<std::int64_t>::max() - n) {
        throw ValueError("Discrete space start " + std::to_string(start) + " + n " + std::to_string(n) +
                         " overflows int64");
    }
}

NdArray Discrete::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void Discrete::flatten_into(const Value& sample, float* out) const {
    std::optional<std::int64_t> value;
    if (sample.is_int()) {
        value = sample.as_int();
    } else if (sample.is_bool()) {
        value = sample.as_bool() ? 1 : 0;
    } else if (sample.is_array() && sample.as_array().size() == 1 && is_integer_dtype(sample.as_array().dtype())) {
        value = sample.as_array().item_int(0);
    }
    if (!value) {
        throw ValueError(repr() + " expects an int sample, got " + sample.type_name() + " " +
                         tarvik_core::repr(sample));
    }
    if (*value < start_ || *value >= start_ + n_) {
        throw ValueError("sample " + std::to_string(*value) + " is outside " + repr() + ": expected " +
                         std::to_string(start_) + " <= sample < " + std::to_string(start_ + n_));
    }
    std::fill(out, out + n_, 0.0f);
    out[*value - start_] = 1.0f;
}

std::string Discrete::repr() const {
    std::string out = "Discrete(" + std::to_string(n_);
    if (start_ != 0) out += ", start=" + std::to_string(start_);
    return out + ")";
}

bool Discrete::equals(const Space& other) const {
    if (!same_class(*this, other)) return false;
    const auto& o = static_cast<const Discrete&>(other);
    return n_ == o.n_ && start_ == o.start_;
}

// ---------------------------------------------------------------- MultiDiscrete

MultiDiscrete::MultiDiscrete(NdArray nvec) {
    NdArray owned = NdArray::zeros(DType::Int64, nvec.shape());
    std::int64_t* dst = owned.mutable_data<std::int64_t>();
    visit_elements(nvec, [&](const auto* p) {
        for (std::int64_t i = 0; i < nvec.size(); ++i) {
            const auto v = whole_number(p[i]);
            if (!v) throw ValueError("MultiDiscrete nvec must hold whole numbers, got " + nvec.str());
            if (*v < 1) throw ValueError("MultiDiscrete nvec entries must be >= 1, got " + nvec.str());
            dst[i] = *v;
            add_size(total_, *v, "MultiDiscrete");
        }
    });
    check_entries(total_, "MultiDiscrete nvec sums to ", ", the length of its one-hot form and its mask");
    nvec_ = std::move(owned);
}

MultiDiscrete::MultiDiscrete(std::vector<std::int64_t> nvec) : MultiDiscrete(NdArray::from_vector(nvec)) {}

NdArray MultiDiscrete::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void MultiDiscrete::flatten_into(const Value& sample, float* out) const {
    const NdArray values = sized_sample(*this, sample, nvec_.size());
    const std::int64_t* nvec = nvec_.data<std::int64_t>();
    std::fill(out, out + total_, 0.0f);
    visit_elements(values, [&](const auto* p) {
        std::int64_t offset = 0;
        for (std::int64_t i = 0; i < nvec_.size(); ++i) {
            const auto v = whole_number(p[i]);
            if (!v || *v < 0 || *v >= nvec[i]) {
                throw ValueError(repr() + " sample " + values.str() + " has component " + std::to_string(i) + " = " +
                                 element_text(p[i]) + ", outside 0 <= x < " + std::to_string(nvec[i]));
            }
            out[offset + *v] = 1.0f;
            offset += nvec[i];
        }
    });
}

std::string MultiDiscrete::repr() const { return "MultiDiscrete(" + nvec_.str() + ")"; }

bool MultiDiscrete::equals(const Space& other) const {
    if (!same_class(*this, other)) return false;
    return nvec_.equals(static_cast<const MultiDiscrete&>(other).nvec_);
}

// ---------------------------------------------------------------- Box

Box::Box(double low, double high, Shape shape, DType dtype) : Box(filled(shape, low), filled(shape, high), dtype) {}

Box::Box(NdArray low, NdArray high, DType dtype) : shape_(low.shape()), dtype_(dtype) {
    if (!(low.shape() == high.shape())) {
        throw ValueError("Box low has shape " + shape_repr(low.shape()) + " but high has shape " +
                         shape_repr(high.shape()));
    }
    check_space_shape("Box", shape_);
    low_ = owned_f64(low);
    high_ = owned_f64(high);
    fit_bounds_to_dtype(low_, high_, dtype_);
    const auto finite = [](double v) { return std::isfinite(v); };
    const auto lo = low_.values<double>();
    const auto hi = high_.values<double>();
    bounded_ = std::all_of(lo.begin(), lo.end(), finite) && std::all_of(hi.begin(), hi.end(), finite);
}

SpacePtr Box::flatten() const {
    const Shape flat{flat_dim()};
    return std::make_shared<Box>(low_.reshape(flat), high_.reshape(flat), DType::Float32);
}

NdArray Box::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void Box::flatten_into(const Value& sample, float* out) const {
    // Fast path first: the common per-step case is an array already sized.
    if (sample.is_array() && sample.as_array().size() == flat_dim()) {
        copy_as_float(sample.as_array(), out);
        return;
    }
    copy_as_float(sized_sample(*this, sample, flat_dim()), out);
}

std::string Box::repr() const {
    return "Box(" + bound_text(low_, dtype_) + ", " + bound_text(high_, dtype_) + ", " + shape_repr(shape_) + ", " +
           std::string(dtype_name(dtype_)) + ")";
}

bool Box::equals(const Space& other) const {
    if (!same_class(*this, other)) return false;
    const auto& o = static_cast<const Box&>(other);
    return shape_ == o.shape_ && dtype_ == o.dtype_ && low_.equals(o.low_) && high_.equals(o.high_);
}

// ---------------------------------------------------------------- MultiBinary

MultiBinary::MultiBinary(std::int64_t n) : MultiBinary(Shape{n}) {}

MultiBinary::MultiBinary(Shape shape) : shape_(shape) { check_space_shape("MultiBinary", shape_); }

NdArray MultiBinary::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void MultiBinary::flatten_into(const Value& sample, float* out) const {
    const NdArray values = sized_sample(*this, sample, flat_dim());
    visit_elements(values, [&](const auto* p) {
        for (std::int64_t i = 0; i < values.size(); ++i) {
            const double v = static_cast<double>(p[i]);
            if (v != 0.0 && v != 1.0) {
                throw ValueError(repr() + " sample " + values.str() + " holds " + element_text(p[i]) +
                                 " at position " + std::to_string(i) + "; only 0 and 1 are allowed");
            }
            out[i] = static_cast<float>(v);
        }
    });
}

std::string MultiBinary::repr() const {
    if (shape_.size() == 1) return "MultiBinary(" + std::to_string(shape_[0]) + ")";
    return "MultiBinary(" + shape_repr(shape_) + ")";
}

bool MultiBinary::equals(const Space& other) const {
    return same_class(*this, other) && shape_ == static_cast<const MultiBinary&>(other).shape_;
}

// ---------------------------------------------------------------- Tuple

Tuple::Tuple(std::vector<SpacePtr> spaces) : spaces_(std::move(spaces)) {
    for (std::size_t i = 0; i < spaces_.size(); ++i) {
        if (!spaces_[i]) throw ValueError("Tuple space entry " + std::to_string(i) + " is None");
        add_size(flat_dim_, spaces_[i]->flat_dim(), "Tuple");
        add_size(dist_size_, spaces_[i]->action_dist_size(), "Tuple");
    }
    check_entries(flat_dim_, "Tuple space has a flat size of ", "");
}

std::int64_t Tuple::flat_dim() const { return flat_dim_; }
std::int64_t Tuple::action_dist_size() const { return dist_size_; }

SpacePtr Tuple::flatten() const {
    std::vector<const Space*> parts;
    for (const auto& s : spaces_) parts.push_back(s.get());
    return flatten_parts(parts, flat_dim_);
}

NdArray Tuple::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void Tuple::flatten_into(const Value& sample, float* out) const {
    const std::vector<Value>* items = nullptr;
    if (sample.is_tuple()) items = &sample.as_tuple().items();
    else if (sample.is_list()) items = &sample.as_list().items();
    else throw TypeError(repr() + " expects a tuple or list sample, got " + sample.type_name());
    if (items->size() != spaces_.size()) {
        throw ValueError(repr() + " expects a sample of " + std::to_string(spaces_.size()) + " parts, got " +
                         std::to_string(items->size()));
    }
    for (std::size_t i = 0; i < spaces_.size(); ++i) {
        spaces_[i]->flatten_into((*items)[i], out);
        out += spaces_[i]->flat_dim();
    }
}

std::string Tuple::repr() const { return "Tuple(" + join_reprs(spaces_) + ")"; }

bool Tuple::equals(const Space& other) const {
    if (!same_class(*this, other)) return false;
    const auto& o = static_cast<const Tuple&>(other);
    if (spaces_.size() != o.spaces_.size()) return false;
    for (std::size_t i = 0; i < spaces_.size(); ++i) {
        if (!spaces_[i]->equals(*o.spaces_[i])) return false;
    }
    return true;
}

// ---------------------------------------------------------------- Dict

Dict::Dict(SpaceEntries spaces) : spaces_(std::move(spaces)) {
    std::unordered_set<std::string_view> seen;
    for (const auto& [key, space] : spaces_) {
        if (!seen.insert(key).second) throw ValueError("Dict space has the key '" + key + "' twice");
        if (!space) throw ValueError("Dict space entry '" + key + "' is None");
        add_size(flat_dim_, space->flat_dim(), "Dict");
        add_size(dist_size_, space->action_dist_size(), "Dict");
    }
    check_entries(flat_dim_, "Dict space has a flat size of ", "");
}

SpacePtr Dict::find(std::string_view key) const noexcept {
    for (const auto& [k, space] : spaces_) {
        if (k == key) return space;
    }
    return nullptr;
}

std::int64_t Dict::flat_dim() const { return flat_dim_; }
std::int64_t Dict::action_dist_size() const { return dist_size_; }

SpacePtr Dict::flatten() const {
    std::vector<const Space*> parts;
    for (const auto& entry : spaces_) parts.push_back(entry.second.get());
    return flatten_parts(parts, flat_dim_);
}

NdArray Dict::flatten_sample(const Value& sample) const { return flatten_with(*this, sample); }

void Dict::flatten_into(const Value& sample, float* out) const {
    if (!sample.is_dict()) throw TypeError(repr() + " expects a mapping sample, got " + sample.type_name());
    // A sample in the space's own order costs one comparison per entry.
    tarvik_core::DictFinder values(sample.as_dict());
    for (const auto& [key, space] : spaces_) {
        const Value* value = values.find(key);
        if (!value) throw KeyError("sample for " + repr() + " has no key " + tarvik_core::repr(Value(key)));
        space->flatten_into(*value, out);
        out += space->flat_dim();
    }
}

std::string Dict::repr() const {
    std::string out = "Dict(";
    bool first = true;
    for (const auto& [key, space] : spaces_) {
        if (!first) out += ", ";
        first = false;
        out += tarvik_core::repr(Value(key)) + ": " + space->repr();
    }
    return out + ")";
}

bool Dict::equals(const Space& other) const {
    if (!same_class(*this, other)) return false;
    const auto& o = static_cast<const Dict&>(other);
    if (spaces_.size() != o.spaces_.size()) return false;
    for (std::size_t i = 0; i < spaces_.size(); ++i) {
        if (spaces_[i].first != o.spaces_[i].first || !spaces_[i].second->equals(*o.spaces_[i].second)) return false;
    }
    return true;
}

}  // namespace tarvik_core::spaces
