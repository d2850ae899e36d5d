// Values on the wire: every kind survives the round trip exactly (through
// serialised bytes, as a peer would see them), and malformed messages from a
// peer are refused with a message that says where and what.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_remote.pb.h"
#include "tarvik_remote/value_codec.hpp"

namespace {

using namespace tarvik_core;
using tarvik_test::expect_error;
namespace pb = tarvik::remote::v1;

// "[0][0]...": the path to the innermost of `levels` nested first items.
std::string first_items(int levels) {
    std::string path;
    for (int i = 0; i < levels; ++i) path += "[0]";
    return path;
}

Value through_the_wire(const Value& value) {
    pb::Value message;
    tarvik_remote::encode(value, message);
    pb::Value received;
    EXPECT_TRUE(received.ParseFromString(message.SerializeAsString()));
    return tarvik_remote::decode(received);
}

// Same kind all the way down, same dtype, same bytes (so NaN and -0.0 count).
bool identical(const Value& a, const Value& b) {
    if (a.storage().index() != b.storage().index()) return false;
    if (a.is_float()) return std::memcmp(&std::get<double>(a.storage()), &std::get<double>(b.storage()), 8) == 0;
    if (a.is_array()) {
        const NdArray &x = a.as_array(), &y = b.as_array();
        return x.dtype() == y.dtype() && x.shape() == y.shape() &&
               std::memcmp(x.raw_data(), y.raw_data(), x.size() * dtype_size(x.dtype())) == 0;
    }
    auto same_items = [](const auto& p, const auto& q) {
        if (p.size() != q.size()) return false;
        for (std::size_t i = 0; i < p.size(); ++i)
            if (!identical(p[i], q[i])) return false;
        return true;
    };
    if (a.is_list()) return same_items(a.as_list(), b.as_list());
    if (a.is_tuple()) return same_items(a.as_tuple(), b.as_tuple());
    if (a.is_dict()) {
        const auto &p = a.as_dict().items(), &q = b.as_dict().items();
        if (p.size() != q.size()) return false;
        for (std::size_t i = 0; i < p.size(); ++i)
            if (p[i].first != q[i].first || !identical(p[i].second, q[i].second)) return false;
        return true;
    }
    return a == b;
}

TEST(WireValues, EveryKindCrossesExactly) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Dict ordered;  // insertion order, not sorted order
    ordered.set("zeta", 1);
    ordered.set("alpha", Tuple{Value(), List{}});
    ordered.set(std::string("nul\0key", 7), std::string("\xff\xfe bytes", 8));
    const std::vector<std::pair<const char*, Value>> cases = {
        {"None", Value()},
        {"bools", Tuple{true, false}},
        {"int extremes", List{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), 0}},
        {"floats", List{nan, -0.0, std::numeric_limits<double>::infinity(), 0.1, 5e-324}},
        {"empty string", Value("")},
        {"float32 matrix", NdArray::from_vector<float>({1.5f, -2.25f, 3e38f, 1e-45f, 0.f, 7.f}, Shape{2, 3})},
        {"float64 vector", NdArray::of<double>({0.1, nan})},
        {"int8", NdArray::of<std::int8_t>({-128, 127})},
        {"uint8", NdArray::of<std::uint8_t>({0, 255})},
        {"int32", NdArray::of<std::int32_t>({std::numeric_limits<std::int32_t>::min(), 3})},
        {"int64", NdArray::of<std::int64_t>({std::numeric_limits<std::int64_t>::max()})},
        {"bool array", NdArray::of<bool>({true, false, true})},
        {"zero-dimensional", NdArray::scalar(DType::Float32, 2.5)},
        {"empty array", NdArray::zeros(DType::Int64, Shape{0, 3})},
        {"mapping in order", ordered},
        {"list vs tuple", List{Tuple{1}, List{1}, Tuple{}}},
    };
    for (const auto& [label, value] : cases) {
        SCOPED_TRACE(label);
        EXPECT_TRUE(identical(through_the_wire(value), value)) << repr(through_the_wire(value));
    }
}

TEST(WireValues, ObjectsAndRunawayNestingAreRefusedOnTheWayOut) {
    Dict obs;
    obs.set("sensors", List{1, Value(std::make_shared<Object>())});
    pb::Value out;
    expect_error([&] { tarvik_remote::encode(obs, out); }, "TypeError",
                 "cannot send value['sensors'][1]: a Object object does not cross process boundaries");
    Value deep = 1;
    for (int i = 0; i < tarvik_remote::kMaxDepth + 1; ++i) deep = List{deep};
    expect_error([&] { tarvik_remote::encode(deep, out); }, "ValueError",
                 "cannot send value" + first_items(tarvik_remote::kMaxDepth + 1) + ": values nest at most 64 levels deep");
}

TEST(WireValues, MalformedMessagesAreRefusedWithWhereAndWhat) {
    auto array = [](int dtype, std::vector<std::int64_t> shape, std::string data) {
        pb::Value v;
        auto* a = v.mutable_array();
        a->set_dtype(static_cast<pb::DType>(dtype));
        for (auto d : shape) a->add_shape(d);
        a->set_data(std::move(data));
        return v;
    };
    auto in_dict = [](pb::Value inner) {
        pb::Value v;
        auto* e = v.mutable_dict()->add_entries();
        e->set_key("obs");
        *e->mutable_value() = std::move(inner);
        return v;
    };
    pb::Value repeated_key;
    for (int i = 0; i < 2; ++i) repeated_key.mutable_dict()->add_entries()->set_key("a");
    pb::Value too_deep;
    pb::Value* at = &too_deep;
    for (int i = 0; i < tarvik_remote::kMaxDepth + 1; ++i) at = at->mutable_list()->add_items();

    const std::string prefix = "malformed message: ";
    const std::vector<std::pair<pb::Value, std::string>> cases = {
        {array(0, {1}, "x"), "value is an array of unknown element type 0"},
        {array(99, {1}, "x"), "value is an array of unknown element type 99"},
        {in_dict(array(pb::DTYPE_FLOAT32, {3}, std::string(5, '\0'))),
         "value['obs'] is an array of shape (3,) and type float32 with 5 bytes of data"},
        {array(pb::DTYPE_INT64, {-1}, ""), "value is an array with a negative dimension -1"},
        {array(pb::DTYPE_UINT8, std::vector<std::int64_t>(33, 1), "x"), "value is an array of 33 dimensions (at most 32)"},
        // A claimed size beyond any memory, with almost no bytes behind it.
        {array(pb::DTYPE_FLOAT64, {1 << 30, 1 << 30, 1 << 30}, std::string(8, '\0')),
         "value is an array of shape (1073741824, 1073741824, 1073741824) and type float64 with 8 bytes of data"},
        {array(pb::DTYPE_BOOL, {2}, std::string("\x01\x02", 2)), "value is a bool array with elements other than 0 and 1"},
        {repeated_key, "value repeats the mapping key 'a'"},
        {too_deep, "value" + first_items(tarvik_remote::kMaxDepth + 1) + " nests deeper than 64 levels"},
    };
    for (const auto& [message, problem] : cases) {
        SCOPED_TRACE(problem);
        expect_error([&] { tarvik_remote::decode(message); }, "ValueError", prefix + problem);
    }
}

}  // namespace
