// NdArray: the array semantics the mask, decoding and orchestrator code rely
// on: views versus copies, row-major layout, promotion, first-maximum ties,
// reductions and safe conversions.
#include <cmath>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

using namespace tarvik_core;

namespace {

std::vector<double> values_of(const NdArray& a) {
    std::vector<double> out;
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.item(i));
    return out;
}

TEST(ArrayCopies, AstypeToSameTypeIsTheSameArray) {
    NdArray a = NdArray::of<double>({1, 0, 1});
    NdArray b = a.astype(DType::Float64);
    EXPECT_TRUE(b.is(a));
    NdArray c = a.astype(DType::Float32);
    EXPECT_FALSE(c.shares_memory_with(a));
    EXPECT_EQ(c.dtype(), DType::Float32);
}

TEST(ArrayCopies, ViewsShareTheBufferAndCopiesDoNot) {
    NdArray a = NdArray::of<float>({1, 2, 3, 4, 5, 6});
    NdArray m = a.reshape(Shape{2, 3});
    EXPECT_TRUE(m.shares_memory_with(a));
    EXPECT_TRUE(m[1].shares_memory_with(a));
    NdArray c = a.copy();
    c.mutable_data<float>()[0] = 42.f;
    EXPECT_EQ(a.item(0), 1.0);
}

TEST(Layout, ReshapeIsRowMajorAndRowsAreViews) {
    NdArray a = NdArray::of<std::int64_t>({0, 1, 2, 3, 4, 5}).reshape(Shape{2, 3});
    EXPECT_EQ(values_of(a[1]), (std::vector<double>{3, 4, 5}));
    EXPECT_EQ(values_of(a[-1]), (std::vector<double>{3, 4, 5}));
    EXPECT_EQ(a.reshape(Shape{3, -1}).shape(), (Shape{3, 2}));
    EXPECT_EQ(values_of(a.flatten()), (std::vector<double>{0, 1, 2, 3, 4, 5}));
    EXPECT_THROW(a[2], IndexError);
}

TEST(Layout, BadReshapeNamesSizeAndTarget) {
    NdArray a = NdArray::zeros(DType::Float32, Shape{6});
    try {
        (void)a.reshape(Shape{4});
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "cannot reshape array of size 6 into shape (4,)");
    }
    EXPECT_THROW((void)a.reshape(Shape{-1, -1}), ValueError);
}

TEST(Layout, SizesBeyondAnyArrayFailInsteadOfWrapping) {
    // Declared shapes come from files; their byte count must not wrap around
    // to a small allocation that the fill then overruns.
    const std::string too_big =
        "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
    for (const Shape& shape : {Shape{1, std::int64_t{1} << 61}, Shape{std::int64_t{1} << 40, std::int64_t{1} << 40},
                               Shape{std::int64_t{1} << 62, 4, 3}}) {
        SCOPED_TRACE(shape_repr(shape));
        tarvik_test::expect_error<ValueError>([&] { (void)NdArray::ones(DType::Float64, shape); }, too_big);
    }
    EXPECT_EQ(shape_product(Shape{std::int64_t{1} << 62, 4, 0}), 0) << "a zero dimension wins over overflow";
    EXPECT_EQ(NdArray::zeros(DType::Int8, Shape{std::int64_t{1} << 62, 4, 0}).size(), 0);
}

TEST(Layout, SlicesClampLikeSequenceSlices) {
    NdArray a = NdArray::of<float>({0, 1, 2, 3});
    EXPECT_EQ(values_of(a.slice(1, 3)), (std::vector<double>{1, 2}));
    EXPECT_EQ(a.slice(3, 10).size(), 1);
    EXPECT_EQ(a.slice(5, 10).size(), 0) << "a slice past the end is empty, never out of bounds";
    EXPECT_EQ(values_of(a.slice(-2, 4)), (std::vector<double>{2, 3}));
}

TEST(ShapeText, TupleFormsOfShapes) {
    EXPECT_EQ(shape_repr(Shape{2, 4}), "(2, 4)");
    EXPECT_EQ(shape_repr(Shape{4}), "(4,)");
    EXPECT_EQ(shape_repr(Shape{}), "()");
    EXPECT_EQ(shape_product(Shape{}), 1);
}

TEST(Argmax, FirstMaximumWinsTies) {
    EXPECT_EQ(NdArray::of<float>({0.2f, 0.9f, 0.9f}).argmax(), 1);
    EXPECT_EQ(NdArray::of<double>({2, 2, 1}).argmax(), 0);
    EXPECT_EQ(NdArray::full(DType::Float64, Shape{3}, -3.4e38).argmax(), 0);
    try {
        (void)NdArray::zeros(DType::Float32, Shape{0}).argmax();
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "attempt to get argmax of an empty sequence");
    }
}

TEST(Elementwise, AddPromotesFloat32WithFloat64) {
    NdArray logits = NdArray::of<float>({0.1f, 5.0f, 0.2f});
    NdArray mask = NdArray::of<double>({0.0, -3.4e38, 0.0});
    NdArray sum = logits.add(mask);
    EXPECT_EQ(sum.dtype(), DType::Float64);
    EXPECT_EQ(sum.item(1), -3.4e38) << "a forbidden logit becomes exactly the constant";
    EXPECT_EQ(sum.argmax(), 2);
    EXPECT_THROW((void)logits.add(NdArray::of<float>({1, 2})), ValueError);
}

TEST(Elementwise, WhereKeepsTheFirstOperandsType) {
    NdArray logits = NdArray::of<float>({1, 3, 2});
    NdArray allowed = NdArray::of<double>({1, 0, 1}).greater(0.0);
    NdArray masked = NdArray::where(allowed, logits, -3.4e38);
    EXPECT_EQ(masked.dtype(), DType::Float32);
    EXPECT_EQ(masked.item(1), static_cast<double>(static_cast<float>(-3.4e38)));
    NdArray inf_mask = NdArray::where(allowed, 0.0, -3.4e38, DType::Float64);
    EXPECT_EQ(values_of(inf_mask), (std::vector<double>{0.0, -3.4e38, 0.0}));
}

TEST(Elementwise, ClipExpAndStrictGreater) {
    NdArray a = NdArray::of<float>({1.5f, -0.3f, -7.f});
    EXPECT_EQ(values_of(a.clip(-1, 1)), (std::vector<double>{1.0, static_cast<double>(-0.3f), -1.0}));
    EXPECT_EQ(a.clip(-1, 1).dtype(), DType::Float32);
    EXPECT_EQ(values_of(NdArray::of<float>({0.5f, 0.0f, -1.f}).greater(0.0)), (std::vector<double>{1, 0, 0}));
    NdArray e = NdArray::of<float>({0.f, 1.f}).exp();
    EXPECT_EQ(e.dtype(), DType::Float32);
    EXPECT_FLOAT_EQ(static_cast<float>(e.item(1)), std::exp(1.0f));
}

TEST(Reductions, MaxAndPairwiseSum) {
    EXPECT_EQ(NdArray::of<float>({1, 3, 2}).max(), 3.0);
    EXPECT_THROW((void)NdArray::zeros(DType::Float64, Shape{0}).max(), ValueError);
    std::vector<float> many(1000, 0.1f);
    double s = NdArray::from_vector(many).sum();
    EXPECT_NEAR(s, 100.0, 1e-3) << "pairwise summation keeps float32 error small";
    EXPECT_EQ(NdArray::of<std::int64_t>({1, 2, 3}).sum(), 6.0);
}

TEST(Concatenate, JoinsAlongFirstAxisWithPromotion) {
    NdArray a = NdArray::of<std::int8_t>({1, 0});
    NdArray b = NdArray::of<double>({0, 1, 1});
    NdArray c = NdArray::concatenate(std::vector<NdArray>{a, b});
    EXPECT_EQ(c.dtype(), DType::Float64);
    EXPECT_EQ(values_of(c), (std::vector<double>{1, 0, 0, 1, 1}));
    EXPECT_THROW(NdArray::concatenate(std::vector<NdArray>{}), ValueError);
    EXPECT_THROW(NdArray::concatenate(std::vector<NdArray>{NdArray::scalar(DType::Float64, 1)}), ValueError);
    EXPECT_THROW(NdArray::concatenate(std::vector<NdArray>{NdArray::zeros(DType::Float64, Shape{1, 2}),
                                                           NdArray::zeros(DType::Float64, Shape{1, 3})}),
                 ValueError);
}

TEST(FromValue, NestedListsScalarsAndTypes) {
    NdArray a = NdArray::from_value(List{List{1, 2}, List{3, 4}});
    EXPECT_EQ(a.shape(), (Shape{2, 2}));
    EXPECT_EQ(a.dtype(), DType::Int64);
    EXPECT_EQ(NdArray::from_value(List{1, 2.5}).dtype(), DType::Float64);
    EXPECT_EQ(NdArray::from_value(Value(true)).dtype(), DType::Bool);
    EXPECT_EQ(NdArray::from_value(Value(3)).ndim(), 0u);
    EXPECT_EQ(NdArray::from_value(List{}).shape(), (Shape{0}));
    NdArray f = NdArray::from_value(Tuple{1, 0, 1}, DType::Float32);
    EXPECT_EQ(f.dtype(), DType::Float32);
    EXPECT_EQ(values_of(f), (std::vector<double>{1, 0, 1}));
    NdArray mixed = NdArray::from_value(List{NdArray::of<float>({1, 2}), NdArray::of<float>({3, 4})});
    EXPECT_EQ(mixed.shape(), (Shape{2, 2}));
    EXPECT_EQ(mixed.dtype(), DType::Float32);
}

TEST(FromValue, RaggedAndNonNumericInputsFailClearly) {
    EXPECT_THROW(NdArray::from_value(List{List{1, 2}, List{3}}), ValueError);
    EXPECT_THROW(NdArray::from_value(Value()), TypeError);
    EXPECT_THROW(NdArray::from_value(List{1, Value()}), TypeError);
    EXPECT_THROW(NdArray::from_value(Dict{{"a", 1}}), TypeError);
    EXPECT_THROW(NdArray::from_value(Value("1")), TypeError);
}

TEST(Conversions, FloatToIntTruncatesAndNeverOverflows) {
    NdArray a = NdArray::of<double>({1.9, -1.9, 1e300, std::nan(""), 300.0});
    NdArray i8 = a.astype(DType::Int8);
    EXPECT_EQ(i8.item_int(0), 1);
    EXPECT_EQ(i8.item_int(1), -1);
    // Out-of-range values have no meaningful result, but converting them must be
    // defined behaviour (the sanitizer build checks this).
    (void)i8.item_int(2);
    EXPECT_EQ(i8.item_int(3), 0);
    EXPECT_EQ(NdArray::of<double>({0.5, 0.0}).astype(DType::Bool).item(0), 1.0);
}

TEST(Conversions, TypedAccessChecksTheType) {
    NdArray a = NdArray::of<float>({1});
    EXPECT_THROW((void)a.data<double>(), TypeError);
    EXPECT_THROW((void)a.item(1), IndexError);
    EXPECT_THROW((void)a.item(-1), IndexError);
}

TEST(ArrayText, PrintingAndReprForms) {
    EXPECT_EQ(NdArray::of<double>({1, 0, 0.5}).str(), "[1. 0. 0.5]");
    EXPECT_EQ(NdArray::of<std::int64_t>({1, 0}).str(), "[1 0]");
    EXPECT_EQ(NdArray::of<float>({1, 0}).repr(), "array([1., 0.], dtype=float32)");
    EXPECT_EQ(NdArray::of<std::int64_t>({1, 2, 3, 4}).reshape(Shape{2, 2}).str(), "[[1 2]\n [3 4]]");
}

TEST(Promotion, MixedTypes) {
    EXPECT_EQ(promote_types(DType::Float32, DType::Float64), DType::Float64);
    EXPECT_EQ(promote_types(DType::Int8, DType::Float32), DType::Float32);
    EXPECT_EQ(promote_types(DType::Int64, DType::Float32), DType::Float64);
    EXPECT_EQ(promote_types(DType::Int8, DType::UInt8), DType::Int32);
    EXPECT_EQ(promote_types(DType::Bool, DType::Int8), DType::Int8);
}

}  // namespace
