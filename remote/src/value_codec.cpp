// Value <-> protocol message.
#include "tarvik_remote/value_codec.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <variant>

#include "tarvik_core/errors.hpp"
#include "tarvik_remote.pb.h"

namespace tarvik_remote {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Value;

namespace {

// Where a part sits inside the value being coded, as a chain of parents, so
// that the text ("value['obs'][2]") is built only when an error needs it.
struct Where {
    const Where* parent = nullptr;
    const std::string* key = nullptr;  // a mapping entry, or else
    std::size_t index = 0;             // a sequence position

    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict)
    // about "literal" + std::string.
    std::string text() const {
        if (!parent) return "value";
        std::string out = parent->text();
        out += '[';
        out += key ? tarvik_core::repr(Value(*key)) : std::to_string(index);
        out += ']';
        return out;
    }
};

[[noreturn]] void malformed(const Where& where, const std::string& problem) {
    throw tarvik_core::ValueError("malformed message: " + where.text() + " " + problem);
}

pb::DType wire_dtype(DType dtype) {
    switch (dtype) {
        case DType::Bool: return pb::DTYPE_BOOL;
        case DType::Int8: return pb::DTYPE_INT8;
        case DType::UInt8: return pb::DTYPE_UINT8;
        case DType::Int32: return pb::DTYPE_INT32;
        case DType::Int64: return pb::DTYPE_INT64;
        case DType::Float32: return pb::DTYPE_FLOAT32;
        case DType::Float64: return pb::DTYPE_FLOAT64;
    }
    return pb::DTYPE_UNSPECIFIED;
}

bool runtime_dtype(int wire, DType& out) {
    switch (wire) {
        case pb::DTYPE_BOOL: out = DType::Bool; return true;
        case pb::DTYPE_INT8: out = DType::Int8; return true;
        case pb::DTYPE_UINT8: out = DType::UInt8; return true;
        case pb::DTYPE_INT32: out = DType::Int32; return true;
        case pb::DTYPE_INT64: out = DType::Int64; return true;
        case pb::DTYPE_FLOAT32: out = DType::Float32; return true;
        case pb::DTYPE_FLOAT64: out = DType::Float64; return true;
        default: return false;
    }
}

// Copies `count` elements of `width` bytes, turning their byte order around
// on a big-endian machine; the wire is little-endian.
void copy_little_endian(void* to, const void* from, std::size_t count, std::size_t width) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(to, from, count * width);
    } else {
        auto* dst = static_cast<unsigned char*>(to);
        const auto* src = static_cast<const unsigned char*>(from);
        for (std::size_t i = 0; i < count; ++i) std::reverse_copy(src + i * width, src + (i + 1) * width, dst + i * width);
    }
}

void encode_array(const NdArray& array, pb::Array& out) {
    out.set_dtype(wire_dtype(array.dtype()));
    for (std::int64_t dim : array.shape()) out.add_shape(dim);
    const std::size_t width = tarvik_core::dtype_size(array.dtype());
    const auto count = static_cast<std::size_t>(array.size());
    std::string* data = out.mutable_data();
    data->resize(count * width);
    copy_little_endian(data->data(), array.raw_data(), count, width);
}

void encode_at(const Value& value, pb::Value& out, const Where& where, int depth);

template <class Sequence>
void encode_items(const Sequence& items, pb::Items& out, const Where& where, int depth) {
    out.mutable_items()->Reserve(static_cast<int>(items.size()));
    std::size_t i = 0;
    for (const Value& item : items) {
        const Where here{&where, nullptr, i++};
        encode_at(item, *out.add_items(), here, depth + 1);
    }
}

void encode_at(const Value& value, pb::Value& out, const Where& where, int depth) {
    if (depth > kMaxDepth)
        throw tarvik_core::ValueError("cannot send " + where.text() + ": values nest at most " +
                                      std::to_string(kMaxDepth) + " levels deep");
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                // None: no kind set.
            } else if constexpr (std::is_same_v<T, bool>) {
                out.set_bool_value(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out.set_int_value(v);
            } else if constexpr (std::is_same_v<T, double>) {
                out.set_float_value(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.set_str_value(v);
            } else if constexpr (std::is_same_v<T, NdArray>) {
                encode_array(v, *out.mutable_array());
            } else if constexpr (std::is_same_v<T, tarvik_core::List>) {
                encode_items(v, *out.mutable_list(), where, depth);
            } else if constexpr (std::is_same_v<T, tarvik_core::Tuple>) {
                encode_items(v, *out.mutable_tuple(), where, depth);
            } else if constexpr (std::is_same_v<T, tarvik_core::Dict>) {
                auto& entries = *out.mutable_dict()->mutable_entries();
                entries.Reserve(static_cast<int>(v.size()));
                for (const auto& [key, item] : v) {
                    pb::Entry& entry = *entries.Add();
                    entry.set_key(key);
                    const Where here{&where, &key};
                    encode_at(item, *entry.mutable_value(), here, depth + 1);
                }
            } else {
                throw tarvik_core::TypeError("cannot send " + where.text() + ": a " + value.type_name() +
                                             " object does not cross process boundaries");
            }
        },
        value.storage());
}

NdArray decode_array(const pb::Array& message, const Where& where) {
    DType dtype;
    if (!runtime_dtype(message.dtype(), dtype))
        malformed(where, "is an array of unknown element type " + std::to_string(message.dtype()));
    if (message.shape_size() > static_cast<int>(tarvik_core::Shape::kMaxDims))
        malformed(where, "is an array of " + std::to_string(message.shape_size()) + " dimensions (at most " +
                             std::to_string(tarvik_core::Shape::kMaxDims) + ")");
    const std::size_t width = tarvik_core::dtype_size(dtype);
    const std::size_t bytes = message.data().size();
    tarvik_core::Shape shape;
    // Checked against the bytes actually present, so that no claimed size
    // can overflow or make us allocate more than the message holds.
    std::uint64_t count = 1;
    bool overflow = false, empty = false;
    for (std::int64_t dim : message.shape()) {
        if (dim < 0) malformed(where, "is an array with a negative dimension " + std::to_string(dim));
        shape.push_back(dim);
        if (dim == 0) empty = true;
        else if (!overflow && __builtin_mul_overflow(count, static_cast<std::uint64_t>(dim), &count)) overflow = true;
    }
    if (empty) count = 0, overflow = false;
    if (overflow || count > bytes / width || count * width != bytes)
        malformed(where, "is an array of shape " + tarvik_core::shape_repr(shape) + " and type " +
                             std::string(tarvik_core::dtype_name(dtype)) + " with " + std::to_string(bytes) +
                             " bytes of data");
    NdArray array = NdArray::zeros(dtype, shape);
    if (dtype == DType::Bool) {
        // Any byte but 0 and 1 would be an invalid bool in memory.
        const auto* data = reinterpret_cast<const unsigned char*>(message.data().data());
        if (std::any_of(data, data + count, [](unsigned char b) { return b > 1; }))
            malformed(where, "is a bool array with elements other than 0 and 1");
    }
    copy_little_endian(array.mutable_raw_data(), message.data().data(), count, width);
    return array;
}

Value decode_at(const pb::Value& message, const Where& where, int depth);

std::vector<Value> decode_items(const pb::Items& message, const Where& where, int depth) {
    std::vector<Value> items;
    items.reserve(static_cast<std::size_t>(message.items_size()));
    for (int i = 0; i < message.items_size(); ++i) {
        const Where here{&where, nullptr, static_cast<std::size_t>(i)};
        items.push_back(decode_at(message.items(i), here, depth + 1));
    }
    return items;
}

tarvik_core::Dict decode_dict(const pb::Entries& message, const Where& where, int depth) {
    tarvik_core::Dict::Items entries;
    entries.reserve(static_cast<std::size_t>(message.entries_size()));
    std::unordered_set<std::string_view> seen;
    for (const pb::Entry& entry : message.entries()) {
        if (!seen.insert(entry.key()).second)
            malformed(where, "repeats the mapping key " + tarvik_core::repr(Value(entry.key())));
        const Where here{&where, &entry.key()};
        entries.emplace_back(entry.key(), decode_at(entry.value(), here, depth + 1));
    }
    return tarvik_core::Dict::from_unique(std::move(entries));
}

Value decode_at(const pb::Value& message, const Where& where, int depth) {
    if (depth > kMaxDepth) malformed(where, "nests deeper than " + std::to_string(kMaxDepth) + " levels");
    switch (message.kind_case()) {
        case pb::Value::KIND_NOT_SET: return Value();
        case pb::Value::kBoolValue: return Value(message.bool_value());
        case pb::Value::kIntValue: return Value(static_cast<std::int64_t>(message.int_value()));
        case pb::Value::kFloatValue: return Value(message.float_value());
        case pb::Value::kStrValue: return Value(message.str_value());
        case pb::Value::kArray: return Value(decode_array(message.array(), where));
        case pb::Value::kList: return Value(tarvik_core::List(decode_items(message.list(), where, depth)));
        case pb::Value::kTuple: return Value(tarvik_core::Tuple(decode_items(message.tuple(), where, depth)));
        case pb::Value::kDict: return Value(decode_dict(message.dict(), where, depth));
    }
    malformed(where, "has an unknown kind " + std::to_string(message.kind_case()));
}

}  // namespace

void encode(const Value& value, pb::Value& out) {
    out.Clear();
    encode_at(value, out, Where{}, 0);
}

Value decode(const pb::Value& message) { return decode_at(message, Where{}, 0); }

}  // namespace tarvik_remote
