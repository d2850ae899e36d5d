// Decoding one action-distribution vector into an action of any space kind:
// segment layout and offsets, first maximum, Box clipping and skipped spreads,
// kinds recognised by class name, and clean failures on vectors that are too
// short or spaces that lack an attribute.
#include <limits>

#include "actuon_support.hpp"

namespace actuon_test {

// Spaces whose class names collide with the built-in kinds but that offer
// none of their attributes, as a space from elsewhere might.
namespace lookalike {
class Bare : public sp::Space {
public:
    std::int64_t flat_dim() const override { return 0; }
    NdArray flatten_sample(const Value&) const override { return NdArray(); }
    void flatten_into(const Value&, float*) const override {}
    std::int64_t action_dist_size() const override { return 0; }
    std::string repr() const override { return type_name() + "()"; }
    bool equals(const Space&) const override { return false; }
};
class Discrete : public Bare {};
class MultiDiscrete : public Bare {};
class Box : public Bare {};
class MultiBinary : public Bare {};
class Tuple : public Bare {};
class Dict : public Bare {};
}  // namespace lookalike

// A "Box" with a shape but no element type.
namespace shaped_only {
class Box : public lookalike::Bare {
public:
    const Shape& shape() const override { return shape_; }

private:
    Shape shape_{2};
};
}  // namespace shaped_only

// A "Discrete" whose segment would end beyond the int64 range.
namespace huge {
class Discrete : public lookalike::Bare {
public:
    std::int64_t n() const override { return std::numeric_limits<std::int64_t>::max(); }
};
}  // namespace huge

namespace {

// A Discrete under another class name: another kind to the decoder.
class RenamedDiscrete : public sp::Discrete {
public:
    using Discrete::Discrete;
};

SpacePtr discrete(std::int64_t n) { return std::make_shared<sp::Discrete>(n); }
SpacePtr box(Shape shape, DType dtype = DType::Float32) {
    return std::make_shared<sp::Box>(-1.0, 1.0, shape, dtype);
}
SpacePtr multi_discrete(NdArray nvec) { return std::make_shared<sp::MultiDiscrete>(std::move(nvec)); }
SpacePtr multi_binary(Shape shape) { return std::make_shared<sp::MultiBinary>(shape); }
SpacePtr tuple(std::vector<SpacePtr> parts) { return std::make_shared<sp::Tuple>(std::move(parts)); }
SpacePtr dict(sp::SpaceEntries entries) { return std::make_shared<sp::Dict>(std::move(entries)); }
NdArray f32(std::initializer_list<float> v) { return NdArray::of<float>(v); }

struct DecodeCase {
    const char* name;
    SpacePtr space;
    NdArray vector;
    std::int64_t offset;
    Value expected;
    std::int64_t expected_offset;
};

class Decoding : public ActuonTest {
protected:
    void SetUp() override {
        ActuonTest::SetUp();
        actuon = make("skill", /*initialise=*/false);
    }
    std::shared_ptr<Actuon> actuon;
};

TEST_F(Decoding, EveryKindReadsItsSegmentAndReturnsTheOffsetPastIt) {
    const std::vector<DecodeCase> cases = {
        {"Discrete ties go to the first maximum", discrete(3), f32({0.2f, 0.9f, 0.9f}), 0, Value(1), 3},
        {"Discrete from offset 2 is relative to its segment", discrete(3), f32({9, 9, 0.1f, 0.3f, 0.2f}), 2,
         Value(1), 5},
        {"trailing entries are ignored", discrete(2), f32({0.0f, 1.0f, 7.0f, 7.0f}), 0, Value(1), 2},
        {"a short but non-empty segment still decodes", discrete(5), f32({0.1f, 0.7f}), 0, Value(1), 5},
        {"Box clips the means and skips the spreads", box(Shape{2}), f32({1.5f, -0.3f, 0.7f, 0.1f}), 0,
         f32({1.0f, -0.3f}), 4},
        {"Box (2, 2) is built row-major from the first four", box(Shape{2, 2}),
         f32({0.1f, 0.2f, -3.0f, 0.4f, 9, 9, 9, 9}), 0,
         NdArray::from_vector<float>({0.1f, 0.2f, -1.0f, 0.4f}, Shape{2, 2}), 8},
        {"Box converts to its own element type", box(Shape{1}, DType::Float64), f32({0.5f, 0.0f}), 0,
         NdArray::of<double>({0.5}), 2},
        {"MultiDiscrete blocks", multi_discrete(NdArray::of<std::int64_t>({2, 3})), f32({0.1f, 0.2f, 3.0f, 1.0f, 3.0f}),
         0, NdArray::of<std::int64_t>({1, 0}), 5},
        {"MultiDiscrete keeps the shape of nvec",
         multi_discrete(NdArray::from_vector<std::int64_t>({2, 2, 3, 1}, Shape{2, 2})),
         f32({0, 1, 1, 0, 0, 0, 5, 4}), 0, NdArray::from_vector<std::int64_t>({1, 0, 2, 0}, Shape{2, 2}), 8},
        {"MultiBinary is strictly greater than 0", multi_binary(Shape{3}), f32({0.5f, 0.0f, -1.0f}), 0,
         NdArray::of<std::int8_t>({1, 0, 0}), 3},
        {"Tuple threads the offset through its parts", tuple({discrete(2), box(Shape{1})}),
         f32({0.3f, 0.1f, 0.7f, -2.0f}), 0, Value(Tuple{Value(0), Value(f32({0.7f}))}), 4},
        {"Dict follows the mapping's order, not sorted keys",
         dict({{"b", discrete(2)}, {"a", discrete(2)}}), f32({0.0f, 1.0f, 1.0f, 0.0f}), 0,
         Value(Dict{{"b", 1}, {"a", 0}}), 4},
        {"a renamed Discrete takes the rest as float32", std::make_shared<RenamedDiscrete>(2),
         NdArray::of<double>({4.0, 0.5, 0.25}), 1, f32({0.5f, 0.25f}), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [action, offset] = actuon->_decode_action_dist_inputs(c.vector, c.space, c.offset);
        EXPECT_TRUE(same_action(action, c.expected));
        EXPECT_EQ(offset, c.expected_offset);
    }
}

struct FailureCase {
    const char* name;
    SpacePtr space;
    NdArray vector;
    std::int64_t offset;
    std::string kind;
    std::string message;
};

TEST_F(Decoding, ShortVectorsAndMissingAttributesFailCleanly) {
    const std::string empty_argmax = "attempt to get argmax of an empty sequence";
    const std::string no_attr = "AttributeError";
    const NdArray four = f32({0.5f, 0.5f, 0.5f, 0.5f});
    const std::vector<FailureCase> cases = {
        {"empty vector", discrete(3), f32({}), 0, "ValueError", empty_argmax},
        {"offset beyond the end", discrete(2), f32({1, 2, 3}), 1000, "ValueError", empty_argmax},
        {"second MultiDiscrete block missing", multi_discrete(NdArray::of<std::int64_t>({2, 2})), f32({0.1f, 0.9f}), 0,
         "ValueError", empty_argmax},
        {"second Tuple part missing", tuple({discrete(2), discrete(2)}), f32({0.5f, 0.1f}), 0, "ValueError",
         empty_argmax},
        {"Box means cut short", box(Shape{2}), f32({0.5f}), 0, "ValueError",
         "cannot reshape array of size 1 into shape (2,)"},
        {"Box (2, 2) means cut short", box(Shape{2, 2}), f32({9, 0.1f, 0.2f, 0.3f}), 1, "ValueError",
         "cannot reshape array of size 3 into shape (2, 2)"},
        {"MultiBinary cut short", multi_binary(Shape{3}), f32({1, 2}), 0, "ValueError",
         "cannot reshape array of size 2 into shape (3,)"},
        {"Dict part cut short", dict({{"a", discrete(1)}, {"b", multi_binary(Shape{2})}}), f32({1, 1}), 0,
         "ValueError", "cannot reshape array of size 1 into shape (2,)"},
        {"after a rest-of-vector kind, the sibling's segment is empty",
         tuple({std::make_shared<RenamedDiscrete>(2), discrete(2)}), f32({1, 2, 3}), 0, "ValueError", empty_argmax},
        {"zero-dimensional vector", discrete(2), NdArray::scalar(DType::Float32, 1.0), 0, "IndexError",
         "too many indices for array: array is 0-dimensional"},
        {"segment end overflows", std::make_shared<huge::Discrete>(), four, 1, "OverflowError",
         "action segment of length 9223372036854775807 at offset 1 ends beyond the int64 range"},
        {"no n", std::make_shared<lookalike::Discrete>(), four, 0, no_attr, "'Discrete' object has no attribute 'n'"},
        {"no nvec", std::make_shared<lookalike::MultiDiscrete>(), four, 0, no_attr,
         "'MultiDiscrete' object has no attribute 'nvec'"},
        {"no shape", std::make_shared<lookalike::Box>(), four, 0, no_attr, "'Box' object has no attribute 'shape'"},
        {"no dtype", std::make_shared<shaped_only::Box>(), four, 0, no_attr, "'Box' object has no attribute 'dtype'"},
        {"no shape either", std::make_shared<lookalike::MultiBinary>(), four, 0, no_attr,
         "'MultiBinary' object has no attribute 'shape'"},
        {"no sequence", std::make_shared<lookalike::Tuple>(), four, 0, no_attr, "'Tuple' object has no attribute 'spaces'"},
        {"no mapping", std::make_shared<lookalike::Dict>(), four, 0, no_attr, "'Dict' object has no attribute 'spaces'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            actuon->_decode_action_dist_inputs(c.vector, c.space, c.offset);
            ADD_FAILURE() << "expected " << c.kind;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

// Records every level it is asked to decode, then decodes as usual.
class RecordingActuon : public Actuon {
public:
    using Actuon::Actuon;
    std::vector<std::string> visits;
    std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& v, const SpacePtr& space,
                                                              std::int64_t offset = 0) override {
        visits.push_back(_space_type_name(*space) + "@" + std::to_string(offset));
        return Actuon::_decode_action_dist_inputs(v, space, offset);
    }
};

TEST_F(Decoding, AnOverrideSeesEveryNestedLevel) {
    auto recording = make<RecordingActuon>("skill", false);
    auto space = tuple({discrete(2), dict({{"x", box(Shape{1})}, {"w", multi_binary(Shape{2})}})});
    auto [action, offset] = recording->_decode_action_dist_inputs(f32({0, 1, 0.5f, 0, 1, -1}), space);
    EXPECT_EQ(recording->visits,
              (std::vector<std::string>{"Tuple@0", "Discrete@0", "Dict@2", "Box@2", "MultiBinary@4"}));
    EXPECT_EQ(offset, 6);
    EXPECT_TRUE(same_action(action, Value(Tuple{Value(1), Value(Dict{{"x", f32({0.5f})},
                                                                      {"w", NdArray::of<std::int8_t>({1, 0})}})})));
}

}  // namespace
}  // namespace actuon_test
