// Shapes beyond the inline dimensions: held on the heap, copied deeply, moved
// cheaply, and equal to the same dimensions however they were built.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "support/expect_error.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/ndarray.hpp"

namespace {

using tarvik_core::DType;
using tarvik_core::NdArray;
using tarvik_core::Shape;

std::vector<std::int64_t> counting(std::size_t n) {
    std::vector<std::int64_t> dims(n);
    std::iota(dims.begin(), dims.end(), 1);
    return dims;
}

TEST(Shape, EveryRankUpToTheLimitSurvivesCopiesMovesAndGrowth) {
    for (const std::size_t rank : {std::size_t{0}, Shape::kInlineDims, Shape::kInlineDims + 1, Shape::kMaxDims}) {
        SCOPED_TRACE(rank);
        const auto dims = counting(rank);
        const Shape built(dims);
        Shape grown;
        for (auto d : dims) grown.push_back(d);
        EXPECT_EQ(built, grown);
        EXPECT_EQ(grown.to_vector(), dims);

        Shape copy = built;
        if (rank > 0) copy[rank - 1] = 99;  // a deep copy: the original keeps its value
        EXPECT_EQ(built.to_vector(), dims);
        EXPECT_EQ(copy == built, rank == 0);

        Shape moved = std::move(copy);
        EXPECT_EQ(copy.size(), 0u);  // NOLINT: a moved-from shape is empty, not dangling
        copy = moved;
        EXPECT_EQ(copy, moved);
        moved = built;
        EXPECT_EQ(moved, built);
    }
    Shape full(counting(Shape::kMaxDims));
    const std::string message = "arrays of more than 32 dimensions are not supported";
    tarvik_test::expect_error<tarvik_core::ValueError>([&] { full.push_back(1); }, message);
    tarvik_test::expect_error<tarvik_core::ValueError>([] { Shape(counting(Shape::kMaxDims + 1)); }, message);
}

TEST(Shape, ArraysOfManyDimensionsReshapeAndIndexLikeAnyOther) {
    std::vector<std::int64_t> dims(Shape::kInlineDims + 2, 1);
    dims.back() = 3;
    const NdArray deep = NdArray::from_vector<double>({1, 2, 3}).reshape(Shape(dims));
    EXPECT_EQ(deep.ndim(), dims.size());
    EXPECT_EQ(deep[0].ndim(), dims.size() - 1);
    EXPECT_EQ(deep.copy().shape(), deep.shape());
    EXPECT_EQ(deep.flatten().item(2), 3.0);
}

}  // namespace
