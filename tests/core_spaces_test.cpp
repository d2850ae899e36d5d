// Spaces: flat layouts per kind (one-hot blocks, row-major elements, parts in
// order), flat bounds, action-distribution and mask sizes, the text forms that
// messages embed, construction and sample errors, attribute errors, and the
// kind being the class's own name.
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/spaces.hpp"

using namespace tarvik_core;
using spaces::SpacePtr;
using testing::StrEq;
using testing::ThrowsMessage;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

SpacePtr discrete(std::int64_t n, std::int64_t start = 0) { return std::make_shared<spaces::Discrete>(n, start); }
SpacePtr box(double low, double high, Shape shape, DType dtype = DType::Float32) {
    return std::make_shared<spaces::Box>(low, high, shape, dtype);
}
SpacePtr tuple_of(std::vector<SpacePtr> parts) { return std::make_shared<spaces::Tuple>(std::move(parts)); }
SpacePtr dict_of(spaces::SpaceEntries entries) { return std::make_shared<spaces::Dict>(std::move(entries)); }

std::vector<float> floats(const NdArray& a) {
    const auto v = a.values<float>();
    return {v.begin(), v.end()};
}

// A kind of its own: derived from Discrete but named differently.
class RenamedDiscrete : public spaces::Discrete {
public:
    using Discrete::Discrete;
};

}  // namespace

// Same name as the built-in class, in another namespace: the same kind.
namespace other_library {
class Discrete : public tarvik_core::spaces::Discrete {
public:
    using tarvik_core::spaces::Discrete::Discrete;
};
}  // namespace other_library

namespace {

// ---------------------------------------------------------------- flattening

struct FlatCase {
    const char* name;
    SpacePtr space;
    Value sample;
    std::vector<float> expected;
};

TEST(SpaceFlattening, EachKindLaysOutItsFlatVector) {
    const NdArray grid = NdArray::from_vector<double>({1.5, -2.0, 3.25, 4.0}, Shape{2, 2});
    const std::vector<FlatCase> cases = {
        {"discrete one-hot", discrete(3), 1, {0, 1, 0}},
        {"discrete with start is shifted", discrete(3, 5), 7, {0, 0, 1}},
        {"discrete from one-element int array", discrete(4), NdArray::of<std::int64_t>({3}), {0, 0, 0, 1}},
        {"multidiscrete one block per component",
         std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2, 3}), List{1, 2}, {0, 1, 0, 0, 1}},
        {"multidiscrete 2-D nvec is row-major",
         std::make_shared<spaces::MultiDiscrete>(NdArray::from_vector<std::int64_t>({2, 3, 1, 2}, Shape{2, 2})),
         NdArray::from_vector<std::int64_t>({0, 2, 0, 1}, Shape{2, 2}),
         {1, 0, 0, 0, 1, 1, 0, 1}},
        {"box row-major from float64 array", box(-5, 5, Shape{2, 2}), grid, {1.5f, -2.0f, 3.25f, 4.0f}},
        {"box from nested list", box(-5, 5, Shape{2, 2}), List{List{1, 2}, List{3, 4}}, {1, 2, 3, 4}},
        {"box from a number", box(-5, 5, Shape{1}), 2.5, {2.5f}},
        {"box accepts another shape with the same count", box(-5, 5, Shape{4}), grid, {1.5f, -2.0f, 3.25f, 4.0f}},
        {"multibinary values", std::make_shared<spaces::MultiBinary>(3), NdArray::of<std::int8_t>({1, 0, 1}), {1, 0, 1}},
        {"tuple parts in order", tuple_of({discrete(2), box(-1, 1, Shape{1})}), Tuple{1, List{0.5}}, {0, 1, 0.5f}},
        {"tuple accepts a list", tuple_of({discrete(2), discrete(2)}), List{0, 1}, {1, 0, 0, 1}},
        {"dict follows the space's order, not the sample's",
         dict_of({{"b", discrete(2)}, {"a", box(-1, 1, Shape{1})}}),
         Dict{{"a", List{0.25}}, {"b", 1}, {"unused", "ignored"}},
         {0, 1, 0.25f}},
        {"nested composites",
         dict_of({{"t", tuple_of({discrete(2), std::make_shared<spaces::MultiBinary>(2)})}, {"d", discrete(3)}}),
         Dict{{"t", Tuple{0, List{1, 1}}}, {"d", 2}},
         {1, 0, 1, 1, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NdArray flat = c.space->flatten_sample(c.sample);
        EXPECT_EQ(flat.dtype(), DType::Float32);
        EXPECT_EQ(flat.shape(), Shape{c.space->flat_dim()});
        EXPECT_EQ(floats(flat), c.expected);
    }
}

TEST(SpaceFlattening, FlattenIntoOverwritesEveryEntryOfItsRange) {
    // Callers reuse buffers: stale values inside the range must not survive,
    // and nothing outside it may be touched.
    const SpacePtr space = dict_of({{"d", discrete(3)}, {"m", std::make_shared<spaces::MultiBinary>(2)}});
    std::vector<float> buffer(7, 9.0f);
    space->flatten_into(Dict{{"d", 0}, {"m", List{0, 1}}}, buffer.data() + 1);
    EXPECT_EQ(buffer, (std::vector<float>{9, 1, 0, 0, 0, 1, 9}));
}

TEST(SpaceFlattening, BoxKeepsValuesBeyondFloatRangeDefined) {
    const NdArray flat = box(-kInf, kInf, Shape{2})->flatten_sample(NdArray::of<double>({1e300, -1e300}));
    EXPECT_EQ(flat.values<float>()[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(flat.values<float>()[1], -std::numeric_limits<float>::infinity());
}

TEST(SpaceFlattening, SampleErrorsNameTheSpaceAndValue) {
    const SpacePtr md = std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2, 3});
    const SpacePtr mb = std::make_shared<spaces::MultiBinary>(3);
    const SpacePtr tup = tuple_of({discrete(2), discrete(2)});
    const SpacePtr dct = dict_of({{"a", discrete(2)}, {"b", discrete(2)}});
    EXPECT_THAT([&] { discrete(3)->flatten_sample(3); },
                ThrowsMessage<ValueError>(StrEq("sample 3 is outside Discrete(3): expected 0 <= sample < 3")));
    EXPECT_THAT([&] { discrete(3, 1)->flatten_sample(0); },
                ThrowsMessage<ValueError>(
                    StrEq("sample 0 is outside Discrete(3, start=1): expected 1 <= sample < 4")));
    EXPECT_THAT([&] { discrete(3)->flatten_sample(1.0); },
                ThrowsMessage<ValueError>(StrEq("Discrete(3) expects an int sample, got float 1.0")));
    EXPECT_THAT([&] { discrete(3)->flatten_sample(NdArray::of<std::int64_t>({1, 2})); },
                ThrowsMessage<ValueError>(StrEq("Discrete(3) expects an int sample, got ndarray array([1, 2])")));
    EXPECT_THAT([&] { md->flatten_sample(List{1, 3}); },
                ThrowsMessage<ValueError>(
                    StrEq("MultiDiscrete([2 3]) sample [1 3] has component 1 = 3, outside 0 <= x < 3")));
    EXPECT_THAT([&] { md->flatten_sample(List{1}); },
                ThrowsMessage<ValueError>(StrEq("MultiDiscrete([2 3]) expects a sample of 2 values, got 1")));
    EXPECT_THAT([&] { box(-1, 1, Shape{2})->flatten_sample(List{1, 2, 3}); },
                ThrowsMessage<ValueError>(StrEq("Box(-1.0, 1.0, (2,), float32) expects a sample of 2 values, got 3")));
    EXPECT_THAT([&] { box(-1, 1, Shape{2})->flatten_sample("ab"); },
                ThrowsMessage<TypeError>(
                    StrEq("Box(-1.0, 1.0, (2,), float32) expects a number, list or array sample, got str")));
    EXPECT_THAT([&] { mb->flatten_sample(List{0, 2, 1}); },
                ThrowsMessage<ValueError>(
                    StrEq("MultiBinary(3) sample [0 2 1] holds 2 at position 1; only 0 and 1 are allowed")));
    EXPECT_THAT([&] { tup->flatten_sample(Tuple{1}); },
                ThrowsMessage<ValueError>(
                    StrEq("Tuple(Discrete(2), Discrete(2)) expects a sample of 2 parts, got 1")));
    EXPECT_THAT([&] { tup->flatten_sample(Dict{}); },
                ThrowsMessage<TypeError>(
                    StrEq("Tuple(Discrete(2), Discrete(2)) expects a tuple or list sample, got dict")));
    EXPECT_THAT([&] { dct->flatten_sample(Dict{{"a", 1}}); },
                ThrowsMessage<KeyError>(
                    StrEq("sample for Dict('a': Discrete(2), 'b': Discrete(2)) has no key 'b'")));
    EXPECT_THAT([&] { dct->flatten_sample(List{}); },
                ThrowsMessage<TypeError>(
                    StrEq("Dict('a': Discrete(2), 'b': Discrete(2)) expects a mapping sample, got list")));
}

// ---------------------------------------------------------------- flat space

TEST(SpaceFlatSpace, BoundsAreIndicatorsForDiscreteKindsAndBoxBoundsForBoxes) {
    const SpacePtr space = dict_of({
        {"d", discrete(2)},
        {"b", std::make_shared<spaces::Box>(NdArray::of<double>({-1, -kInf}), NdArray::of<double>({2, 3}))},
        {"m", std::make_shared<spaces::MultiBinary>(1)},
    });
    const SpacePtr flat = space->flatten();
    ASSERT_EQ(flat->type_name(), "Box");
    const auto& fbox = static_cast<const spaces::Box&>(*flat);
    EXPECT_EQ(fbox.dtype(), DType::Float32);
    EXPECT_EQ(fbox.shape(), Shape{5});
    EXPECT_TRUE(fbox.low().equals(NdArray::of<double>({0, 0, -1, -kInf, 0})));
    EXPECT_TRUE(fbox.high().equals(NdArray::of<double>({1, 1, 2, 3, 1})));
    EXPECT_FALSE(fbox.is_bounded());
}

// ---------------------------------------------------------------- masks

TEST(SpaceMasks, MaskLengthIsTheActionDistributionLength) {
    struct Case {
        SpacePtr space;
        std::int64_t dist;
    };
    const std::vector<Case> cases = {
        {discrete(3), 3},
        {std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2, 3}), 5},
        {box(-1, 1, Shape{2, 2}), 8},  // means then spreads
        {std::make_shared<spaces::MultiBinary>(Shape{2, 3}), 6},
        {tuple_of({discrete(2), box(-1, 1, Shape{1})}), 4},
        {dict_of({{"a", discrete(2)}, {"b", tuple_of({discrete(3)})}}), 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.space->repr());
        EXPECT_EQ(c.space->action_dist_size(), c.dist);
        const SpacePtr mask_space = c.space->get_action_mask_space();
        EXPECT_EQ(mask_space->repr(), "MultiBinary(" + std::to_string(c.dist) + ")");
        EXPECT_EQ(mask_space->flatten()->flat_dim(), c.dist);
        const NdArray allow_all = c.space->get_no_action_mask();
        EXPECT_EQ(allow_all.dtype(), DType::Int8);
        EXPECT_TRUE(allow_all.equals(NdArray::ones(DType::Int8, Shape{c.dist})));
    }
}

// ---------------------------------------------------------------- text forms

TEST(SpaceRepr, TextFormsOfEveryKind) {
    const std::vector<std::pair<SpacePtr, std::string>> cases = {
        {discrete(3), "Discrete(3)"},
        {discrete(3, -1), "Discrete(3, start=-1)"},
        {box(-1, 1, Shape{2}), "Box(-1.0, 1.0, (2,), float32)"},
        {box(0, 0.1, Shape{2}), "Box(0.0, 0.1, (2,), float32)"},
        {box(-kInf, kInf, Shape{}, DType::Float64), "Box(-inf, inf, (), float64)"},
        {box(0.5, 3.7, Shape{1}, DType::Int64), "Box(1, 3, (1,), int64)"},
        {std::make_shared<spaces::Box>(NdArray::of<double>({-1, -2}), NdArray::of<double>({1, 2})),
         "Box([-1. -2.], [1. 2.], (2,), float32)"},
        {std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2, 3}), "MultiDiscrete([2 3])"},
        {std::make_shared<spaces::MultiBinary>(3), "MultiBinary(3)"},
        {std::make_shared<spaces::MultiBinary>(Shape{2, 3}), "MultiBinary((2, 3))"},
        {tuple_of({discrete(2), box(-1, 1, Shape{1})}), "Tuple(Discrete(2), Box(-1.0, 1.0, (1,), float32))"},
        {dict_of({{"a", discrete(2)}, {"b", tuple_of({})}}), "Dict('a': Discrete(2), 'b': Tuple())"},
    };
    for (const auto& [space, text] : cases) EXPECT_EQ(space->repr(), text);
    EXPECT_EQ(spaces::repr(nullptr), "None");
}

// ---------------------------------------------------------------- construction

TEST(SpaceConstruction, InvalidArgumentsAreValueErrors) {
    using spaces::SpaceEntries;
    EXPECT_THAT([] { spaces::Discrete(0); }, ThrowsMessage<ValueError>(StrEq("Discrete space needs n >= 1, got 0")));
    EXPECT_THAT([] { spaces::MultiDiscrete(std::vector<std::int64_t>{2, 0}); },
                ThrowsMessage<ValueError>(StrEq("MultiDiscrete nvec entries must be >= 1, got [2 0]")));
    EXPECT_THAT([] { spaces::MultiDiscrete(NdArray::of<double>({2.5})); },
                ThrowsMessage<ValueError>(StrEq("MultiDiscrete nvec must hold whole numbers, got [2.5]")));
    EXPECT_THAT([] { spaces::Box(1, -1, Shape{2}); },
                ThrowsMessage<ValueError>(
                    StrEq("Box low must not exceed high: low 1.0 > high -1.0 at position 0 (float32)")));
    EXPECT_THAT([] { spaces::Box(0.2, 0.8, Shape{1}, DType::Int64); },
                ThrowsMessage<ValueError>(
                    StrEq("Box low must not exceed high: low 1.0 > high 0.0 at position 0 (int64)")));
    EXPECT_THAT([] { spaces::Box(std::nan(""), 1, Shape{1}); },
                ThrowsMessage<ValueError>(StrEq("Box bounds must not be NaN")));
    EXPECT_THAT([] { spaces::Box(NdArray::of<double>({0, 0}), NdArray::of<double>({1, 1, 1})); },
                ThrowsMessage<ValueError>(StrEq("Box low has shape (2,) but high has shape (3,)")));
    EXPECT_THAT([] { spaces::Box(0, 1, Shape{2, -1}); },
                ThrowsMessage<ValueError>(StrEq("Box shape (2, -1) has a negative dimension")));
    EXPECT_THAT([] { spaces::Dict(SpaceEntries{{"a", discrete(2)}, {"a", discrete(3)}}); },
                ThrowsMessage<ValueError>(StrEq("Dict space has the key 'a' twice")));
    EXPECT_THAT([] { spaces::Dict(SpaceEntries{{"a", nullptr}}); },
                ThrowsMessage<ValueError>(StrEq("Dict space entry 'a' is None")));
    EXPECT_THAT([] { spaces::Tuple({discrete(2), nullptr}); },
                ThrowsMessage<ValueError>(StrEq("Tuple space entry 1 is None")));
}

// Sizes at the limit are spaces; one entry more is refused before anything
// of that size exists, whichever length (elements, flat sample, mask) is over.
TEST(SpaceConstruction, EveryLengthOfASpaceStaysWithinTheLimit) {
    constexpr std::int64_t kLimit = spaces::kMaxSpaceEntries;
    const SpacePtr big = std::make_shared<spaces::MultiBinary>(Shape{4096, 4096});
    EXPECT_EQ(big->flat_dim(), kLimit);
    EXPECT_EQ(discrete(kLimit)->flat_dim(), kLimit);
    EXPECT_EQ(tuple_of({big})->get_no_action_mask().size(), kLimit);

    // Claims a mask of one entry more than its flat size.
    class WideDiscrete : public spaces::Discrete {
    public:
        WideDiscrete() : Discrete(kLimit) {}
        std::int64_t action_dist_size() const override { return kLimit + 1; }
    };
    const std::string limit = "; a space may have at most 16777216 entries";
    struct Case { const char* label; std::function<void()> make; std::string message; };
    const std::vector<Case> cases = {
        {"Discrete", [&] { spaces::Discrete(kLimit + 1); },
         "Discrete space n 16777217 is too large (its one-hot form and its mask have n entries)" + limit},
        {"MultiBinary", [] { spaces::MultiBinary(Shape{4097, 4096}); },
         "MultiBinary shape (4097, 4096) has 16781312 elements" + limit},
        {"Box", [] { spaces::Box(0, 1, Shape{1 << 12, 1 << 12, 2}); },
         "Box shape (4096, 4096, 2) has 33554432 elements" + limit},
        {"MultiDiscrete", [&] { spaces::MultiDiscrete(std::vector<std::int64_t>{kLimit, 1}); },
         "MultiDiscrete nvec sums to 16777217, the length of its one-hot form and its mask" + limit},
        {"Tuple", [&] { spaces::Tuple({big, discrete(1)}); }, "Tuple space has a flat size of 16777217" + limit},
        {"Dict", [&] { spaces::Dict({{"a", big}, {"b", discrete(1)}}); }, "Dict space has a flat size of 16777217" + limit},
        {"mask", [] { WideDiscrete().get_action_mask_space(); },
         "WideDiscrete space of flat size 16777216 needs an action mask of 16777217 entries (one per "
         "action-distribution entry)" + limit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THAT(c.make, ThrowsMessage<ValueError>(StrEq(c.message)));
    }
}

TEST(SpaceConstruction, BoundsAreCopiedNotShared) {
    NdArray low = NdArray::of<double>({-1, -1});
    NdArray high = NdArray::of<double>({1, 1});
    const spaces::Box b(low, high, DType::Float64);
    low.mutable_data<double>()[0] = -100;
    high.mutable_data<double>()[0] = 100;
    EXPECT_EQ(b.low().item(0), -1);
    EXPECT_EQ(b.high().item(0), 1);
}

TEST(SpaceConstruction, Float32BoundsAreHeldAtFloat32Precision) {
    // The clip in unsquashing compares float32 results with these bounds.
    const spaces::Box b(0.0, 0.1, Shape{1});
    EXPECT_EQ(b.high().item(0), static_cast<double>(0.1f));
    EXPECT_TRUE(b.is_bounded());
}

// ---------------------------------------------------------------- attributes

TEST(SpaceAttributes, MissingAttributesRaiseAttributeError) {
    const SpacePtr d = discrete(2);
    const SpacePtr b = box(0, 1, Shape{1});
    const SpacePtr t = tuple_of({d});
    const SpacePtr m = dict_of({{"a", d}});
    EXPECT_THAT([&] { d->nvec(); }, ThrowsMessage<AttributeError>(StrEq("'Discrete' object has no attribute 'nvec'")));
    EXPECT_THAT([&] { b->n(); }, ThrowsMessage<AttributeError>(StrEq("'Box' object has no attribute 'n'")));
    EXPECT_THAT([&] { t->shape(); }, ThrowsMessage<AttributeError>(StrEq("'Tuple' object has no attribute 'shape'")));
    EXPECT_THAT([&] { m->dtype(); }, ThrowsMessage<AttributeError>(StrEq("'Dict' object has no attribute 'dtype'")));
    EXPECT_THAT([&] { d->mapping_spaces(); },
                ThrowsMessage<AttributeError>(StrEq("'Discrete' object has no attribute 'spaces'")));
    EXPECT_THAT([&] { std::make_shared<RenamedDiscrete>(2)->sequence_spaces(); },
                ThrowsMessage<AttributeError>(StrEq("'RenamedDiscrete' object has no attribute 'spaces'")));
    EXPECT_EQ(d->shape(), Shape{});
    EXPECT_EQ(d->dtype(), DType::Int64);
    EXPECT_EQ(std::make_shared<spaces::MultiBinary>(2)->dtype(), DType::Int8);
}

// ---------------------------------------------------------------- kinds

TEST(SpaceKinds, KindIsTheClassOwnName) {
    const auto renamed = std::make_shared<RenamedDiscrete>(3);
    const auto same_name = std::make_shared<other_library::Discrete>(3);
    EXPECT_EQ(renamed->type_name(), "RenamedDiscrete");
    EXPECT_EQ(spaces::kind_of(*renamed), spaces::Kind::Other);
    EXPECT_EQ(same_name->type_name(), "Discrete");
    EXPECT_EQ(spaces::kind_of(*same_name), spaces::Kind::Discrete);
    // Flattening is the class's behaviour, so the subclass still flattens.
    EXPECT_EQ(floats(renamed->flatten_sample(2)), (std::vector<float>{0, 0, 1}));

    const std::vector<std::pair<SpacePtr, spaces::Kind>> builtin = {
        {discrete(2), spaces::Kind::Discrete},
        {std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2}), spaces::Kind::MultiDiscrete},
        {box(0, 1, Shape{1}), spaces::Kind::Box},
        {std::make_shared<spaces::MultiBinary>(1), spaces::Kind::MultiBinary},
        {tuple_of({}), spaces::Kind::Tuple},
        {dict_of({}), spaces::Kind::Dict},
    };
    for (const auto& [space, kind] : builtin) {
        SCOPED_TRACE(space->repr());
        EXPECT_EQ(spaces::kind_of(*space), kind);
    }
}

TEST(SpaceEquality, ComparesKindParametersAndOrder) {
    EXPECT_TRUE(discrete(3)->equals(*discrete(3)));
    EXPECT_FALSE(discrete(3)->equals(*discrete(4)));
    EXPECT_FALSE(discrete(3)->equals(*discrete(3, 1)));
    EXPECT_FALSE(discrete(3)->equals(RenamedDiscrete(3)));
    EXPECT_FALSE(RenamedDiscrete(3).equals(*discrete(3)));
    EXPECT_TRUE(box(-1, 1, Shape{2})->equals(*box(-1, 1, Shape{2})));
    EXPECT_FALSE(box(-1, 1, Shape{2})->equals(*box(-1, 2, Shape{2})));
    EXPECT_FALSE(box(-1, 1, Shape{2})->equals(*box(-1, 1, Shape{2}, DType::Float64)));
    EXPECT_FALSE(box(-1, 1, Shape{2})->equals(*box(-1, 1, Shape{1, 2})));
    EXPECT_TRUE(dict_of({{"a", discrete(2)}, {"b", discrete(3)}})->equals(*dict_of({{"a", discrete(2)}, {"b", discrete(3)}})));
    EXPECT_FALSE(dict_of({{"a", discrete(2)}, {"b", discrete(3)}})->equals(*dict_of({{"b", discrete(3)}, {"a", discrete(2)}})))
        << "order decides the flat layout, so it is part of equality";
    EXPECT_FALSE(tuple_of({discrete(2)})->equals(*tuple_of({discrete(2), discrete(2)})));
    EXPECT_FALSE(discrete(2)->equals(*std::make_shared<spaces::MultiBinary>(2)));
}

}  // namespace
