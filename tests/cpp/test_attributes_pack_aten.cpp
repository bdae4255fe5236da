#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <string>

#include "attributes/attributes_pack.hpp"

using namespace vexa;

namespace {

std::string failureOf(const at::Tensor& data) {
    try {
        AttributesPack pack(data);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(AttributesPack, ConstructorChecksInOrder) {
    EXPECT_EQ(failureOf(at::Tensor()), "Attributes tensor is not defined.");
    EXPECT_EQ(failureOf(at::zeros({5}, at::kDouble)), "Attributes tensor must be 2D (nodes x attributes).");
    EXPECT_EQ(failureOf(at::zeros({2, 5, 1}, at::kDouble)), "Attributes tensor must be 2D (nodes x attributes).");
    EXPECT_EQ(failureOf(at::zeros({3, 4}, at::kDouble)), "Attributes tensor has insufficient columns.");
    EXPECT_EQ(failureOf(at::zeros({0, 5}, at::kDouble)), "");
    EXPECT_EQ(failureOf(at::zeros({2, 7}, at::kDouble)), "");
}

TEST(AttributesPack, KeepsAContiguousFormAndColumnViews) {
    const at::Tensor transposed = at::arange(15, at::kDouble).reshape({5, 3}).t();
    ASSERT_FALSE(transposed.is_contiguous());
    AttributesPack pack(transposed);
    EXPECT_TRUE(pack.data().is_contiguous());
    EXPECT_TRUE(at::equal(pack.data(), transposed));
    EXPECT_EQ(pack.numNodes(), 3u);
    EXPECT_EQ(pack.numAttrs(), 5u);
    EXPECT_TRUE(at::equal(pack.rectangularity(), transposed.select(1, 4)));
    pack.width().fill_(-1);
    EXPECT_EQ(pack.data()[2][3].item<double>(), -1);

    const at::Tensor contiguous = at::zeros({2, 5}, at::kDouble);
    EXPECT_TRUE(AttributesPack(contiguous).data().is_same(contiguous));
}
