// The invariant checks behind every image access: on in the sanitizer, fuzzer and Debug builds
// (QB_CHECKS), where a row or column outside an image must stop the process with the operands in
// the message rather than read or write past the image.
#include <gtest/gtest.h>

#include <array>

#include "framework/check.h"
#include "imaging/pixel_array.h"
#include "imaging/pixel_types.h"

namespace {

TEST(Checks, AreEvaluatedExactlyWhenCompiledIn) {
    int evaluations = 0;
    QB_CHECK(++evaluations > 0);
    QB_CHECK_LE(++evaluations, 2);
    EXPECT_EQ(evaluations, QB_CHECKS ? 2 : 0);
}

class PixelArrayChecks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QB_CHECKS) GTEST_SKIP() << "built without QB_CHECKS";
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    std::array<PixelRGBA16, 4 * 3> memory{};
    PixelArray<PixelRGBA16> image{memory.data(), 4, 3};
};

TEST_F(PixelArrayChecks, AccessInsideTheImageGoesThrough) {
    image.at(3, 2).channel[PixelRGBA16::layout::red] = 7;
    EXPECT_EQ(memory[2 * 4 + 3].channel[PixelRGBA16::layout::red], 7);
    EXPECT_EQ(image.row(0), memory.data());
}

TEST_F(PixelArrayChecks, ARowOrColumnOutsideStopsWithItsOperands) {
    EXPECT_DEATH(image.row(3), R"(check failed: y < height \(3 vs 3\))");
    EXPECT_DEATH(image.row(-1), R"(check failed: y >= 0 \(-1 vs 0\))");
    EXPECT_DEATH(image.at(4, 0), R"(check failed: x < width \(4 vs 4\))");
    const PixelArray<PixelRGBA16> empty;
    EXPECT_DEATH(empty.row(0), "check failed: data != nullptr");
}

}  // namespace
