#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <string>

#include "attributes/attributes_pack.hpp"
#include "core/max_tree.hpp"

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

TEST(AttributesPack, NamesInColumnOrder) {
    EXPECT_EQ(AttributesPack::attributeNames(),
              (std::vector<std::string>{"AREA", "VOLUME", "HEIGHT", "WIDTH", "RECTANGULARITY"}));
    EXPECT_EQ(&AttributesPack::attributeNames(), &AttributesPack::attributeNames());
}

TEST(AttributesPack, ExtractionOwnsAFloat64Table) {
    const std::vector<uint8_t> img = {1, 5, 3};
    AttributesPack pack = [&] {
        MaxTree tree(ImageView{img.data(), 1, 3}, 1.0f);
        return extractAttributes(tree);
    }();
    EXPECT_EQ(pack.data().scalar_type(), at::kDouble);
    EXPECT_TRUE(pack.data().device().is_cpu());
    EXPECT_FALSE(pack.data().requires_grad());
    const at::Tensor expected = at::tensor({3., 9., 1., 3., 1., 2., 8., 1., 2., 1., 1., 5., 1., 1., 1.}, at::kDouble);
    EXPECT_TRUE(at::equal(pack.data(), expected.reshape({3, 5})));

    MaxTree empty(ImageView{img.data(), 0, 3}, 1.0f);
    EXPECT_EQ(extractAttributes(empty).data().sizes(), (std::vector<int64_t>{0, 5}));
}
