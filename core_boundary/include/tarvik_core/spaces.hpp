// Spaces: what observations and actions look like.
//
// Six kinds: Discrete, MultiDiscrete, Box, MultiBinary, Tuple, Dict. A space
// is immutable once built and shared through SpacePtr. Its kind is the class's
// own name (`type_name()`), never a type test, so a subclass with another name
// is another kind to everything that dispatches on kinds.
//
// Conventions:
// - Flattening follows the usual RL convention: Discrete and MultiDiscrete
//   flatten to one-hot blocks, Box and MultiBinary to their elements in
//   row-major order, Tuple and Dict to the concatenation of their parts in
//   order. `flatten()` is the Box that flat samples live in; flat samples are
//   float32 vectors, the element type policy models take.
// - Action-distribution length (`action_dist_size()`): the number of model
//   outputs a policy produces for the space: n for Discrete, sum(nvec) for
//   MultiDiscrete, 2 x size (means, then spreads) for Box, size for
//   MultiBinary, the sum of the parts for Tuple and Dict.
// - Action masks line up with that vector position by position: the mask space
//   (`get_action_mask_space()`) is MultiBinary(action_dist_size()) and the
//   "allow everything" mask (`get_no_action_mask()`) is an int8 vector of that
//   many ones.
//
// Attribute accessors (n, nvec, shape, dtype, sequence_spaces,
// mapping_spaces) exist on every space; a kind that lacks one raises
// AttributeError, the way a missing attribute fails.
//
// Size limit: every length a space describes (its elements, its flat sample,
// its action-distribution vector and so its action mask) is at most
// kMaxSpaceEntries. Constructors check elements and flat length before they
// allocate anything; the mask length is checked where a mask is made
// (get_action_mask_space, get_no_action_mask). Errors name the kind, the
// size and the limit.
//
// Errors: invalid construction arguments are ValueErrors; a sample that does
// not fit the space is a ValueError (or TypeError for the wrong kind of value)
// naming the space. A Discrete sample that is not an integer in range is a
// ValueError naming the space and the value.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core::spaces {

// 2^24: far beyond any real policy's observation or action (a 2048 x 2048
// RGBA image has 2^24 values), while a file or caller claiming more cannot
// make the runtime allocate gigabytes for one space.
inline constexpr std::int64_t kMaxSpaceEntries = std::int64_t{1} << 24;

// ValueError unless a space of `kind` ("Box", "MultiBinary") with `shape`
// keeps within kMaxSpaceEntries; for callers that allocate per element before
// they construct the space (bounds read from a file). Negative dimensions are
// a ValueError too.
void check_space_shape(std::string_view kind, const Shape& shape);

class Space;
using SpacePtr = std::shared_ptr<const Space>;
using SpaceEntries = std::vector<std::pair<std::string, SpacePtr>>;

class Space : public Object {
public:
    // The kind: the class's own name.
    std::string type_name() const { return class_name(); }

    virtual std::int64_t n() const;
    virtual const NdArray& nvec() const;
    virtual const Shape& shape() const;
    virtual DType dtype() const;
    virtual const std::vector<SpacePtr>& sequence_spaces() const;  // Tuple's `spaces`
    virtual const SpaceEntries& mapping_spaces() const;            // Dict's `spaces`

    // Number of entries of a flat sample.
    virtual std::int64_t flat_dim() const = 0;
    // The Box(flat_dim) of flat samples.
    virtual SpacePtr flatten() const;
    // A sample of this space as a 1-D float32 vector of flat_dim entries.
    virtual NdArray flatten_sample(const Value& sample) const = 0;
    // Writes the flat form into out[0, flat_dim()); the shared worker of
    // flatten_sample for composites.
    virtual void flatten_into(const Value& sample, float* out) const = 0;

    virtual std::int64_t action_dist_size() const = 0;
    SpacePtr get_action_mask_space() const;
    NdArray get_no_action_mask() const;

    std::string repr() const override = 0;
    virtual bool equals(const Space& other) const = 0;

protected:
    [[noreturn]] void no_attribute(std::string_view attribute) const;

private:
    // action_dist_size(), checked against kMaxSpaceEntries.
    std::int64_t checked_mask_size() const;
};

class Discrete : public Space {
public:
    explicit Discrete(std::int64_t n, std::int64_t start = 0);
    std::int64_t n() const override { return n_; }
    std::int64_t start() const noexcept { return start_; }
    const Shape& shape() const override { return shape_; }
    DType dtype() const override { return DType::Int64; }
    std::int64_t flat_dim() const override { return n_; }
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override { return n_; }
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    std::int64_t n_;
    std::int64_t start_;
    Shape shape_;
};

class MultiDiscrete : public Space {
public:
    // `nvec`: integer array of any shape, every entry >= 1.
    explicit MultiDiscrete(NdArray nvec);
    explicit MultiDiscrete(std::vector<std::int64_t> nvec);
    const NdArray& nvec() const override { return nvec_; }
    const Shape& shape() const override { return nvec_.shape(); }
    DType dtype() const override { return DType::Int64; }
    std::int64_t flat_dim() const override { return total_; }
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override { return total_; }
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    NdArray nvec_;
    std::int64_t total_ = 0;
};

class Box : public Space {
public:
    // Same bounds for every element.
    Box(double low, double high, Shape shape, DType dtype = DType::Float32);
    // Per-element bounds; `low` and `high` share a shape.
    Box(NdArray low, NdArray high, DType dtype = DType::Float32);
    const NdArray& low() const noexcept { return low_; }    // float64, shape()
    const NdArray& high() const noexcept { return high_; }  // float64, shape()
    bool is_bounded() const noexcept { return bounded_; }
    const Shape& shape() const override { return shape_; }
    DType dtype() const override { return dtype_; }
    std::int64_t flat_dim() const override { return shape_product(shape_); }
    // Box(flat_dim) with this Box's bounds, row-major.
    SpacePtr flatten() const override;
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override { return 2 * shape_product(shape_); }
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    NdArray low_, high_;
    Shape shape_;
    DType dtype_;
    bool bounded_ = false;
};

class MultiBinary : public Space {
public:
    explicit MultiBinary(std::int64_t n);
    explicit MultiBinary(Shape shape);
    const Shape& shape() const override { return shape_; }
    DType dtype() const override { return DType::Int8; }
    std::int64_t flat_dim() const override { return shape_product(shape_); }
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override { return shape_product(shape_); }
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    Shape shape_;
};

class Tuple : public Space {
public:
    explicit Tuple(std::vector<SpacePtr> spaces);
    const std::vector<SpacePtr>& spaces() const noexcept { return spaces_; }
    const std::vector<SpacePtr>& sequence_spaces() const override { return spaces_; }
    std::int64_t flat_dim() const override;
    SpacePtr flatten() const override;
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override;
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    std::vector<SpacePtr> spaces_;
    std::int64_t flat_dim_ = 0;
    std::int64_t dist_size_ = 0;
};

class Dict : public Space {
public:
    // Entries keep the given order; keys must be unique.
    explicit Dict(SpaceEntries spaces);
    const SpaceEntries& spaces() const noexcept { return spaces_; }
    const SpaceEntries& mapping_spaces() const override { return spaces_; }
    // The sub-space under key, or null.
    SpacePtr find(std::string_view key) const noexcept;
    std::int64_t flat_dim() const override;
    SpacePtr flatten() const override;
    // `sample` must be a mapping holding every key of the space.
    NdArray flatten_sample(const Value& sample) const override;
    void flatten_into(const Value& sample, float* out) const override;
    std::int64_t action_dist_size() const override;
    std::string repr() const override;
    bool equals(const Space& other) const override;

private:
    SpaceEntries spaces_;
    std::int64_t flat_dim_ = 0;
    std::int64_t dist_size_ = 0;
};

// Text form of a space pointer; "None" for null.
std::string repr(const SpacePtr& space);

// The kind of a space as a constant, for code that dispatches on kinds once
// per step: the same answer as comparing type_name() with the six kind names,
// without building the name for the built-in classes.
enum class Kind : std::uint8_t { Discrete, MultiDiscrete, Box, MultiBinary, Tuple, Dict, Other };
Kind kind_of(const Space& space);

namespace detail {
// double -> float32 without the undefined behaviour of converting a finite
// value beyond float's range: such values become infinities, as IEEE
// rounding does.
inline float to_float32(double v) noexcept {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (v > kMax) return std::numeric_limits<float>::infinity();
    if (v < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// An element as a whole number, or nullopt when it is not one that fits in
// int64 (NaN, infinities, fractions, magnitudes of 2^63 and beyond).
template <class T>
std::optional<std::int64_t> whole_number(T v) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        constexpr double kLimit = 9223372036854775808.0;  // 2^63, exact in double
        const double d = static_cast<double>(v);
        if (!(d >= -kLimit && d < kLimit) || static_cast<double>(static_cast<std::int64_t>(d)) != d) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    } else {
        return static_cast<std::int64_t>(v);
    }
}

// Calls fn(const T* elements) with the array's elements in their own element
// type (array.size() of them, row-major), so converting loops are written once
// per element type instead of boxing every element.
template <class Fn>
decltype(auto) visit_elements(const NdArray& array, Fn&& fn) {
    const void* p = array.raw_data();
    switch (array.dtype()) {
    case DType::Bool: return fn(static_cast<const bool*>(p));
    case DType::Int8: return fn(static_cast<const std::int8_t*>(p));
    case DType::UInt8: return fn(static_cast<const std::uint8_t*>(p));
    case DType::Int32: return fn(static_cast<const std::int32_t*>(p));
    case DType::Int64: return fn(static_cast<const std::int64_t*>(p));
    case DType::Float32: return fn(static_cast<const float*>(p));
    case DType::Float64: break;
    }
    return fn(static_cast<const double*>(p));
}
}  // namespace detail

}  // namespace tarvik_core::spaces
