// Pixel sizes scaled to the display's DPI: unchanged at 96, to the nearest
// pixel elsewhere (the DPI itself is the system tests' to set).
#include "app/app.h"
#include "util/util.h"

#include <gtest/gtest.h>

namespace {

TEST(DisplayScaling, SizesFollowTheDpiToTheNearestPixel)
{
    for (int edge : StatusBarPartEdges)
        EXPECT_EQ(ScaleForDpi(edge, DesignDpi), edge) << "nothing moves at 96 DPI";
    EXPECT_EQ(ScaleForDpi(StatusBarPartEdges[0], 144), 450);
    EXPECT_EQ(ScaleForDpi(StatusBarPartEdges[1], 144), 825);
    EXPECT_EQ(ScaleForDpi(StatusBarPartEdges[1], 192), 1100);
    EXPECT_EQ(ScaleForDpi(StatusBarPartEdges[1], 120), 688) << "687.5 rounds up";
    EXPECT_EQ(ScaleForDpi(6, 120), 8) << "7.5 rounds up";
    EXPECT_EQ(ScaleForDpi(12, 144), 18);
}

}  // namespace
